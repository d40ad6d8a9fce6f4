// What every fuzz target shares: failing loudly, copying the input into
// buffers of exactly the size the code is promised, and releasing a policy
// record that the program itself never releases.
#pragma once

#include <regex.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "path/normalize.h"
#include "policy/policy.h"

// An invariant did not hold: say which and abort, so that libFuzzer keeps
// the input as a crash.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fuzz_fail(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fputs("invariant violated: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    abort();
}

// A heap copy of data[0..n) with a NUL after it and nothing more, so that
// AddressSanitizer catches a read past the terminator.
inline char* fuzz_string(const uint8_t* data, size_t n) {
    char* text = static_cast<char*>(malloc(n + 1));
    if (text == nullptr) abort();
    memcpy(text, data, n);
    text[n] = 0;
    return text;
}

// A path buffer of exactly the size the code under test may write.
inline char* fuzz_path_buffer() {
    char* out = static_cast<char*>(malloc(k_path_size));
    if (out == nullptr) abort();
    // A recognisable filler, so that a missing terminator runs into the end
    // of the allocation rather than into a lucky zero.
    memset(out, 'Z', k_path_size);
    return out;
}

// A path the code hands back: NUL-terminated within the buffer and at most
// k_path_max bytes long.
inline size_t fuzz_check_path_output(const char* out, const char* what) {
    const void* end = memchr(out, 0, k_path_size);
    if (end == nullptr) fuzz_fail("%s: output not NUL-terminated within %zu bytes", what, k_path_size);
    size_t length = static_cast<size_t>(static_cast<const char*>(end) - out);
    if (length > k_path_max) fuzz_fail("%s: output of %zu bytes", what, length);
    return length;
}

// Absolute, with no empty, "." or ".." component and no trailing "/" except
// for "/" itself.
inline void fuzz_check_clean_path(const char* path, const char* what) {
    if (path[0] != '/') fuzz_fail("%s: \"%s\" does not begin with /", what, path);
    if (path[1] == 0) return;
    for (const char* c = path; *c != 0;) {
        ++c;  // the '/'
        size_t n = strcspn(c, "/");
        if (n == 0) fuzz_fail("%s: \"%s\" has an empty component or a trailing /", what, path);
        if ((n == 1 && c[0] == '.') || (n == 2 && c[0] == '.' && c[1] == '.')) {
            fuzz_fail("%s: \"%s\" has a dot component", what, path);
        }
        c += n;
    }
}

// The program decodes its policy once and keeps it for its whole life; a
// fuzz target decodes one per input, so it gives the memory back itself and
// LeakSanitizer stays meaningful.
inline void fuzz_free_policy(Policy* policy) {
    release_policy(policy);
}

// The subtree test as the README states it, written apart from the rules'
// own so that the two can disagree: an entry covers itself and what lies
// below it at a component boundary; "/" covers every absolute path; an empty
// entry covers nothing.
inline int fuzz_covers(const char* path, const char* entry) {
    if (entry == nullptr || entry[0] == 0) return 0;
    if (strcmp(entry, "/") == 0) return path[0] == '/';
    size_t n = strlen(entry);
    if (strncmp(path, entry, n) != 0) return 0;
    return path[n] == 0 || path[n] == '/';
}

inline int fuzz_list_covers(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        if (fuzz_covers(path, list->items[i])) return 1;
    }
    return 0;
}

inline int fuzz_list_has_exact(const StringList* list, const char* path) {
    for (uint64_t i = 0; i < list->count; ++i) {
        if (list->items[i][0] != 0 && strcmp(list->items[i], path) == 0) return 1;
    }
    return 0;
}

// "/proc/" and a digit: the process rule judges these before any list, by
// design (a policy may deny "/proc" and the tree still reads its own
// entries), so the list invariants leave them out.
inline int fuzz_is_process_path(const char* path) {
    return strncmp(path, "/proc/", 6) == 0 && path[6] >= '0' && path[6] <= '9';
}
