// Small reads and writes, each retried when a signal interrupts it.
#pragma once

#include <sys/types.h>

// Reads exactly 4 bytes into *value; 0 when all arrived, -1 otherwise.
int read_full(int fd, int* value);

// Writes the 4 bytes of *value; 0 when all were written, -1 otherwise.
int write_full(int fd, const int* value);

// Opens name read-only and close-on-exec; the descriptor or -1.
int open_read_only(const char* name);

// One read of at most size - 1 bytes from the start of the file name,
// NUL-terminated. Returns the count read, or a value below 1 when nothing
// could be read.
ssize_t read_small_file(const char* name, char* buffer, size_t size);
