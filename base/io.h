// Small reads and writes, each retried when a signal interrupts it.
#pragma once

#include <sys/types.h>

// Reads exactly 4 bytes into *value; false unless all arrived.
[[nodiscard]] bool read_full(int fd, int* value);

// Writes the 4 bytes of *value; false unless all were written.
[[nodiscard]] bool write_full(int fd, const int* value);

// Opens name read-only and close-on-exec; the descriptor or -1.
[[nodiscard]] int open_read_only(const char* name);

// One read of at most size - 1 bytes from the start of the file name,
// NUL-terminated. Returns the count read, or a value below 1 when nothing
// could be read.
[[nodiscard]] ssize_t read_small_file(const char* name, char* buffer, size_t size);

// The target of the symbolic link name, NUL-terminated in out. Returns its
// length, or -1 when name is no link or the target does not fit.
[[nodiscard]] int read_link(const char* name, char* out, size_t size);
