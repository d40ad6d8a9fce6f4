#include "supervisor/emulated_open.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/io.h"
#include "path/operand.h"
#include "proc/caller_state.h"
#include "supervisor/judged_walk.h"
#include "supervisor/response.h"

namespace {

// Resolution flags that only narrow the caller's own walk.
constexpr uint64_t k_walk_limits = k_resolve_no_xdev | k_resolve_beneath | k_no_links;
// The flags the open calls take are ints; here they are the 64 bits of openat2.
constexpr uint64_t k_create_flags = static_cast<uint32_t>(O_CREAT | O_EXCL);
constexpr uint64_t k_not_reopened = static_cast<uint32_t>(O_CREAT | O_EXCL | O_NOFOLLOW);
constexpr uint64_t k_o_creat = static_cast<uint32_t>(O_CREAT);
constexpr uint64_t k_o_nonblock = static_cast<uint32_t>(O_NONBLOCK);
// "/dev/tty": whatever terminal controls the process that opens it.
constexpr unsigned k_tty_major = 5;
constexpr int k_create_attempts = 4;

OpenResult failed(int error) {
    return {OpenStep::failed, error, -1, false, 0};
}

// Creates under the caller's umask, so that the parent's default ACL, if
// any, applies as it would for the caller.
int create_as(pid_t caller, int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve) {
    return static_cast<int>(
        make_with_callers_umask(caller, [&] { return long{open_with(dirfd, path, flags, mode, resolve)}; }));
}

// The open ends here: the caller's own flags, without the O_NONBLOCK the
// supervisor opened with unless the caller asked for it too.
OpenResult settle(int fd, uint64_t flags, bool created) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        return failed(error);
    }
    const bool waits = !(flags & O_NONBLOCK);
    // A FIFO reader waits for a writer; the read end held meanwhile lets
    // a writer's open go ahead, as the waiting reader would.
    if (S_ISFIFO(status.st_mode) && (flags & O_ACCMODE) == O_RDONLY && waits) {
        return {OpenStep::blocking, 0, fd, false, flags & ~k_not_reopened};
    }
    if (waits) (void)fcntl(fd, F_SETFL, static_cast<int>(flags & ~k_o_nonblock));
    return {OpenStep::opened, 0, fd, created, 0};
}

// The caller's controlling terminal, found among the terminals by its
// device number: a pseudo-terminal by its number, any other in /dev.
bool name_terminal(dev_t terminal, char (&name)[k_path_size]) {
    const unsigned major_number = major(terminal);
    if (major_number >= 136 && major_number <= 143) {
        snprintf(name, sizeof(name), "/dev/pts/%u", (major_number - 136) * 256 + minor(terminal));
        return true;
    }
    const int devices = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (devices < 0) return false;
    bool found = false;
    alignas(8) char entries[4096];
    long got;
    while (!found && (got = syscall(SYS_getdents64, devices, entries, sizeof(entries))) > 0) {
        for (long at = 0; at < got && !found;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            if (entry->d_type != DT_CHR) continue;
            snprintf(name, sizeof(name), "/dev/%s", entry->d_name);
            struct stat status;
            found = lstat(name, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == terminal;
        }
    }
    close(devices);
    return found;
}

OpenResult open_terminal_of(pid_t caller, uint64_t flags) {
    dev_t terminal = 0;
    char name[k_path_size];
    if (!read_terminal(caller, &terminal) || terminal == 0 || !name_terminal(terminal, name)) return failed(ENXIO);
    const int fd = open_with(AT_FDCWD, name, (flags & ~k_create_flags) | O_NONBLOCK | O_NOCTTY, 0, k_no_links);
    if (fd < 0) return failed(errno);
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_rdev != terminal) {
        close(fd);
        return failed(ENXIO);
    }
    return settle(fd, flags, false);
}

// An open that failed without waiting: a FIFO without a reader and a file
// under a lease wait for them; "/dev/tty" opens the caller's terminal (the
// supervisor has none). Anything else fails as it did.
OpenResult settle_failure(int error, int dirfd, const char* path, uint64_t flags, uint64_t resolve, pid_t caller) {
    const bool waits = !(flags & O_NONBLOCK);
    if (error != ENXIO && !(error == EAGAIN && waits)) return failed(error);
    const int pin = open_with(dirfd, path, O_PATH | (flags & (O_NOFOLLOW | O_DIRECTORY)), 0, resolve);
    if (pin < 0) return failed(error);
    struct stat status;
    const bool known = fstat(pin, &status) == 0;
    const uint64_t reopen = flags & ~k_not_reopened;
    if (known && waits && (error == EAGAIN || S_ISFIFO(status.st_mode))) {
        return {OpenStep::blocking, 0, pin, false, reopen};
    }
    close(pin);
    if (known && S_ISCHR(status.st_mode) && major(status.st_rdev) == k_tty_major && minor(status.st_rdev) == 0)
        return open_terminal_of(caller, flags);
    return failed(error);
}

// Every open that is neither O_PATH nor a descriptor's: never waiting, and
// creating only with O_EXCL, so that what it made is known.
OpenResult open_object(int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve, pid_t caller) {
    const uint64_t opening = flags | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    bool created = false;
    if (flags & __O_TMPFILE) {
        fd = create_as(caller, dirfd, path, opening, mode, resolve);
    } else if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        fd = create_as(caller, dirfd, path, opening, mode, resolve);
        created = fd >= 0;
    } else {
        for (int attempt = 1;; ++attempt) {
            fd = open_with(dirfd, path, opening & ~k_o_creat, 0, resolve);
            if (fd >= 0 || errno != ENOENT || !(flags & O_CREAT) || attempt == k_create_attempts) break;
            fd = create_as(caller, dirfd, path, opening | O_EXCL, mode, resolve);
            created = fd >= 0;
            if (fd >= 0 || errno != EEXIST) break;
        }
    }
    if (fd < 0) return settle_failure(errno, dirfd, path, flags, resolve, caller);
    return settle(fd, flags, created);
}

// A descriptor reopened through its /proc link: the link, held without
// opening, must still reach what was judged.
OpenResult open_descriptor(const JudgedOpen& opened, pid_t caller) {
    const int pin = pin_descriptor(opened.targets[0]);
    if (pin < 0) return failed(errno);
    char self[32];
    name_own_descriptor(pin, self);
    const OpenResult result = open_object(AT_FDCWD, self, opened.how.flags, opened.how.mode, 0, caller);
    close(pin);
    return result;
}

// openat2's own limits on the walk (no links, not below the directory, no
// other mount) hold for the path the caller wrote: walked once more from
// its directory without opening anything, they give the error it would get.
int check_caller_walk(const JudgedOpen& opened, pid_t caller) {
    const JudgedTarget& target = opened.targets[0];
    char base[64];
    if (!name_base_directory(caller, target.dirfd, base)) return EBADF;
    const int directory = open_with(AT_FDCWD, base, O_PATH, 0, 0);
    if (directory < 0) return EBADF;
    const uint64_t flags = O_PATH | (opened.how.flags & (O_NOFOLLOW | O_DIRECTORY));
    const int fd = open_with(directory, target.written, flags, 0, opened.how.resolve & k_walk_limits);
    const int error = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    close(directory);
    return error == ENOENT && (opened.how.flags & O_CREAT) ? 0 : error;
}

// A relative path is walked from the caller's directory, whose ancestors
// the caller need not be allowed to search: the rest of the judged path is
// then walked from that directory, held without opening.
OpenResult open_from_base(const JudgedTarget& target, uint64_t mode, int base, pid_t caller, const char* path,
                          uint64_t flags, uint64_t resolve, const OpenResult& refused) {
    const size_t length = strlen(target.base);
    if (length <= 1 || strncmp(path, target.base, length) != 0 || path[length] != '/') return refused;
    const int directory = base >= 0 ? base : pin_base(target, caller);
    if (directory < 0) return refused;
    const OpenResult result = open_object(directory, path + length + 1, flags, mode, resolve, caller);
    if (base < 0) close(directory);
    return result;
}

void send_error(int listener, uint64_t id, int error) {
    seccomp_notif_resp resp;
    fill_response(id, Answer{error, false, 0, false}, &resp);
    ioctl(listener, k_ioctl_notif_send, &resp);
}

// Removes what the open created, if the path still names it.
void undo_created(const char* path, int fd) {
    struct stat made;
    struct stat now;
    if (fstat(fd, &made) == 0 && lstat(path, &now) == 0 && made.st_dev == now.st_dev && made.st_ino == now.st_ino) {
        unlink(path);
    }
}

}  // namespace

OpenerIds judge_opener_ids(const OpenEmulation& emulation, pid_t caller, Credentials* theirs) {
    if (!emulation.ids_changed.load()) return OpenerIds::own;
    if (!read_credentials(caller, theirs)) return OpenerIds::unknown;
    return is_same_access(*theirs, emulation.own) ? OpenerIds::own : OpenerIds::callers;
}

OpenResult open_judged(const JudgedOpen& opened, pid_t caller, int base) {
    if (opened.conflicting) return failed(EACCES);
    if (opened.how.resolve & k_walk_limits) {
        const int error = check_caller_walk(opened, caller);
        if (error != 0) return failed(error);
    }
    const JudgedTarget& target = opened.targets[0];
    if (target.descriptor) return open_descriptor(opened, caller);
    char view[k_path_size];
    const char* path = caller_view(target.path, caller, view);
    const uint64_t resolve = resolve_for(path);
    uint64_t flags = opened.how.flags;
    if (target.ends_at_directory) {
        if (flags & O_CREAT) return failed(EISDIR);
        flags |= O_DIRECTORY;
    }
    const OpenResult result = open_object(AT_FDCWD, path, flags, opened.how.mode, resolve, caller);
    if (result.step != OpenStep::failed || result.error != EACCES) return result;
    return open_from_base(target, opened.how.mode, base, caller, path, flags, resolve, result);
}

OpenResult reopen_waiting(int held, uint64_t flags) {
    char self[32];
    name_own_descriptor(held, self);
    const int fd = open_with(AT_FDCWD, self, flags | O_NOCTTY, 0, 0);
    if (fd < 0) return failed(errno);
    return {OpenStep::opened, 0, fd, false, 0};
}

void release_waiting_reopen(int held) {
    char self[32];
    name_own_descriptor(held, self);
    // Both ends at once never wait, and end the wait of either.
    const int fd = open_with(AT_FDCWD, self, O_RDWR | O_NONBLOCK | O_NOCTTY, 0, 0);
    if (fd >= 0) close(fd);
}

void hand_over(int listener, uint64_t id, const OpenResult& result, bool cloexec, const char* created_path) {
    if (result.step != OpenStep::opened) {
        send_error(listener, id, result.error != 0 ? result.error : EIO);
        return;
    }
    NotifAddfd add{id, k_addfd_flag_send, static_cast<uint32_t>(result.fd), 0, cloexec ? O_CLOEXEC : 0u};
    int sent;
    do {
        sent = ioctl(listener, k_ioctl_notif_addfd, &add);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        // ENOENT: the caller is gone, or a signal ended its wait and it
        // will call again. Anything else (a full descriptor table) is its
        // call's error, and the call still waits for an answer.
        if (errno != ENOENT) {
            send_error(listener, id, errno);
        } else if (result.created && created_path != nullptr) {
            undo_created(created_path, result.fd);
        }
    }
    close(result.fd);
}

bool start_open_emulation(OpenEmulation* emulation, int listener) {
    const int root = open_with(AT_FDCWD, "/", O_PATH, 0, k_no_links);
    if (root < 0) return false;
    close(root);
    // No notification has id 0 pending; a kernel that knows the flag says
    // so with ENOENT, one that does not refuses the request with EINVAL.
    NotifAddfd add{0, k_addfd_flag_send, static_cast<uint32_t>(listener), 0, 0};
    emulation->hands_over = ioctl(listener, k_ioctl_notif_addfd, &add) != 0 && errno == ENOENT;
    emulation->ids_changed.store(false);
    return read_credentials(getpid(), &emulation->own);
}
