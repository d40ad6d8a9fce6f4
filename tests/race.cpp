// race: runs under the sandbox and tries, as a program that wants out would,
// to change what an allowed open reaches between its judgement and the
// open: a second thread rewrites the path, switches the working directory,
// swaps a link or a parent directory. Counts the opens that reached the
// file the policy protects.
//
//   race MODE ATTEMPTS DIR [UID]
//       DIR holds ro/f and ro/v (visible, not writable), rw/f and rw/a/f (writable),
//       hd/f (hidden, holding "hidden"), the link rw/l to f and rw/m to
//       ../ro/f, and rw/b, a link to ../ro.
//     buffer    opens a path for writing that flips between rw/f and ro/f
//     cwd       opens "f" for writing from rw/ or ro/, switched meanwhile
//     link      opens rw/l for writing while rw/l and rw/m are exchanged
//     parent    opens rw/a/f for writing while rw/a and rw/b are exchanged
//     hidden    opens a path for reading that flips between rw/f and hd/f
//     remove    removes a path that flips between rw/v (made again each
//               time) and ro/v
//     rename    renames rw/x to a path that flips between rw/y and ro/y
//     symlink   makes a link at a path that flips between rw/s and ro/s
//     chmod     changes the mode of a path that flips between rw/f and ro/f
//     hardlink  links rw/f to a path that flips between rw/h and ro/h
//     connect   connects to loopback, the port flipping between the two in
//               DIR/rw/ports ("ALLOWED REFUSED"), and asks the peer's port
//     send      sends a datagram to loopback, the port flipping the same way
//     exec      runs a path that flips between rw/run (a program that exits
//               0) and hd/run (one that exits 1) and waits for it
//   prints "escapes E of N"; E counts opens of ro/f for writing, or of
//   hd/f for reading, changes that reached ro/ (the first one ends the run:
//   ro/ cannot be put back from inside), and connections to the refused
//   port. send prints "sent S of N": the receiver counts. With UID, the program first drops root for that user
//   and group (and no other groups), as a build run by root may.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr unsigned k_rename_exchange = 2;

char g_dir[2048];
char g_path[4096];
char g_first[4096];
char g_second[4096];
char g_swap_a[4096];
char g_swap_b[4096];
std::atomic<bool> g_done{false};
sockaddr_in g_address;
uint16_t g_ports[2];  // network order: allowed, refused

void name(char (&out)[4096], const char* tail) {
    snprintf(out, sizeof(out), "%s/%s", g_dir, tail);
}

void* flip_buffer(void*) {
    for (bool first = false; !g_done.load(std::memory_order_relaxed); first = !first) {
        memcpy(g_path, first ? g_first : g_second, strlen(g_first) + 1);
    }
    return nullptr;
}

void* flip_directory(void*) {
    for (bool first = false; !g_done.load(std::memory_order_relaxed); first = !first) {
        if (chdir(first ? g_first : g_second) != 0) break;
    }
    return nullptr;
}

void* flip_names(void*) {
    while (!g_done.load(std::memory_order_relaxed)) {
        if (syscall(SYS_renameat2, AT_FDCWD, g_swap_a, AT_FDCWD, g_swap_b, k_rename_exchange) != 0) break;
    }
    return nullptr;
}

void* flip_port(void*) {
    for (bool first = false; !g_done.load(std::memory_order_relaxed); first = !first) {
        __atomic_store_n(&g_address.sin_port, g_ports[first ? 0 : 1], __ATOMIC_RELAXED);
    }
    return nullptr;
}

bool read_ports(const char* dir) {
    char path[4096];
    snprintf(path, sizeof(path), "%s/rw/ports", dir);
    FILE* file = fopen(path, "re");
    if (file == nullptr) return false;
    unsigned allowed = 0;
    unsigned refused = 0;
    const bool read = fscanf(file, "%u %u", &allowed, &refused) == 2;
    fclose(file);
    g_ports[0] = htons(static_cast<uint16_t>(allowed));
    g_ports[1] = htons(static_cast<uint16_t>(refused));
    g_address.sin_family = AF_INET;
    g_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g_address.sin_port = g_ports[0];
    return read;
}

// Whether a connection made now reaches the refused port.
bool connects_to_refused() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const bool reached = connect(fd, reinterpret_cast<sockaddr*>(&g_address), sizeof(g_address)) == 0 &&
                         getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
                         peer.sin_port == g_ports[1];
    close(fd);
    return reached;
}

// Whether the program run now is the hidden one. The child shares the
// memory the flipping thread writes (vfork), as a thread of the caller
// would.
bool runs_hidden() {
    const pid_t child = vfork();
    if (child == 0) {
        char* argv[] = {g_path, nullptr};
        syscall(SYS_execve, g_path, argv, environ);
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// One attempt at a change that reaches ro/; false when it stayed in rw/.
bool changes_protected(const char* mode, const char* made, const char* reached, const struct stat& protected_file) {
    struct stat status;
    if (strcmp(mode, "remove") == 0) {
        // remove: rw/v comes back each round, made as rw/x and renamed.
        close(open(made, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        rename(made, g_first);
        return unlink(g_path) == 0 && stat(reached, &status) != 0;
    }
    if (strcmp(mode, "rename") == 0) {
        close(open(made, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        return rename(made, g_path) == 0 && stat(reached, &status) == 0;
    }
    if (strcmp(mode, "chmod") == 0) {
        return chmod(g_path, 0640) == 0 && stat(reached, &status) == 0 &&
               (status.st_mode & 0777) != (protected_file.st_mode & 0777);
    }
    const bool escaped = strcmp(mode, "hardlink") == 0 ? link(made, g_path) == 0 && lstat(reached, &status) == 0
                                                       : symlink("f", g_path) == 0 && lstat(reached, &status) == 0;
    unlink(g_first);
    return escaped;
}

bool is_inode(int fd, const struct stat& protected_file) {
    struct stat status;
    return fstat(fd, &status) == 0 && status.st_ino == protected_file.st_ino && status.st_dev == protected_file.st_dev;
}

bool holds_hidden_text(int fd) {
    char text[16] = {};
    return pread(fd, text, sizeof(text) - 1, 0) > 0 && strncmp(text, "hidden", 6) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: race MODE ATTEMPTS DIR [UID]\n");
        return 2;
    }
    if (argc == 5) {
        const unsigned id = static_cast<unsigned>(atoi(argv[4]));
        if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) return 2;
    }
    const char* mode = argv[1];
    const long attempts = atol(argv[2]);
    snprintf(g_dir, sizeof(g_dir), "%s", argv[3]);
    char protected_name[4096];
    name(protected_name, "ro/f");
    struct stat protected_file;
    if (stat(protected_name, &protected_file) != 0) return 2;

    char made[4096];
    char reached[4096];
    const bool changes = strcmp(mode, "remove") == 0 || strcmp(mode, "rename") == 0 || strcmp(mode, "symlink") == 0 ||
                         strcmp(mode, "chmod") == 0 || strcmp(mode, "hardlink") == 0;
    const bool network = strcmp(mode, "connect") == 0 || strcmp(mode, "send") == 0;
    void* (*flipper)(void*) = flip_buffer;
    const char* opened = g_path;
    int flags = O_WRONLY;
    bool reads = false;
    if (strcmp(mode, "buffer") == 0) {
        name(g_first, "rw/f");
        name(g_second, "ro/f");
    } else if (strcmp(mode, "hidden") == 0) {
        name(g_first, "rw/f");
        name(g_second, "hd/f");
        flags = O_RDONLY;
        reads = true;
    } else if (changes) {
        const char* last = strcmp(mode, "remove") == 0     ? "v"
                           : strcmp(mode, "rename") == 0   ? "y"
                           : strcmp(mode, "chmod") == 0    ? "f"
                           : strcmp(mode, "hardlink") == 0 ? "h"
                                                           : "s";
        char tail[8];
        snprintf(tail, sizeof(tail), "rw/%s", last);
        name(g_first, tail);
        snprintf(tail, sizeof(tail), "ro/%s", last);
        name(g_second, tail);
        name(reached, tail);
        name(made, strcmp(mode, "hardlink") == 0 ? "rw/f" : "rw/x");
    } else if (strcmp(mode, "exec") == 0) {
        name(g_first, "rw/run");
        name(g_second, "hd/run");
    } else if (strcmp(mode, "connect") == 0 || strcmp(mode, "send") == 0) {
        if (!read_ports(g_dir)) return 2;
        flipper = flip_port;
    } else if (strcmp(mode, "cwd") == 0) {
        name(g_first, "rw");
        name(g_second, "ro");
        flipper = flip_directory;
        opened = "f";
    } else if (strcmp(mode, "link") == 0 || strcmp(mode, "parent") == 0) {
        const bool link = strcmp(mode, "link") == 0;
        name(g_swap_a, link ? "rw/l" : "rw/a");
        name(g_swap_b, link ? "rw/m" : "rw/b");
        name(g_first, link ? "rw/l" : "rw/a/f");
        opened = g_first;
        flipper = flip_names;
    } else {
        fprintf(stderr, "race: unknown mode %s\n", mode);
        return 2;
    }
    memcpy(g_path, g_first, strlen(g_first) + 1);

    pthread_t thread;
    if (pthread_create(&thread, nullptr, flipper, nullptr) != 0) return 2;
    long escapes = 0;
    for (long i = 0; changes && i < attempts && escapes == 0; ++i) {
        if (changes_protected(mode, made, reached, protected_file)) ++escapes;
    }
    const int datagrams = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    long sent = 0;
    for (long i = 0; network && i < attempts; ++i) {
        if (mode[0] == 'c') {
            if (connects_to_refused()) ++escapes;
        } else if (sendto(datagrams, "x", 1, 0, reinterpret_cast<sockaddr*>(&g_address), sizeof(g_address)) == 1) {
            ++sent;
        }
    }
    close(datagrams);
    for (long i = 0; strcmp(mode, "exec") == 0 && i < attempts; ++i) {
        if (runs_hidden()) ++escapes;
    }
    for (long i = 0; !changes && !network && strcmp(mode, "exec") != 0 && i < attempts; ++i) {
        const int fd = open(opened, flags | O_CLOEXEC);
        if (fd < 0) continue;
        if (reads ? holds_hidden_text(fd) : is_inode(fd, protected_file)) ++escapes;
        close(fd);
    }
    g_done = true;
    pthread_join(thread, nullptr);
    if (strcmp(mode, "send") == 0) {
        printf("sent %ld of %ld\n", sent, attempts);
    } else {
        printf("escapes %ld of %ld\n", escapes, attempts);
    }
    return 0;
}
