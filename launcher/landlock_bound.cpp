#include "launcher/landlock_bound.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "rules/kernel_bound.h"

namespace {

constexpr uint64_t k_make_all = k_landlock_make_char | k_landlock_make_dir | k_landlock_make_reg |
                                k_landlock_make_sock | k_landlock_make_fifo | k_landlock_make_block |
                                k_landlock_make_sym;
// What a rule on a file (not a directory) may grant.
constexpr uint64_t k_file_rights =
    k_landlock_execute | k_landlock_write_file | k_landlock_read_file | k_landlock_truncate | k_landlock_ioctl_dev;
constexpr int k_first_abi = 2;
constexpr int k_scopes_abi = 6;

// The rights the running kernel's version knows.
uint64_t handled_rights(int abi) {
    uint64_t rights = k_landlock_execute | k_landlock_write_file | k_landlock_read_file | k_landlock_read_dir |
                      k_landlock_remove_dir | k_landlock_remove_file | k_make_all;
    if (abi >= 2) rights |= k_landlock_refer;
    if (abi >= 3) rights |= k_landlock_truncate;
    if (abi >= 5) rights |= k_landlock_ioctl_dev;
    return rights;
}

// A device's ioctls go with reading it, so that a device the policy shows
// keeps working; only terminals are named for it.
uint64_t rights_of(BoundRights rights, uint64_t handled) {
    constexpr uint64_t read = k_landlock_execute | k_landlock_read_file | k_landlock_read_dir | k_landlock_ioctl_dev;
    constexpr uint64_t device =
        k_landlock_read_file | k_landlock_write_file | k_landlock_truncate | k_landlock_ioctl_dev;
    switch (rights) {
    case BoundRights::read_exec:
    case BoundRights::read_exec_except: return read & handled;
    case BoundRights::write: return handled;
    case BoundRights::device:
    case BoundRights::terminal: return device & handled;
    }
    return 0;
}

bool add_rule(int ruleset, int fd, uint64_t rights) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    if (!S_ISDIR(status.st_mode)) rights &= k_file_rights;
    if (rights == 0) return true;
    LandlockPathBeneathAttr beneath{rights, fd};
    return syscall(k_nr_landlock_add_rule, ruleset, k_landlock_rule_path_beneath, &beneath, 0) == 0 ||
           errno == EBADFD;  // a pipe or a socket: not the bound's to judge
}

// A path that does not exist now cannot carry a rule: it is left out.
bool add_path_rule(int ruleset, const char* path, uint64_t rights) {
    const int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP;
    const bool added = add_rule(ruleset, fd, rights);
    close(fd);
    return added;
}

// A writable tree that does not exist yet is made by the tree, in the
// nearest directory that does: the rule goes there, wider than the policy,
// which the supervisor still applies.
bool add_write_rule(int ruleset, const char* path, uint64_t rights) {
    char existing[k_path_size];
    const size_t length = strlen(path);
    if (length >= sizeof(existing)) return true;
    memcpy(existing, path, length + 1);
    for (;;) {
        const int fd = open(existing, O_PATH | O_CLOEXEC);
        if (fd >= 0) {
            const bool added = add_rule(ruleset, fd, rights);
            close(fd);
            return added;
        }
        if (errno != ENOENT) return errno == ENOTDIR || errno == EACCES || errno == ELOOP;
        char* slash = strrchr(existing, '/');
        if (slash == nullptr || existing[1] == 0) return true;
        slash[slash == existing ? 1 : 0] = 0;
    }
}

// Everything outside hidden: every entry beside each directory on the way
// down to it, and the listing of those directories (which reaches no file's
// contents, and which the supervisor still judges below hidden).
bool add_outside(int ruleset, const char* hidden, uint64_t rights, uint64_t handled) {
    char above[k_path_size];
    size_t at = 1;
    for (;;) {
        const char* next = strchr(hidden + at, '/');
        const size_t end = next == nullptr ? strlen(hidden) : static_cast<size_t>(next - hidden);
        memcpy(above, hidden, at);
        above[at] = 0;
        if (!add_path_rule(ruleset, above, k_landlock_read_dir & handled)) return false;
        const int dir = open(above, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return errno == ENOENT || errno == EACCES;
        DIR* listing = fdopendir(dir);
        if (listing == nullptr) {
            close(dir);
            return false;
        }
        const size_t name_length = end - at;
        bool added = true;
        while (dirent* entry = readdir(listing)) {
            const char* name = entry->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            if (strlen(name) == name_length && strncmp(name, hidden + at, name_length) == 0) continue;
            const int fd = openat(dirfd(listing), name, O_PATH | O_CLOEXEC);
            if (fd < 0) continue;
            added = add_rule(ruleset, fd, rights) && added;
            close(fd);
        }
        closedir(listing);
        if (!added || next == nullptr) return added;
        at = end + 1;
    }
}

// The command's own descriptors: what it may write through /dev/stdout is
// what it was given, wherever that file lies.
bool add_descriptor_rules(int ruleset, const KeptDescriptors& kept, uint64_t handled) {
    for (size_t i = 0; i < kept.count + 3; ++i) {
        const int fd = i < 3 ? static_cast<int>(i) : kept.fds[i - 3];
        const int flags = fcntl(fd, F_GETFL);
        struct stat status;
        if (flags < 0 || fstat(fd, &status) != 0) continue;
        if (!S_ISREG(status.st_mode) && !S_ISCHR(status.st_mode)) continue;
        uint64_t rights = k_landlock_read_file | k_landlock_ioctl_dev;
        if ((flags & O_ACCMODE) != O_RDONLY) rights |= k_landlock_write_file | k_landlock_truncate;
        if (!add_rule(ruleset, fd, rights & handled)) return false;
    }
    return true;
}

// POSIX message queues are opened on the kernel's own mount of their file
// system, which Landlock judges like any other: the bound needs a rule on
// its root. /dev/mqueue is that root where it is mounted; elsewhere root can
// reach it through a mount that is never attached. false: no rule can be
// made, and the bound would refuse every queue the policy allows.
bool add_queue_rule(int ruleset, uint64_t rights) {
    int root = open("/dev/mqueue", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        const long context = syscall(k_nr_fsopen, "mqueue", 1 /* FSOPEN_CLOEXEC */);
        if (context < 0) return false;
        const int fs = static_cast<int>(context);
        if (syscall(k_nr_fsconfig, fs, k_fsconfig_cmd_create, nullptr, nullptr, 0) == 0) {
            root = static_cast<int>(syscall(k_nr_fsmount, fs, 1 /* FSMOUNT_CLOEXEC */, 0));
        }
        close(fs);
        if (root < 0) return false;
    }
    const bool added = add_rule(ruleset, root, rights);
    close(root);
    return added;
}

}  // namespace

KernelBound prepare_kernel_bound(const Policy& policy, const KeptDescriptors& kept) {
    KernelBound bound;
    const long abi = syscall(k_nr_landlock_create_ruleset, nullptr, 0, k_landlock_create_ruleset_version);
    // ENOSYS, EOPNOTSUPP (not enabled) and EPERM (a container profile) all
    // mean the same: the run goes without.
    if (abi < k_first_abi) return bound;
    bound.abi = static_cast<int>(abi);
    const uint64_t handled = handled_rights(bound.abi);
    LandlockRulesetAttr attributes{handled, 0, 0};
    if (abi >= k_scopes_abi) attributes.scoped = k_landlock_scope_abstract_unix_socket | k_landlock_scope_signal;
    const long ruleset = syscall(k_nr_landlock_create_ruleset, &attributes, sizeof(attributes), 0);
    if (ruleset < 0) return bound;
    const int fd = static_cast<int>(ruleset);
    static BoundEntry entries[k_bound_entries_max];
    static char pattern_dirs[k_bound_entries_max][k_path_size];
    const long count = build_bound(policy, entries, k_bound_entries_max, pattern_dirs, k_bound_entries_max);
    constexpr uint64_t queues = k_landlock_read_file | k_landlock_write_file | k_landlock_make_reg |
                                k_landlock_remove_file | k_landlock_read_dir;
    bool built = count >= 0 && add_descriptor_rules(fd, kept, handled) && add_queue_rule(fd, queues & handled);
    for (long i = 0; built && i < count; ++i) {
        const uint64_t rights = rights_of(entries[i].rights, handled);
        switch (entries[i].rights) {
        case BoundRights::read_exec_except: built = add_outside(fd, entries[i].path, rights, handled); break;
        case BoundRights::write: built = add_write_rule(fd, entries[i].path, rights); break;
        default: built = add_path_rule(fd, entries[i].path, rights); break;
        }
    }
    if (!built) {
        close(fd);
        return bound;
    }
    bound.ruleset = fd;
    return bound;
}

bool enter_kernel_bound(int ruleset) {
    return syscall(k_nr_landlock_restrict_self, ruleset, 0) == 0;
}
