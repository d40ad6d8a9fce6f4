// arm32_creat PATH: creates PATH (mode 0644) through the AArch32 EABI and
// exits 0; exits 1 when the call fails, 2 without PATH. It has no libc, so
// the openat is the first call it makes: the sandbox's guard must stop it
// there, and without the guard the call would go by unchecked (322 is
// openat here but no call at all in the AArch64 table, where the numbers
// from 295 to 402 stay unused).

static long arm_call(long nr, long a, long b, long c, long d) {
    register long r0 __asm__("r0") = a;
    register long r1 __asm__("r1") = b;
    register long r2 __asm__("r2") = c;
    register long r3 __asm__("r3") = d;
    register long r7 __asm__("r7") = nr;
    __asm__ volatile("svc 0" : "+r"(r0) : "r"(r1), "r"(r2), "r"(r3), "r"(r7) : "memory");
    return r0;
}

enum {
    k_openat = 322,
    k_exit = 1,
    k_at_fdcwd = -100,
    k_write_create_truncate = 01 | 0100 | 01000,  // O_WRONLY | O_CREAT | O_TRUNC
};

// sp points at argc, followed by the argument vector.
__attribute__((noreturn, used)) void start_c(long* sp) {
    long argc = sp[0];
    char** argv = (char**)(sp + 1);
    long status = 2;
    if (argc >= 2) status = arm_call(k_openat, k_at_fdcwd, (long)argv[1], k_write_create_truncate, 0644) < 0 ? 1 : 0;
    for (;;) arm_call(k_exit, status, 0, 0, 0);
}

__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "  mov fp, #0\n"
        "  mov r0, sp\n"
        "  bl start_c\n");
