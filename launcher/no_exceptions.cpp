// The programs are built without exceptions, yet the C++ library's strings
// and vectors, which reading policy source uses, report a failure by
// throwing. These stand in for the library's allocation functions (which
// the language lets a program replace) and its throwing helpers, so that
// none of its exception machinery is linked in, and with it the unwinder's
// calls into the dynamic loader: sandbox needs libc alone. A failure ends
// the program as running out of memory does.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "base/exit_status.h"

namespace {

[[noreturn]] void end_program(const char* what) {
    fprintf(stderr, "sandbox: %s\n", what);
    _exit(EXIT_NO_MEMORY);
}

}  // namespace

void* operator new(size_t size) {
    void* memory = malloc(size == 0 ? 1 : size);
    if (memory == nullptr) end_program("out of memory");
    return memory;
}

void* operator new[](size_t size) {
    return operator new(size);
}

void operator delete(void* memory) noexcept {
    free(memory);
}

void operator delete[](void* memory) noexcept {
    free(memory);
}

void operator delete(void* memory, size_t) noexcept {
    free(memory);
}

void operator delete[](void* memory, size_t) noexcept {
    free(memory);
}

namespace std {

[[noreturn]] void __throw_bad_alloc() {
    end_program("out of memory");
}

[[noreturn]] void __throw_bad_array_new_length() {
    end_program("out of memory");
}

[[noreturn]] void __throw_length_error(const char* what) {
    end_program(what);
}

[[noreturn]] void __throw_logic_error(const char* what) {
    end_program(what);
}

[[noreturn]] void __throw_out_of_range_fmt(const char* what, ...) {
    end_program(what);
}

}  // namespace std
