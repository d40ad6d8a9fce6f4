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
//   prints "escapes E of N"; E counts opens of ro/f for writing, or of
//   hd/f for reading, and changes that reached ro/ (the first one ends the
//   run: ro/ cannot be put back from inside). With UID, the program first drops root for that user
//   and group (and no other groups), as a build run by root may.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
        fprintf(stderr, "usage: race buffer|cwd|link|parent|hidden|remove|rename|symlink ATTEMPTS DIR [UID]\n");
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
    } else if (strcmp(mode, "remove") == 0 || strcmp(mode, "rename") == 0 || strcmp(mode, "symlink") == 0) {
        const char* last = strcmp(mode, "remove") == 0 ? "v" : strcmp(mode, "rename") == 0 ? "y" : "s";
        char tail[8];
        snprintf(tail, sizeof(tail), "rw/%s", last);
        name(g_first, tail);
        snprintf(tail, sizeof(tail), "ro/%s", last);
        name(g_second, tail);
        name(reached, tail);
        name(made, "rw/x");
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
    const bool changes = strcmp(mode, "remove") == 0 || strcmp(mode, "rename") == 0 || strcmp(mode, "symlink") == 0;
    for (long i = 0; changes && i < attempts && escapes == 0; ++i) {
        struct stat status;
        if (strcmp(mode, "remove") == 0) {
            // remove: rw/v comes back each round, made as rw/x and renamed.
            close(open(made, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            rename(made, g_first);
            if (unlink(g_path) == 0 && stat(reached, &status) != 0) ++escapes;
        } else if (strcmp(mode, "rename") == 0) {
            close(open(made, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            if (rename(made, g_path) == 0 && stat(reached, &status) == 0) ++escapes;
        } else {
            if (symlink("f", g_path) == 0 && lstat(reached, &status) == 0) ++escapes;
            unlink(g_first);
        }
    }
    for (long i = 0; !changes && i < attempts; ++i) {
        const int fd = open(opened, flags | O_CLOEXEC);
        if (fd < 0) continue;
        if (reads ? holds_hidden_text(fd) : is_inode(fd, protected_file)) ++escapes;
        close(fd);
    }
    g_done = true;
    pthread_join(thread, nullptr);
    printf("escapes %ld of %ld\n", escapes, attempts);
    return 0;
}
