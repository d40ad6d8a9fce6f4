// Linked into the test programs that run inside the sandbox.

#if defined(__SANITIZE_ADDRESS__)
// The leak check at exit stops the process's threads with ptrace, which the
// sandbox refuses; leaks of a test program do not matter.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif
