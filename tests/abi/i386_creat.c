// i386_creat PATH: creates PATH (mode 0644) through the i386 system-call
// ABI and exits 0; exits 1 when the creat fails, 2 without PATH. It has no
// libc, so the creat is the first call it makes: the sandbox's guard must
// stop it there, and without the guard the call would go by unchecked
// (8 is creat here but lseek in the x86-64 table).

static long i386_call(long nr, long a, long b) {
    long rc;
    __asm__ volatile("int $0x80" : "=a"(rc) : "a"(nr), "b"(a), "c"(b) : "memory");
    return rc;
}

// sp points at argc, followed by the argument vector.
__attribute__((noreturn, used)) void start_c(long* sp) {
    long argc = sp[0];
    char** argv = (char**)(sp + 1);
    long status = 2;
    if (argc >= 2) status = i386_call(8, (long)argv[1], 0644) < 0 ? 1 : 0;
    for (;;) i386_call(1, status, 0);
}

__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "  xorl %ebp, %ebp\n"
        "  pushl %esp\n"
        "  call start_c\n"
        "  hlt\n");
