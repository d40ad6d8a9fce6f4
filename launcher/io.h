// Moving the 4-byte ints of the status pipe.
#pragma once

// Reads exactly 4 bytes into *value; 0 when all arrived, -1 otherwise.
int read_full(int fd, int* value);

// Writes the 4 bytes of *value; 0 when all were written, -1 otherwise.
int write_full(int fd, const int* value);
