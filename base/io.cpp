#include "base/io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool read_full(int fd, int* value) {
    char* at = reinterpret_cast<char*>(value);
    size_t left = sizeof(*value);
    while (left > 0) {
        ssize_t got = read(fd, at, left);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        left -= static_cast<size_t>(got);
    }
    return true;
}

bool write_full(int fd, const int* value) {
    const char* at = reinterpret_cast<const char*>(value);
    size_t left = sizeof(*value);
    while (left > 0) {
        ssize_t put = write(fd, at, left);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        left -= static_cast<size_t>(put);
    }
    return true;
}

int open_read_only(const char* name) {
    int fd;
    do {
        fd = open(name, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t read_small_file(const char* name, char* buffer, size_t size) {
    int fd = open_read_only(name);
    if (fd < 0) return -1;
    ssize_t got;
    do {
        got = read(fd, buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got > 0) buffer[got] = 0;
    return got;
}

int read_link(const char* name, char* out, size_t size) {
    ssize_t got;
    do {
        got = readlink(name, out, size);
    } while (got < 0 && errno == EINTR);
    if (got <= 0 || static_cast<size_t>(got) >= size) return -1;
    out[got] = 0;
    return static_cast<int>(got);
}
