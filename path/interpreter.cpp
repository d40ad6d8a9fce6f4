#include "path/interpreter.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the kernel reads of a file to recognise it.
constexpr size_t k_head_size = 256;

bool read_exactly(int fd, void* buffer, size_t size, off_t offset) {
    ssize_t got;
    do {
        got = pread(fd, buffer, size, offset);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

// A 64-bit ELF program's PT_INTERP. Programs of other classes run no
// system call of this build's ABI: the filter kills them at their first.
Interpreter read_elf_interpreter(int fd, const unsigned char* head, size_t n, char* out, size_t size) {
    if (n < sizeof(Elf64_Ehdr) || head[EI_CLASS] != ELFCLASS64) return Interpreter::none;
    Elf64_Ehdr header;
    memcpy(&header, head, sizeof(header));
    if (header.e_phentsize != sizeof(Elf64_Phdr)) return Interpreter::none;
    // The table is read a batch at a time: one read covers a usual program.
    constexpr uint16_t k_batch = 16;
    Elf64_Phdr table[k_batch];
    for (uint16_t first = 0; first < header.e_phnum; first = static_cast<uint16_t>(first + k_batch)) {
        const uint16_t count =
            header.e_phnum - first < k_batch ? static_cast<uint16_t>(header.e_phnum - first) : k_batch;
        const off_t at = static_cast<off_t>(header.e_phoff + first * sizeof(Elf64_Phdr));
        if (!read_exactly(fd, table, count * sizeof(Elf64_Phdr), at)) return Interpreter::unreadable;
        for (uint16_t i = 0; i < count; ++i) {
            const Elf64_Phdr& program = table[i];
            if (program.p_type != PT_INTERP) continue;
            if (program.p_filesz < 2 || program.p_filesz > size) return Interpreter::unreadable;
            const size_t length = static_cast<size_t>(program.p_filesz);
            if (!read_exactly(fd, out, length, static_cast<off_t>(program.p_offset))) return Interpreter::unreadable;
            out[length - 1] = 0;
            return out[0] != 0 ? Interpreter::loader : Interpreter::unreadable;
        }
    }
    return Interpreter::none;
}

}  // namespace

bool parse_script_interpreter(const char* head, size_t n, char* out, size_t size) {
    if (n < 2 || head[0] != '#' || head[1] != '!') return false;
    size_t at = 2;
    while (at < n && (head[at] == ' ' || head[at] == '\t')) ++at;
    size_t start = at;
    while (at < n && head[at] != ' ' && head[at] != '\t' && head[at] != '\n' && head[at] != 0) ++at;
    const size_t length = at - start;
    if (length == 0 || length >= size) return false;
    memcpy(out, head + start, length);
    out[length] = 0;
    return true;
}

Interpreter read_interpreter(const char* path, char* out, size_t size) {
    // A FIFO or a device is never opened: opening one may block or act.
    struct stat status;
    if (stat(path, &status) != 0) {
        // Nothing to run: the kernel answers for it.
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? Interpreter::none : Interpreter::unreadable;
    }
    if (!S_ISREG(status.st_mode)) return Interpreter::none;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Interpreter::unreadable;
    Interpreter found = Interpreter::none;
    unsigned char head[k_head_size];
    ssize_t got;
    do {
        got = pread(fd, head, sizeof(head), 0);
    } while (got < 0 && errno == EINTR);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || got < 0) {
        found = Interpreter::unreadable;
    } else if (parse_script_interpreter(reinterpret_cast<const char*>(head), static_cast<size_t>(got), out, size)) {
        found = Interpreter::script;
    } else if (static_cast<size_t>(got) >= SELFMAG && memcmp(head, ELFMAG, SELFMAG) == 0) {
        found = read_elf_interpreter(fd, head, static_cast<size_t>(got), out, size);
    }
    close(fd);
    return found;
}
