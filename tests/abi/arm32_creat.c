// arm32_creat PATH: creates PATH (mode 0644) through the AArch32 EABI and
// exits 0; exits 1 when the creat fails, 2 without PATH. It has no libc, so
// the creat is the first call it makes: the sandbox's guard must stop it
// there, and without the guard the call would go by unchecked (8 is creat
// here but getxattr in the AArch64 table).

static long arm_call(long nr, long a, long b) {
    register long r0 __asm__("r0") = a;
    register long r1 __asm__("r1") = b;
    register long r7 __asm__("r7") = nr;
    __asm__ volatile("svc 0" : "+r"(r0) : "r"(r1), "r"(r7) : "memory");
    return r0;
}

// sp points at argc, followed by the argument vector.
__attribute__((noreturn, used)) void start_c(long* sp) {
    long argc = sp[0];
    char** argv = (char**)(sp + 1);
    long status = 2;
    if (argc >= 2) status = arm_call(8, (long)argv[1], 0644) < 0 ? 1 : 0;
    for (;;) arm_call(1, status, 0);
}

__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "  mov fp, #0\n"
        "  mov r0, sp\n"
        "  bl start_c\n");
