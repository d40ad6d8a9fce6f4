// probe: makes the system calls named on its command line, one raw call per
// operation, and prints one line per operation, so that tests can see what a
// sandboxed program observes. Trapped calls are made by the number the call
// table gives their name, never through libc wrappers, because libc may route e.g.
// open() through openat and the legacy entry points would go untested.
//
// Grammar
//   probe [OP [: OP]...]
//   Operations are separated by a lone ":" word. Each operation prints
//   exactly one line to stdout (written with one write call, no buffering):
//     OK            the call returned 0 (or its value is not interesting)
//     OK <value>    a returned fd, byte count, pid, or the text of a link
//     ERR <ENAME>   the call failed with that errno (ERR E<n> if unnamed)
//   The probe exits 0 after the last operation, whatever they printed. A
//   malformed command line prints "BAD <reason>" on stderr and exits 2.
//
// Arguments
//   numbers   C syntax (0x241, 0644, -1) or a "|" list of symbols and
//             numbers (O_WRONLY|O_CREAT|O_TRUNC, S_IFIFO|0600, SIGTERM).
//             A name given to "save" stands for the saved fd; "self" is the
//             probe's pid, "parent" its parent's, "tid" its thread id,
//             "group" its process group id.
//   dirfd     a number as above, so AT_FDCWD or a saved name work.
//   paths     NULL passes a null pointer, EMPTY passes "", BADPTR passes an
//             unmapped address, @page:<path> passes <path> copied so that it
//             starts 10 bytes before a page boundary and runs across it.
//
// File calls (each is the raw trapped call of the same name)
//   open PATH FLAGS [MODE]            creat PATH MODE
//   openat DIRFD PATH FLAGS [MODE]    openat2 DIRFD PATH FLAGS [RESOLVE [MODE]]
//   openat2_nullhow DIRFD PATH        (open_how pointer is NULL)
//   stat PATH    lstat PATH    newfstatat DIRFD PATH FLAGS
//   statx DIRFD PATH FLAGS MASK
//   access PATH MODE    faccessat DIRFD PATH MODE
//   faccessat2 DIRFD PATH MODE FLAGS
//   readlink PATH    readlinkat DIRFD PATH             (print OK <text>)
//   mkdir PATH MODE    mkdirat DIRFD PATH MODE
//   unlink PATH    rmdir PATH    unlinkat DIRFD PATH FLAGS
//   rename A B    renameat D1 A D2 B    renameat2 D1 A D2 B FLAGS
//   link A B    linkat D1 A D2 B FLAGS
//   symlink TARGET LINK    symlinkat TARGET DIRFD LINK
//   chmod PATH MODE    fchmodat DIRFD PATH MODE    fchmodat2 DIRFD PATH MODE FLAGS
//   chown PATH UID GID    lchown PATH UID GID    fchownat DIRFD PATH UID GID FLAGS
//   truncate PATH LEN    mknod PATH MODE DEV    mknodat DIRFD PATH MODE DEV
//   utimensat DIRFD PATH FLAGS        (times NULL: "now")
//   utime PATH    utimes PATH    futimesat DIRFD PATH   (times NULL: "now")
//   setxattr PATH NAME VALUE    lsetxattr PATH NAME VALUE
//   removexattr PATH NAME    lremovexattr PATH NAME
//   setxattrat DIRFD PATH FLAGS NAME VALUE    removexattrat DIRFD PATH FLAGS NAME
//   file_setattr DIRFD PATH FLAGS     (every attribute zero)
//   execve PATH [ARG...]              execveat DIRFD PATH FLAGS [ARG...]
//     Every word after PATH (or FLAGS), ":" included, becomes the new
//     program's argv[1...]; argv[0] is the PATH word. Nothing runs after a
//     successful exec; a failed one prints ERR and ends the probe.
//   A call this architecture lacks prints ERR ENOSYS without being made.
//
// Descriptors
//   save NAME      names the value of the previous OK <value> operation
//   close FD       pipe (prints OK r w, saved as pipe_r and pipe_w)
//   fd_open FD     fcntl F_GETFD: OK when FD is open, ERR EBADF when not
//
// Processes
//   kill PID SIG    tkill TID SIG    tgkill TGID TID SIG    raise SIG
//   rt_sigqueueinfo PID SIG    rt_tgsigqueueinfo TGID TID SIG  (SI_QUEUE)
//   pidfd_send_signal PIDFD SIG
//   ptrace REQUEST [PID]
//   process_vm_readv PID    process_vm_writev PID
//     (8 bytes at the address of a buffer of this program: meaningful for
//     the probe itself and for other probe processes)
//
// Sockets (one fresh socket per operation, closed afterwards)
//   connect inet ADDR PORT | inet6 ADDR PORT | unix PATH   (stream socket)
//   sendto  inet ADDR PORT | inet6 ADDR PORT | unix PATH   (datagram socket)
//     A unix PATH starting with "@" names an abstract socket.
//   listen inet ADDR PORT | inet6 ADDR PORT | unix PATH   (a stream socket
//     bound and listening, kept open: OK <port>, 0 for unix; PORT 0 takes
//     one the kernel picks)
//   bind_dgram inet ADDR PORT | inet6 ADDR PORT   (a datagram socket bound
//     and kept open: OK <port>)
//     A PORT of "listened" in later operations is the last port these took.
//   connect_dgram ...   like connect, on a datagram socket: sets the peer,
//                       sends nothing
//   connect_raw LEN HEX    sendto_raw LEN HEX   (HEX: the sockaddr bytes,
//     family included; the socket's family is taken from those bytes)
//   connect_null [LEN]     (NULL address, LEN defaults to 16)
//   sendto_null            (no destination, on a unix datagram socket pair)
//   sendmsg ...            like sendto, the address in msg_name (OK <bytes>)
//   sendmsg_noname         (no msg_name, on a unix datagram socket pair)
//   sendmmsg inet|inet6 ADDR PORT [inet|inet6 ADDR PORT]...
//                          one message per address on one datagram socket of
//                          the first family (OK <messages sent>)
//
// Other calls, by number; n is a number, p a path, missing trailing
// arguments are 0, and those marked * print OK <value>:
//   unshare n    setns n n    mount p p p n    umount2 p n    chroot p
//   pivot_root p p    open_tree* n p n    open_tree_attr* n p n
//   move_mount n p n p n    fsopen* p n    fsmount* n n n    fspick* n p n
//   mount_setattr n p n    io_uring_enter n n n n    io_uring_register n n n
//   pidfd_open* n    pidfd_getfd* n n    kcmp n n n n n
//   io_uring_setup* ENTRIES        (parameters all zero)
//   process_madvise* PIDFD         (MADV_COLD over one page of the probe)
//   open_by_handle_at*             (a made-up handle, AT_FDCWD as mount)
//   ioctl FD REQUEST               (the argument points at a buffer of "x")
//   clone FLAGS    clone3 [FLAGS]  (no new stack, so both fork; the child
//                  exits at once and is reaped: OK means it was made)
//
// Foreign ABIs (x86-64; elsewhere ERR ENOSYS without a call), creating PATH
// with mode 0644 and printing OK <fd>:
//   int80_creat PATH   the i386 creat (8) through int $0x80
//   x32_creat PATH     the x32 creat (0x40000000|85) through syscall
//   A sandbox that kills such a call ends the probe there, without a line.
//
// Information and control
//   pid  ppid  tid  sid  pgid  sid_of PID  pgid_of PID      (OK <number>)
//   readlink_of_parent_fd N     (readlink of /proc/<ppid>/fd/N)
//   getrlimit RESOURCE          (OK <soft> <hard>, each a number or
//                               "unlimited"; RESOURCE e.g. RLIMIT_CORE)
//   undumpable                  (prctl PR_SET_DUMPABLE 0, which would
//                               leave this process to tracers with
//                               CAP_SYS_PTRACE)
//   sandbox_nest REQUEST TEXT LENGTH  (prctl 0x53424e58, the request a
//                               sandbox inside another makes, with TEXT)
//   sleep SECONDS (fractions allowed)   pause   exit CODE   ready (READY)
//   echo TEXT (prints TEXT)   write_file PATH TEXT (OK/ERR of the open)
//   out FILE     sends stdout and stderr to FILE (created, appended to);
//                its OK line goes to FILE. Detaches from the caller's pipes.
//   await PATH   waits (at most 60 s) until PATH exists, else ERR ETIMEDOUT
//   openpty      a new terminal through /dev/ptmx, its other side opened
//                and put in raw mode: OK tty when all of it worked
//
// Forms: everything after the form word (a ":" right after it is skipped)
// up to the end of the command line runs in the new context:
//   fork ...     in a child; the parent waits and then exits with the
//                child's status (128+signal if it was killed)
//   bg ...       in a child nobody waits for; the parent exits 0 at once
//   thread ...   in a new thread, joined; then the probe exits 0
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <type_traits>

#include "base/call_table.h"

extern char** environ;

namespace {

// ---- output ----------------------------------------------------------------

void emit(const char* line) {
    char buffer[4200];
    size_t n = strnlen(line, sizeof(buffer) - 2);
    memcpy(buffer, line, n);
    buffer[n++] = '\n';
    size_t done = 0;
    while (done < n) {
        long put = syscall(SYS_write, 1, buffer + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        done += static_cast<size_t>(put);
    }
}

[[noreturn]] void bad(const char* what, const char* word) {
    char line[512];
    snprintf(line, sizeof(line), "BAD %s: %s\n", what, word ? word : "(missing)");
    syscall(SYS_write, 2, line, strlen(line));
    syscall(SYS_exit_group, 2);
    __builtin_unreachable();
}

struct ErrnoName {
    int value;
    const char* name;
};

// clang-format off
#define E(x) {x, #x}
const ErrnoName k_errno_names[] = {
    E(EPERM),        E(ENOENT),       E(ESRCH),        E(EINTR),         E(EIO),
    E(ENXIO),        E(E2BIG),        E(ENOEXEC),      E(EBADF),         E(ECHILD),
    E(EAGAIN),       E(ENOMEM),       E(EACCES),       E(EFAULT),        E(ENOTBLK),
    E(EBUSY),        E(EEXIST),       E(EXDEV),        E(ENODEV),        E(ENOTDIR),
    E(EISDIR),       E(EINVAL),       E(ENFILE),       E(EMFILE),        E(ENOTTY),
    E(ETXTBSY),      E(EFBIG),        E(ENOSPC),       E(ESPIPE),        E(EROFS),
    E(EMLINK),       E(EPIPE),        E(ERANGE),       E(ENAMETOOLONG),  E(ENOSYS),
    E(ENOTEMPTY),    E(ELOOP),        E(EOVERFLOW),    E(ENOTSOCK),      E(EDESTADDRREQ),
    E(EMSGSIZE),     E(EPROTOTYPE),   E(EPROTONOSUPPORT), E(EOPNOTSUPP), E(EAFNOSUPPORT),
    E(EADDRINUSE),   E(EADDRNOTAVAIL), E(ENETUNREACH), E(ECONNRESET),    E(EISCONN),
    E(ENOTCONN),     E(ETIMEDOUT),    E(ECONNREFUSED), E(EHOSTUNREACH),  E(EALREADY),
    E(EINPROGRESS),  E(ECANCELED),    E(ENODATA),
};
#undef E
// clang-format on

long g_last = -1;  // value of the latest OK <value> line, for "save"

void report(long rc) {
    char line[64];
    if (rc >= 0) {
        emit("OK");
        return;
    }
    int err = errno;
    for (const ErrnoName& e : k_errno_names) {
        if (e.value == err) {
            snprintf(line, sizeof(line), "ERR %s", e.name);
            emit(line);
            return;
        }
    }
    snprintf(line, sizeof(line), "ERR E%d", err);
    emit(line);
}

void report_value(long rc) {
    if (rc < 0) {
        report(rc);
        return;
    }
    char line[64];
    snprintf(line, sizeof(line), "OK %ld", rc);
    g_last = rc;
    emit(line);
}

// ---- raw calls ---------------------------------------------------------------

template <typename T>
long as_long(T value) {
    if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return static_cast<long>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<long>(value);
    }
}

// Every argument goes to syscall() as a long: an int read back as a long
// through the varargs could carry garbage in its upper half.
// The call of that name in the call table; a name the table lacks is a
// mistake in this program, not something to report.
template <typename... A>
long call(const char* name, A... args) {
    if (find_call_by_name(name) == nullptr) {
        fprintf(stderr, "BAD probe calls %s, which the call table lacks\n", name);
        exit(2);
    }
    int nr = native_number_of(name);
    if (nr == k_absent) {
        errno = ENOSYS;
        return -1;
    }
    return syscall(nr, as_long(args)...);
}

template <typename... A>
long sys(long nr, A... args) {
    return syscall(nr, as_long(args)...);
}

// ---- argument parsing ---------------------------------------------------------

struct Saved {
    char name[32];
    long value;
};
Saved g_saved[32];
int g_saved_count = 0;

void save_value(const char* name, long value) {
    for (int i = 0; i < g_saved_count; ++i) {
        if (strcmp(g_saved[i].name, name) == 0) {
            g_saved[i].value = value;
            return;
        }
    }
    if (g_saved_count == 32 || strlen(name) >= sizeof(g_saved[0].name)) bad("cannot save", name);
    snprintf(g_saved[g_saved_count].name, sizeof(g_saved[0].name), "%s", name);
    g_saved[g_saved_count++].value = value;
}

struct Symbol {
    const char* name;
    long value;
};

// clang-format off
#define S(x) {#x, static_cast<long>(x)}
// clang-format on
const Symbol k_symbols[] = {
    S(O_RDONLY),
    S(O_WRONLY),
    S(O_RDWR),
    S(O_CREAT),
    S(O_EXCL),
    S(O_NOCTTY),
    S(O_TRUNC),
    S(O_APPEND),
    S(O_NONBLOCK),
    S(O_DIRECTORY),
    S(O_NOFOLLOW),
    S(O_CLOEXEC),
    S(O_PATH),
    S(O_TMPFILE),
    S(O_SYNC),
    S(O_DSYNC),
    S(O_NOATIME),
    S(AT_FDCWD),
    S(AT_SYMLINK_NOFOLLOW),
    S(AT_SYMLINK_FOLLOW),
    S(AT_REMOVEDIR),
    S(AT_EMPTY_PATH),
    S(AT_EACCESS),
    S(AT_NO_AUTOMOUNT),
    S(AT_STATX_SYNC_AS_STAT),
    S(RESOLVE_NO_XDEV),
    S(RESOLVE_NO_MAGICLINKS),
    S(RESOLVE_NO_SYMLINKS),
    S(RESOLVE_BENEATH),
    S(RESOLVE_IN_ROOT),
    S(F_OK),
    S(R_OK),
    S(W_OK),
    S(X_OK),
    {"RENAME_NOREPLACE", 1},
    {"RENAME_EXCHANGE", 2},
    {"RENAME_WHITEOUT", 4},
    S(S_IFREG),
    S(S_IFCHR),
    S(S_IFBLK),
    S(S_IFIFO),
    S(S_IFSOCK),
    S(S_IFDIR),
    {"STATX_TYPE", 0x1},
    {"STATX_MODE", 0x2},
    {"STATX_BASIC_STATS", 0x7ff},
    {"STATX_ALL", 0xfff},
    S(IPC_PRIVATE),
    S(IPC_CREAT),
    S(IPC_EXCL),
    S(IPC_RMID),
    S(IPC_STAT),
    S(IPC_INFO),
    S(F_SETOWN),
    S(F_SETOWN_EX),
    S(F_OWNER_TID),
    S(F_OWNER_PID),
    S(F_OWNER_PGRP),
    S(FIOSETOWN),
    S(SIOCSPGRP),
    S(FS_IOC_SETFLAGS),
    S(FS_IOC_FSSETXATTR),
    S(PRIO_PROCESS),
    S(PRIO_PGRP),
    S(PRIO_USER),
    S(RLIMIT_CORE),
    S(RLIMIT_NOFILE),
    S(AF_UNIX),
    S(AF_INET),
    S(AF_INET6),
    S(AF_PACKET),
    S(SOCK_STREAM),
    S(SOCK_DGRAM),
    S(SOCK_RAW),
    S(SOCK_PACKET),
    S(SOCK_NONBLOCK),
    S(SOCK_CLOEXEC),
    S(IN_MODIFY),
    S(SIGHUP),
    S(SIGINT),
    S(SIGQUIT),
    S(SIGILL),
    S(SIGTRAP),
    S(SIGABRT),
    S(SIGKILL),
    S(SIGUSR1),
    S(SIGSEGV),
    S(SIGUSR2),
    S(SIGPIPE),
    S(SIGALRM),
    S(SIGTERM),
    S(SIGCHLD),
    S(SIGCONT),
    S(SIGSTOP),
    S(SIGTSTP),
    S(PTRACE_TRACEME),
    S(PTRACE_PEEKDATA),
    S(PTRACE_CONT),
    S(PTRACE_KILL),
    S(PTRACE_ATTACH),
    S(PTRACE_DETACH),
    S(PTRACE_SEIZE),
    S(PTRACE_INTERRUPT),
    S(CLONE_NEWNS),
    S(CLONE_NEWUSER),
    S(CLONE_NEWPID),
    S(CLONE_NEWNET),
    S(CLONE_NEWUTS),
    S(CLONE_NEWIPC),
    S(CLONE_NEWCGROUP),
    S(CLONE_FILES),
    S(CLONE_FS),
    S(TIOCSTI),
    S(TIOCLINUX),
    S(TIOCGWINSZ),
    S(FIONREAD),
    S(RLIMIT_CORE),
    S(RLIMIT_NOFILE),
};
#undef S

long parse_token(const char* token, size_t len) {
    for (const Symbol& s : k_symbols) {
        if (strlen(s.name) == len && strncmp(s.name, token, len) == 0) return s.value;
    }
    char copy[64];
    if (len == 0 || len >= sizeof(copy)) bad("bad number", token);
    memcpy(copy, token, len);
    copy[len] = 0;
    char* end = nullptr;
    errno = 0;
    long value = strtol(copy, &end, 0);
    if (errno != 0 || *end != 0) bad("bad number", copy);
    return value;
}

long num(const char* word) {
    if (word == nullptr) bad("missing number", word);
    for (int i = 0; i < g_saved_count; ++i) {
        if (strcmp(g_saved[i].name, word) == 0) return g_saved[i].value;
    }
    if (strcmp(word, "self") == 0) return sys(SYS_getpid);
    if (strcmp(word, "parent") == 0) return sys(SYS_getppid);
    if (strcmp(word, "tid") == 0) return sys(SYS_gettid);
    if (strcmp(word, "group") == 0) return sys(SYS_getpgid, 0);
    long value = 0;
    const char* at = word;
    for (;;) {
        const char* bar = strchr(at, '|');
        size_t len = bar ? static_cast<size_t>(bar - at) : strlen(at);
        value |= parse_token(at, len);
        if (!bar) return value;
        at = bar + 1;
    }
}

const char* path(const char* word) {
    if (word == nullptr) bad("missing path", word);
    if (strcmp(word, "NULL") == 0) return nullptr;
    if (strcmp(word, "EMPTY") == 0) return "";
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (strcmp(word, "BADPTR") == 0) {
        void* hole = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (hole == MAP_FAILED) bad("mmap failed", word);
        munmap(hole, page);
        return static_cast<const char*>(hole);
    }
    if (strncmp(word, "@page:", 6) == 0) {
        const char* text = word + 6;
        size_t len = strlen(text) + 1;
        size_t size = (page * 2 + len + page - 1) / page * page;
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) bad("mmap failed", word);
        char* at = static_cast<char*>(map) + page - 10;
        memcpy(at, text, len);
        return at;
    }
    return word;
}

// ---- operations -------------------------------------------------------------

struct Args {
    char** v;
    int n;
    const char* operator[](int i) const { return i < n ? v[i] : nullptr; }
};

char g_vm_buffer[16] = "probe-vm-buffer";

void print_link(long rc, const char* text) {
    if (rc < 0) {
        report(rc);
        return;
    }
    char line[4200];
    snprintf(line, sizeof(line), "OK %.*s", static_cast<int>(rc), text);
    emit(line);
}

void do_readlink(const char* name, long dirfd, const char* p) {
    char target[4096];
    long rc = strcmp(name, "readlink") == 0 ? call(name, p, target, sizeof(target))
                                            : call(name, dirfd, p, target, sizeof(target));
    print_link(rc, target);
}

void do_execve(const Args& a, int fixed, bool at) {
    if (a.n < fixed) bad("missing arguments", at ? "execveat" : "execve");
    // argv[0] is the path word; the words after the fixed arguments follow.
    char** argv = static_cast<char**>(calloc(static_cast<size_t>(a.n) + 2, sizeof(char*)));
    if (argv == nullptr) bad("no memory", "execve");
    int k = 0;
    argv[k++] = a.v[at ? 1 : 0];
    for (int i = fixed; i < a.n; ++i) argv[k++] = a.v[i];
    argv[k] = nullptr;
    long rc = at ? call("execveat", num(a[0]), path(a[1]), argv, environ, num(a[2]))
                 : call("execve", path(a[0]), argv, environ);
    report(rc);
    syscall(SYS_exit_group, 0);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    bad("bad hex", "digit");
}

// The port the last listen or bind_dgram took.
long g_listened_port = 0;

long port_of_word(const char* word) {
    return word != nullptr && strcmp(word, "listened") == 0 ? g_listened_port : num(word);
}

// Fills storage with the address the words describe; returns its length.
socklen_t make_address(const Args& a, sockaddr_storage* storage, int* family) {
    memset(storage, 0, sizeof(*storage));
    const char* kind = a[0];
    if (kind == nullptr) bad("missing family", kind);
    if (strcmp(kind, "inet") == 0) {
        auto* in = reinterpret_cast<sockaddr_in*>(storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port_of_word(a[2])));
        if (a[1] == nullptr || inet_pton(AF_INET, a[1], &in->sin_addr) != 1) bad("bad address", a[1]);
        *family = AF_INET;
        return sizeof(sockaddr_in);
    }
    if (strcmp(kind, "inet6") == 0) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port_of_word(a[2])));
        if (a[1] == nullptr || inet_pton(AF_INET6, a[1], &in6->sin6_addr) != 1) bad("bad address", a[1]);
        *family = AF_INET6;
        return sizeof(sockaddr_in6);
    }
    if (strcmp(kind, "unix") == 0) {
        auto* un = reinterpret_cast<sockaddr_un*>(storage);
        un->sun_family = AF_UNIX;
        const char* name = a[1];
        if (name == nullptr || strlen(name) >= sizeof(un->sun_path)) bad("bad unix path", name);
        size_t len = strlen(name);
        memcpy(un->sun_path, name, len);
        *family = AF_UNIX;
        // An abstract name has no terminating NUL: its length is exact.
        if (name[0] == '@') {
            un->sun_path[0] = 0;
            return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
        }
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
    }
    if (strcmp(kind, "raw") == 0) {
        long len = num(a[1]);
        const char* hex = a[2] ? a[2] : "";
        size_t bytes = strlen(hex) / 2;
        if (bytes > sizeof(*storage)) bad("address too long", hex);
        auto* out = reinterpret_cast<unsigned char*>(storage);
        for (size_t i = 0; i < bytes; ++i) {
            out[i] = static_cast<unsigned char>(hex_digit(hex[2 * i]) * 16 + hex_digit(hex[2 * i + 1]));
        }
        int f = storage->ss_family;
        *family = (f == AF_UNIX || f == AF_INET6) ? f : AF_INET;
        return static_cast<socklen_t>(len);
    }
    bad("unknown family", kind);
}

void do_socket_call(const Args& a, bool send, bool raw, int type) {
    sockaddr_storage address;
    int family = AF_INET;
    socklen_t len;
    if (raw) {
        char kind[] = "raw";
        char* words[3] = {kind, a.v[0], a.n > 1 ? a.v[1] : nullptr};
        len = make_address(Args{words, a.n + 1 < 3 ? a.n + 1 : 3}, &address, &family);
    } else {
        len = make_address(a, &address, &family);
    }
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        report(-1);
        return;
    }
    static const char payload[] = "probe";
    long rc = send ? call("sendto", fd, payload, 5, MSG_DONTWAIT, &address, len) : call("connect", fd, &address, len);
    int err = errno;
    close(fd);
    errno = err;
    if (send) {
        report_value(rc);
    } else {
        report(rc);
    }
}

// A socket bound to the address and kept open for the rest of the run,
// listening when it is a stream socket.
void do_bind_kept(const Args& a, int type) {
    sockaddr_storage address;
    int family = AF_INET;
    socklen_t len = make_address(a, &address, &family);
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0 || call("bind", fd, &address, len) != 0) return report(-1);
    if (type == SOCK_STREAM && listen(fd, 8) != 0) return report(-1);
    socklen_t size = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return report(-1);
    if (family == AF_INET) g_listened_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (family == AF_INET6) g_listened_port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    report_value(family == AF_UNIX ? 0 : g_listened_port);
}

void do_vm(long pid, bool write) {
    char local[8];
    memcpy(local, g_vm_buffer, sizeof(local));
    iovec mine = {local, sizeof(local)};
    iovec theirs = {g_vm_buffer, sizeof(local)};
    report_value(call(write ? "process_vm_writev" : "process_vm_readv", pid, &mine, 1, &theirs, 1, 0));
}

void do_sleep(const char* word) {
    if (word == nullptr) bad("missing seconds", word);
    double seconds = strtod(word, nullptr);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    long rc;
    do {
        rc = sys(SYS_nanosleep, &ts, &ts);
    } while (rc < 0 && errno == EINTR);
    report(rc);
}

void do_out(const char* file) {
    long fd = call("openat", AT_FDCWD, path(file), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        report(fd);
        return;
    }
    dup2(static_cast<int>(fd), 1);
    dup2(static_cast<int>(fd), 2);
    close(static_cast<int>(fd));
    report(0);
}

void do_await(const char* file) {
    const char* p = path(file);
    timespec step = {0, 5 * 1000 * 1000};
    for (int i = 0; i < 60 * 200; ++i) {
        if (call("faccessat", AT_FDCWD, p, F_OK) == 0) {
            report(0);
            return;
        }
        nanosleep(&step, nullptr);
    }
    errno = ETIMEDOUT;
    report(-1);
}

void do_write_file(const char* file, const char* text) {
    long fd = call("openat", AT_FDCWD, path(file), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        report(fd);
        return;
    }
    size_t len = text ? strlen(text) : 0;
    long put = sys(SYS_write, fd, text, len);
    int err = errno;
    close(static_cast<int>(fd));
    errno = err;
    report(put < 0 ? put : 0);
}

void do_parent_fd(long n) {
    char link[64];
    snprintf(link, sizeof(link), "/proc/%ld/fd/%ld", sys(SYS_getppid), n);
    do_readlink("readlinkat", AT_FDCWD, link);
}

// ---- messages, other calls, foreign ABIs ---------------------------------------

void do_sendmsg(const Args& a, bool many) {
    constexpr int k_max = 8;
    sockaddr_storage addresses[k_max];
    socklen_t lengths[k_max];
    int family = AF_INET;
    int count = 0;
    if (!many) {
        lengths[count++] = make_address(a, &addresses[0], &family);
    } else {
        for (int i = 0; i < a.n; i += 3) {
            if (count == k_max) bad("too many messages", a[i]);
            int its_family = AF_INET;
            lengths[count] = make_address(Args{a.v + i, a.n - i < 3 ? a.n - i : 3}, &addresses[count], &its_family);
            if (count++ == 0) family = its_family;
        }
        if (count == 0) bad("missing address", "sendmmsg");
    }
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return report(-1);
    static char payload[] = "probe";
    iovec data = {payload, 5};
    mmsghdr messages[k_max];
    memset(messages, 0, sizeof(messages));
    for (int i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &addresses[i];
        messages[i].msg_hdr.msg_namelen = lengths[i];
        messages[i].msg_hdr.msg_iov = &data;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    long rc = many ? call("sendmmsg", fd, messages, count, MSG_DONTWAIT)
                   : call("sendmsg", fd, &messages[0].msg_hdr, MSG_DONTWAIT);
    int err = errno;
    close(fd);
    errno = err;
    report_value(rc);
}

void do_sendmsg_noname() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return report(-1);
    static char payload[] = "probe";
    iovec data = {payload, 5};
    msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    long rc = call("sendmsg", pair[0], &message, 0);
    int err = errno;
    close(pair[0]);
    close(pair[1]);
    errno = err;
    report_value(rc);
}

// A queued signal as sigqueue() sends it; SI_QUEUE is a code the kernel lets
// one process give to another.
void do_sigqueue(long tgid, long tid, long sig, bool thread) {
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    info.si_signo = static_cast<int>(sig);
    info.si_code = SI_QUEUE;
    info.si_pid = static_cast<pid_t>(sys(SYS_getpid));
    info.si_uid = static_cast<uid_t>(sys(SYS_getuid));
    report(thread ? call("rt_tgsigqueueinfo", tgid, tid, sig, &info) : call("rt_sigqueueinfo", tgid, sig, &info));
}

// clone and clone3 without a stack of their own fork: the child leaves at
// once and the parent reaps it.
void report_child(long rc) {
    if (rc == 0) syscall(SYS_exit_group, 0);
    if (rc > 0) {
        int status = 0;
        while (sys(SYS_wait4, rc, &status, __WALL, nullptr) < 0 && errno == EINTR) {}
        rc = 0;
    }
    report(rc);
}

// One argument of "call": a number, or a pointer to a string (s:TEXT), a
// zeroed buffer (b:N) or an array of ints (i:A,B) or longs (l:A,B). Each
// argument position has storage of its own.
long call_argument(const char* word, int position) {
    static char storage[6][4096] __attribute__((aligned(8)));
    char* area = storage[position];
    if (strncmp(word, "s:", 2) == 0) {
        snprintf(area, sizeof(storage[0]), "%s", word + 2);
        return as_long(area);
    }
    if (strncmp(word, "b:", 2) == 0) {
        if (num(word + 2) > static_cast<long>(sizeof(storage[0]))) bad("buffer too large", word);
        memset(area, 0, sizeof(storage[0]));
        return as_long(area);
    }
    if (strncmp(word, "i:", 2) == 0 || strncmp(word, "l:", 2) == 0) {
        const bool ints = word[0] == 'i';
        char list[256];
        snprintf(list, sizeof(list), "%s", word + 2);
        size_t at = 0;
        for (char* item = strtok(list, ","); item != nullptr; item = strtok(nullptr, ",")) {
            const long value = num(item);
            if (ints) {
                const int narrow = static_cast<int>(value);
                memcpy(area + at, &narrow, sizeof(narrow));
                at += sizeof(narrow);
            } else {
                memcpy(area + at, &value, sizeof(value));
                at += sizeof(value);
            }
        }
        return as_long(area);
    }
    return num(word);
}

void do_call(const Args& a) {
    if (a[0] == nullptr) bad("missing call", "call");
    long v[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 1; i < a.n && i <= 6; ++i) v[i - 1] = call_argument(a[i], i - 1);
    report_value(call(a[0], v[0], v[1], v[2], v[3], v[4], v[5]));
}

// A local stream socket bound to path (created, then closed).
void do_bind_unix(const char* path) {
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path == nullptr || strlen(path) >= sizeof(address.sun_path)) bad("bad unix path", path);
    memcpy(address.sun_path, path, strlen(path));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    long rc = call("bind", fd, &address, offsetof(sockaddr_un, sun_path) + strlen(path) + 1);
    int err = errno;
    close(fd);
    errno = err;
    report(rc);
}

// A datagram on a socket of the address's family, whose address says
// AF_UNSPEC instead.
void do_sendto_unspec(const Args& a) {
    sockaddr_storage address;
    int family = 0;
    socklen_t length = make_address(a, &address, &family);
    address.ss_family = AF_UNSPEC;
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    long rc = call("sendto", fd, "probe", 5, MSG_DONTWAIT, &address, length);
    int err = errno;
    close(fd);
    errno = err;
    report_value(rc);
}

// Runs the program at path from a descriptor that names no file: a memory
// file holding a copy of it, or the file itself, removed once opened.
void do_exec_unnamed(const Args& a, bool deleted) {
    const char* program = a[0];
    int source = open(program, O_RDONLY | O_CLOEXEC);
    if (source < 0) return report(-1);
    int fd = source;
    if (deleted) {
        if (unlink(program) != 0) return report(-1);
    } else {
        fd = static_cast<int>(sys(SYS_memfd_create, "probe", 0));
        if (fd < 0) return report(-1);
        char buffer[65536];
        ssize_t got;
        while ((got = read(source, buffer, sizeof(buffer))) > 0) {
            if (write(fd, buffer, static_cast<size_t>(got)) != got) return report(-1);
        }
    }
    // A multi-call program (busybox) picks what it runs by the name it is
    // called by: the file's own name, not the copy's path.
    const char* slash = strrchr(program, '/');
    char* argv[] = {const_cast<char*>(slash != nullptr ? slash + 1 : program), nullptr};
    report(call("execveat", fd, "", argv, environ, AT_EMPTY_PATH));
    syscall(SYS_exit_group, 0);
}

struct PlainCall {
    const char* name;
    long nr;
    const char* args;  // n: number, p: path
    bool value;
};

// open_tree_attr is newer than the system headers.
constexpr long k_nr_open_tree_attr = 467;

const PlainCall k_plain_calls[] = {
    {"unshare", SYS_unshare, "n", false},
    {"setns", SYS_setns, "nn", false},
    {"mount", SYS_mount, "pppn", false},
    {"umount2", SYS_umount2, "pn", false},
    {"chroot", SYS_chroot, "p", false},
    {"pivot_root", SYS_pivot_root, "pp", false},
    {"open_tree", SYS_open_tree, "npn", true},
    {"open_tree_attr", k_nr_open_tree_attr, "npn", true},
    {"move_mount", SYS_move_mount, "npnpn", false},
    {"fsopen", SYS_fsopen, "pn", true},
    {"fsmount", SYS_fsmount, "nnn", true},
    {"fspick", SYS_fspick, "npn", true},
    {"mount_setattr", SYS_mount_setattr, "npn", false},
    {"io_uring_enter", SYS_io_uring_enter, "nnnn", false},
    {"io_uring_register", SYS_io_uring_register, "nnn", false},
    {"pidfd_open", SYS_pidfd_open, "n", true},
    {"pidfd_getfd", SYS_pidfd_getfd, "nn", true},
    {"kcmp", SYS_kcmp, "nnnnn", false},
};

bool run_plain_call(const char* op, const Args& a) {
    for (const PlainCall& c : k_plain_calls) {
        if (strcmp(op, c.name) != 0) continue;
        long v[6] = {0, 0, 0, 0, 0, 0};
        for (int i = 0; c.args[i] != 0 && i < 6; ++i) {
            if (i >= a.n) break;
            v[i] = c.args[i] == 'p' ? as_long(path(a[i])) : num(a[i]);
        }
        long rc = sys(c.nr, v[0], v[1], v[2], v[3], v[4], v[5]);
        c.value ? report_value(rc) : report(rc);
        return true;
    }
    return false;
}

// What a terminal program does first: the C library's calls, which open
// through the trapped calls.
void do_openpty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return report(-1);
    const char* name = ptsname(master);
    const int terminal = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios modes;
    const bool raw = terminal >= 0 && isatty(terminal) && tcgetattr(terminal, &modes) == 0 &&
                     (cfmakeraw(&modes), tcsetattr(terminal, TCSANOW, &modes) == 0);
    const int error = errno;
    if (terminal >= 0) close(terminal);
    close(master);
    if (!raw) {
        errno = error;
        return report(-1);
    }
    emit("OK tty");
}

void do_process_madvise(long pidfd) {
    static char page[4096] __attribute__((aligned(4096)));
    iovec range = {page, sizeof(page)};
    report_value(sys(SYS_process_madvise, pidfd, &range, 1, MADV_COLD, 0));
}

void do_open_by_handle() {
    struct {
        unsigned int bytes;
        int type;
        unsigned char id[8];
    } handle = {8, 1, {1, 2, 3, 4, 5, 6, 7, 8}};
    report_value(sys(SYS_open_by_handle_at, AT_FDCWD, &handle, O_RDONLY | O_CLOEXEC));
}

#if defined(__x86_64__)
// The raw result of a call made without libc: -errno on failure.
long from_raw(long rc) {
    if (rc < 0 && rc > -4096) {
        errno = static_cast<int>(-rc);
        return -1;
    }
    return rc;
}

// Both foreign entry points take the path from 32-bit registers, so it is
// copied below 4 GiB first.
const char* low_copy(const char* p) {
    size_t len = strlen(p) + 1;
    void* low = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (low == MAP_FAILED || len > 4096) bad("cannot place path below 4 GiB", p);
    memcpy(low, p, len);
    return static_cast<const char*>(low);
}

long int80_creat(const char* p) {
    const char* low = low_copy(p);
    long rc;
    // The i386 entry clears r8-r11 on the way back.
    asm volatile("int $0x80" : "=a"(rc) : "a"(8L), "b"(low), "c"(0644L) : "r8", "r9", "r10", "r11", "memory");
    return from_raw(static_cast<int>(rc));
}

long x32_creat(const char* p) {
    const char* low = low_copy(p);
    long rc;
    asm volatile("syscall" : "=a"(rc) : "a"(0x40000000L | 85), "D"(low), "S"(0644L) : "rcx", "r11", "memory");
    return from_raw(rc);
}
#else
long int80_creat(const char*) {
    errno = ENOSYS;
    return -1;
}
long x32_creat(const char*) {
    errno = ENOSYS;
    return -1;
}
#endif

void print_limit(rlim_t value, char* out, size_t size) {
    if (value == RLIM_INFINITY) {
        snprintf(out, size, "unlimited");
    } else {
        snprintf(out, size, "%llu", static_cast<unsigned long long>(value));
    }
}

void do_getrlimit(long resource) {
    rlimit limit;
    long rc = sys(SYS_getrlimit, resource, &limit);
    if (rc < 0) return report(rc);
    char soft[32];
    char hard[32];
    print_limit(limit.rlim_cur, soft, sizeof(soft));
    print_limit(limit.rlim_max, hard, sizeof(hard));
    char line[80];
    snprintf(line, sizeof(line), "OK %s %s", soft, hard);
    emit(line);
}

void run_ops(int argc, char** argv);

struct ThreadStart {
    int argc;
    char** argv;
};

void* thread_main(void* raw) {
    auto* start = static_cast<ThreadStart*>(raw);
    run_ops(start->argc, start->argv);
    return nullptr;
}

// Runs the words after a form word in a child or a thread. Returns only in
// the caller's context, which then has nothing left to do.
void run_form(const char* form, int argc, char** argv) {
    if (argc > 0 && strcmp(argv[0], ":") == 0) {
        ++argv;
        --argc;
    }
    if (strcmp(form, "thread") == 0) {
        ThreadStart start = {argc, argv};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, thread_main, &start) != 0) bad("pthread_create failed", form);
        pthread_join(thread, nullptr);
        return;
    }
    pid_t child = fork();
    if (child < 0) bad("fork failed", form);
    if (child == 0) {
        run_ops(argc, argv);
        syscall(SYS_exit_group, 0);
    }
    if (strcmp(form, "bg") == 0) return;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    syscall(SYS_exit_group, WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

// One operation; a word count of a.n arguments.
void run_one(const char* op, const Args& a) {
    auto is = [op](const char* name) { return strcmp(op, name) == 0; };
    // File calls.
    if (is("open")) return report_value(call("open", path(a[0]), num(a[1]), a.n > 2 ? num(a[2]) : 0));
    if (is("creat")) return report_value(call("creat", path(a[0]), num(a[1])));
    if (is("openat")) {
        return report_value(call("openat", num(a[0]), path(a[1]), num(a[2]), a.n > 3 ? num(a[3]) : 0));
    }
    if (is("openat2") || is("openat2_nullhow")) {
        open_how how;
        memset(&how, 0, sizeof(how));
        open_how* how_arg = nullptr;
        if (is("openat2")) {
            how.flags = static_cast<uint64_t>(num(a[2]));
            how.resolve = a.n > 3 ? static_cast<uint64_t>(num(a[3])) : 0;
            how.mode = a.n > 4 ? static_cast<uint64_t>(num(a[4])) : 0;
            how_arg = &how;
        }
        return report_value(call("openat2", num(a[0]), path(a[1]), how_arg, sizeof(how)));
    }
    alignas(16) char statbuf[512];
    if (is("stat")) return report(call("stat", path(a[0]), statbuf));
    if (is("lstat")) return report(call("lstat", path(a[0]), statbuf));
    if (is("newfstatat")) return report(call("newfstatat", num(a[0]), path(a[1]), statbuf, num(a[2])));
    if (is("statx")) return report(call("statx", num(a[0]), path(a[1]), num(a[2]), num(a[3]), statbuf));
    if (is("access")) return report(call("access", path(a[0]), num(a[1])));
    if (is("faccessat")) return report(call("faccessat", num(a[0]), path(a[1]), num(a[2])));
    if (is("faccessat2")) return report(call("faccessat2", num(a[0]), path(a[1]), num(a[2]), num(a[3])));
    if (is("readlink")) return do_readlink("readlink", 0, path(a[0]));
    if (is("readlinkat")) return do_readlink("readlinkat", num(a[0]), path(a[1]));
    if (is("mkdir")) return report(call("mkdir", path(a[0]), num(a[1])));
    if (is("mkdirat")) return report(call("mkdirat", num(a[0]), path(a[1]), num(a[2])));
    if (is("unlink")) return report(call("unlink", path(a[0])));
    if (is("rmdir")) return report(call("rmdir", path(a[0])));
    if (is("unlinkat")) return report(call("unlinkat", num(a[0]), path(a[1]), num(a[2])));
    if (is("rename")) return report(call("rename", path(a[0]), path(a[1])));
    if (is("renameat")) return report(call("renameat", num(a[0]), path(a[1]), num(a[2]), path(a[3])));
    if (is("renameat2")) {
        return report(call("renameat2", num(a[0]), path(a[1]), num(a[2]), path(a[3]), num(a[4])));
    }
    if (is("link")) return report(call("link", path(a[0]), path(a[1])));
    if (is("linkat")) return report(call("linkat", num(a[0]), path(a[1]), num(a[2]), path(a[3]), num(a[4])));
    if (is("symlink")) return report(call("symlink", path(a[0]), path(a[1])));
    if (is("symlinkat")) return report(call("symlinkat", path(a[0]), num(a[1]), path(a[2])));
    if (is("chmod")) return report(call("chmod", path(a[0]), num(a[1])));
    if (is("fchmodat")) return report(call("fchmodat", num(a[0]), path(a[1]), num(a[2])));
    if (is("fchmodat2")) return report(call("fchmodat2", num(a[0]), path(a[1]), num(a[2]), num(a[3])));
    if (is("chown")) return report(call("chown", path(a[0]), num(a[1]), num(a[2])));
    if (is("lchown")) return report(call("lchown", path(a[0]), num(a[1]), num(a[2])));
    if (is("fchownat")) {
        return report(call("fchownat", num(a[0]), path(a[1]), num(a[2]), num(a[3]), num(a[4])));
    }
    if (is("truncate")) return report(call("truncate", path(a[0]), num(a[1])));
    if (is("mknod")) return report(call("mknod", path(a[0]), num(a[1]), num(a[2])));
    if (is("mknodat")) return report(call("mknodat", num(a[0]), path(a[1]), num(a[2]), num(a[3])));
    if (is("utimensat")) return report(call("utimensat", num(a[0]), path(a[1]), nullptr, num(a[2])));
    if (is("utime")) return report(call("utime", path(a[0]), nullptr));
    if (is("utimes")) return report(call("utimes", path(a[0]), nullptr));
    if (is("futimesat")) return report(call("futimesat", num(a[0]), path(a[1]), nullptr));
    if (is("setxattr") || is("lsetxattr")) {
        const char* value = a[2] ? a[2] : "";
        return report(call(is("setxattr") ? "setxattr" : "lsetxattr", path(a[0]), a[1], value, strlen(value), 0));
    }
    if (is("removexattr")) return report(call("removexattr", path(a[0]), a[1]));
    if (is("lremovexattr")) return report(call("lremovexattr", path(a[0]), a[1]));
    if (is("setxattrat")) {
        const char* value = a[4] ? a[4] : "";
        struct {
            uint64_t value;
            uint32_t size;
            uint32_t flags;
        } xattr = {static_cast<uint64_t>(as_long(value)), static_cast<uint32_t>(strlen(value)), 0};
        return report(call("setxattrat", num(a[0]), path(a[1]), num(a[2]), a[3], &xattr, sizeof(xattr)));
    }
    if (is("removexattrat")) return report(call("removexattrat", num(a[0]), path(a[1]), num(a[2]), a[3]));
    if (is("file_setattr")) {
        uint64_t attr[3] = {0, 0, 0};  // struct file_attr, first version
        return report(call("file_setattr", num(a[0]), path(a[1]), attr, sizeof(attr), num(a[2])));
    }
    if (is("execve")) return do_execve(a, 1, false);
    if (is("execveat")) return do_execve(a, 3, true);
    // Descriptors.
    if (is("save")) {
        if (a[0] == nullptr) bad("missing name", op);
        save_value(a[0], g_last);
        return report(0);
    }
    if (is("close")) return report(sys(SYS_close, num(a[0])));
    if (is("fd_open")) return report(sys(SYS_fcntl, num(a[0]), F_GETFD));
    if (is("pipe")) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return report(-1);
        save_value("pipe_r", fds[0]);
        save_value("pipe_w", fds[1]);
        char line[64];
        snprintf(line, sizeof(line), "OK %d %d", fds[0], fds[1]);
        return emit(line);
    }
    // Processes.
    if (is("kill")) return report(call("kill", num(a[0]), num(a[1])));
    if (is("raise")) return report(call("kill", sys(SYS_getpid), num(a[0])));
    if (is("tkill")) return report(call("tkill", num(a[0]), num(a[1])));
    if (is("tgkill")) return report(call("tgkill", num(a[0]), num(a[1]), num(a[2])));
    if (is("rt_sigqueueinfo")) return do_sigqueue(num(a[0]), 0, num(a[1]), false);
    if (is("rt_tgsigqueueinfo")) return do_sigqueue(num(a[0]), num(a[1]), num(a[2]), true);
    if (is("pidfd_send_signal")) return report(call("pidfd_send_signal", num(a[0]), num(a[1]), nullptr, 0));
    if (is("ptrace")) return report(call("ptrace", num(a[0]), a.n > 1 ? num(a[1]) : 0, 0, 0));
    if (is("process_vm_readv")) return do_vm(num(a[0]), false);
    if (is("process_vm_writev")) return do_vm(num(a[0]), true);
    // Sockets.
    if (is("connect")) return do_socket_call(a, false, false, SOCK_STREAM);
    if (is("connect_dgram")) return do_socket_call(a, false, false, SOCK_DGRAM);
    if (is("listen")) return do_bind_kept(a, SOCK_STREAM);
    if (is("bind_dgram")) return do_bind_kept(a, SOCK_DGRAM);
    if (is("sendto")) return do_socket_call(a, true, false, SOCK_DGRAM);
    if (is("connect_raw")) return do_socket_call(a, false, true, SOCK_STREAM);
    if (is("sendto_raw")) return do_socket_call(a, true, true, SOCK_DGRAM);
    if (is("connect_null")) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        long rc = call("connect", fd, nullptr, a.n > 0 ? num(a[0]) : 16);
        int err = errno;
        close(fd);
        errno = err;
        return report(rc);
    }
    if (is("sendto_null")) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return report(-1);
        long rc = call("sendto", pair[0], "probe", 5, 0, nullptr, 0);
        int err = errno;
        close(pair[0]);
        close(pair[1]);
        errno = err;
        return report_value(rc);
    }
    if (is("sendmsg")) return do_sendmsg(a, false);
    if (is("sendmmsg")) return do_sendmsg(a, true);
    if (is("sendmsg_noname")) return do_sendmsg_noname();
    if (is("bind_unix")) return do_bind_unix(a[0]);
    if (is("sendto_unspec")) return do_sendto_unspec(a);
    // Any call of the table, and others.
    if (is("call")) return do_call(a);
    if (is("inotify_init")) return report_value(sys(SYS_inotify_init1, IN_CLOEXEC));
    if (is("undumpable")) return report(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
    if (is("sandbox_nest")) return report(prctl(0x53424e58, num(a[0]), a[1], num(a[2]), 0));
    if (is("exec_memfd")) return do_exec_unnamed(a, false);
    if (is("exec_deleted")) return do_exec_unnamed(a, true);
    // Other calls and foreign ABIs.
    if (run_plain_call(op, a)) return;
    if (is("io_uring_setup")) {
        unsigned char params[120];  // struct io_uring_params
        memset(params, 0, sizeof(params));
        return report_value(sys(SYS_io_uring_setup, num(a[0]), params));
    }
    if (is("process_madvise")) return do_process_madvise(num(a[0]));
    if (is("open_by_handle_at")) return do_open_by_handle();
    if (is("ioctl")) {
        char buffer[64] = "x";
        return report(sys(SYS_ioctl, num(a[0]), num(a[1]), buffer));
    }
    if (is("clone")) return report_child(sys(SYS_clone, num(a[0]), 0, 0, 0, 0));
    if (is("clone3")) {
        uint64_t args[8] = {0, 0, 0, 0, SIGCHLD, 0, 0, 0};  // struct clone_args, first version
        args[0] = a.n > 0 ? static_cast<uint64_t>(num(a[0])) : 0;
        return report_child(sys(SYS_clone3, args, sizeof(args)));
    }
    if (is("int80_creat")) return report_value(int80_creat(path(a[0])));
    if (is("x32_creat")) return report_value(x32_creat(path(a[0])));
    // Information and control.
    if (is("pid")) return report_value(sys(SYS_getpid));
    if (is("ppid")) return report_value(sys(SYS_getppid));
    if (is("tid")) return report_value(sys(SYS_gettid));
    if (is("sid")) return report_value(sys(SYS_getsid, 0));
    if (is("pgid")) return report_value(sys(SYS_getpgid, 0));
    if (is("sid_of")) return report_value(sys(SYS_getsid, num(a[0])));
    if (is("pgid_of")) return report_value(sys(SYS_getpgid, num(a[0])));
    if (is("readlink_of_parent_fd")) return do_parent_fd(num(a[0]));
    if (is("getrlimit")) return do_getrlimit(num(a[0]));
    if (is("sleep")) return do_sleep(a[0]);
    if (is("pause")) {
        pause();
        return report(0);
    }
    if (is("exit")) syscall(SYS_exit_group, num(a[0]));
    if (is("ready")) return emit("READY");
    if (is("echo")) return emit(a[0] ? a[0] : "");
    if (is("write_file")) return do_write_file(a[0], a[1]);
    if (is("out")) return do_out(a[0]);
    if (is("await")) return do_await(a[0]);
    if (is("openpty")) return do_openpty();
    bad("unknown operation", op);
}

void run_ops(int argc, char** argv) {
    int i = 0;
    while (i < argc) {
        const char* op = argv[i++];
        if (strcmp(op, ":") == 0) continue;
        if (strcmp(op, "fork") == 0 || strcmp(op, "bg") == 0 || strcmp(op, "thread") == 0) {
            return run_form(op, argc - i, argv + i);
        }
        int first = i;
        // exec takes every remaining word as the new program's arguments.
        bool exec = strcmp(op, "execve") == 0 || strcmp(op, "execveat") == 0;
        while (i < argc && (exec || strcmp(argv[i], ":") != 0)) ++i;
        run_one(op, Args{argv + first, i - first});
    }
}

}  // namespace

int main(int argc, char** argv) {
    run_ops(argc - 1, argv + 1);
    return 0;
}
