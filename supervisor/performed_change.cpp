#include "supervisor/performed_change.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "proc/caller_state.h"
#include "supervisor/judged_walk.h"
#include "supervisor/pending_call.h"

namespace {

constexpr uint64_t k_mode_bits = 07777;

Answer failed(int error) {
    return Answer{error, false, 0, false};
}

// The directory that holds an operand, held without opening, and the
// operand's name in it ("/" for the root itself, which the kernel refuses
// to remove or replace as it would for the caller).
struct Parent {
    int fd = -1;
    char name[k_path_size];
    ~Parent() {
        if (fd >= 0) close(fd);
    }
};

// A relative path is walked from the caller's directory, whose ancestors
// the caller need not be allowed to search.
int open_parent_from_base(const JudgedTarget& target, pid_t caller, const char* parent, int held) {
    const size_t length = strlen(target.base);
    if (length <= 1 || strncmp(parent, target.base, length) != 0) return -1;
    if (parent[length] != 0 && parent[length] != '/') return -1;
    const int base = held >= 0 ? held : pin_base(target, caller);
    if (base < 0) return -1;
    const int fd = parent[length] == 0
                       ? dup(base)
                       : open_with(base, parent + length + 1, O_PATH | O_DIRECTORY, 0, resolve_for(parent));
    if (held < 0) close(base);
    return fd;
}

bool open_parent(const JudgedTarget& target, pid_t caller, int held, Parent* out, int* error) {
    char view[k_path_size];
    const char* path = caller_view(target.path, caller, view);
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        *error = ENOENT;
        return false;
    }
    char parent[k_path_size];
    if (slash == path) {
        memcpy(parent, "/", 2);
    } else {
        memcpy(parent, path, static_cast<size_t>(slash - path));
        parent[slash - path] = 0;
    }
    // A trailing "/" asks for a directory: the kernel checks it on the name.
    if (slash[1] == 0) {
        memcpy(out->name, "/", 2);
    } else {
        const size_t length = strlen(slash + 1);
        memcpy(out->name, slash + 1, length);
        memcpy(out->name + length, target.ends_at_directory ? "/" : "", target.ends_at_directory ? 2 : 1);
    }
    out->fd = open_with(AT_FDCWD, parent, O_PATH | O_DIRECTORY, 0, resolve_for(parent));
    if (out->fd < 0 && errno == EACCES) out->fd = open_parent_from_base(target, caller, parent, held);
    if (out->fd < 0) *error = errno;
    return out->fd >= 0;
}

// Made under the caller's umask, so that a default ACL applies as it would
// for the caller.
long make_as(pid_t caller, long (*make)(const Parent&, uint64_t), const Parent& parent, uint64_t mode) {
    mode_t mask = 0;
    if (!read_umask(caller, &mask)) return -1;
    const mode_t previous = umask(mask);
    const long result = make(parent, mode);
    const int error = errno;
    umask(previous);
    errno = error;
    return result;
}

long make_directory(const Parent& parent, uint64_t mode) {
    return mkdirat(parent.fd, parent.name, static_cast<mode_t>(mode));
}

Answer answer_of(long result) {
    return result < 0 ? failed(errno) : Answer{0, true, 0, false};
}

}  // namespace

void read_change_inputs(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                        ChangeInputs* inputs) {
    for (int i = 0; i < 2; ++i) inputs->bases[i] = i < judged.count ? pin_base(judged.targets[i], caller) : -1;
    inputs->has_text = row.change == ChangeForm::symlink && copy_tracee_path(caller, args[0], inputs->text);
}

Answer perform_change(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                      const ChangeInputs* inputs) {
    if (judged.conflicting) return failed(EACCES);
    const int operands = row.change == ChangeForm::rename || row.change == ChangeForm::rename_flags ? 2 : 1;
    if (judged.count < operands) return failed(EACCES);
    Parent first;
    Parent second;
    int error = 0;
    const int held[2] = {inputs != nullptr ? inputs->bases[0] : -1, inputs != nullptr ? inputs->bases[1] : -1};
    if (!open_parent(judged.targets[0], caller, held[0], &first, &error)) return failed(error);
    if (operands == 2 && !open_parent(judged.targets[1], caller, held[1], &second, &error)) return failed(error);
    const int8_t after_first = static_cast<int8_t>(row.paths[0].path + 1);
    switch (row.change) {
    case ChangeForm::none: break;
    case ChangeForm::make_directory:
        return answer_of(make_as(caller, make_directory, first, args[after_first] & k_mode_bits));
    case ChangeForm::remove_at:
        return answer_of(unlinkat(first.fd, first.name, static_cast<int>(static_cast<uint32_t>(args[after_first]))));
    case ChangeForm::remove_file: return answer_of(unlinkat(first.fd, first.name, 0));
    case ChangeForm::remove_directory: return answer_of(unlinkat(first.fd, first.name, AT_REMOVEDIR));
    case ChangeForm::rename:
    case ChangeForm::rename_flags: {
        const unsigned flags =
            row.change == ChangeForm::rename_flags ? static_cast<uint32_t>(args[row.paths[1].path + 1]) : 0;
        return answer_of(syscall(SYS_renameat2, first.fd, first.name, second.fd, second.name, flags));
    }
    case ChangeForm::symlink: {
        // The text the link will hold, read once; it is not judged.
        if (inputs != nullptr)
            return inputs->has_text ? answer_of(symlinkat(inputs->text, first.fd, first.name)) : failed(EFAULT);
        char text[k_path_size];
        if (!copy_tracee_path(caller, args[0], text)) return failed(EFAULT);
        return answer_of(symlinkat(text, first.fd, first.name));
    }
    }
    return failed(EPERM);
}
