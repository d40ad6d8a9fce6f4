#include "supervisor/performed_change.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>

#include "proc/caller_state.h"
#include "supervisor/judged_walk.h"
#include "supervisor/pending_call.h"

namespace {

constexpr uint64_t k_mode_bits = 07777;
constexpr size_t k_xattr_name_max = 255;
constexpr long k_micro_per_second = 1000000;
constexpr uint32_t k_link_flags = AT_SYMLINK_FOLLOW | AT_EMPTY_PATH;

uint32_t flags_in(uint64_t arg) {
    return static_cast<uint32_t>(arg);
}

// What a change acts on: the directory that holds the operand, held without
// opening, and the operand's name in it ("/" for the root itself, which the
// kernel refuses to remove or replace as it would for the caller); for a
// call that follows the last link, the object itself, held the same way.
struct Reached {
    int parent = -1;
    int object = -1;
    char name[k_path_size];
    char self[32];  // the object's /proc link, which reaches it and nothing else
    ~Reached() {
        if (parent >= 0) close(parent);
        if (object >= 0) close(object);
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

// Holds the directory of the judged path (the followed form, or the one
// that stops at a final link) and names the operand in it.
bool open_parent(const JudgedTarget& target, const char* judged, pid_t caller, int held, Reached* out) {
    char view[k_path_size];
    const char* path = caller_view(judged, caller, view);
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        errno = ENOENT;
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
    out->parent = open_with(AT_FDCWD, parent, O_PATH | O_DIRECTORY, 0, resolve_for(parent));
    if (out->parent < 0 && errno == EACCES) out->parent = open_parent_from_base(target, caller, parent, held);
    return out->parent >= 0;
}

// Reaches an operand as it was judged. A descriptor, or a path whose last
// link the call follows, is held as the object it reached: a link found in
// its place now was put there since, and fails with ELOOP.
bool reach(const JudgedTarget& target, bool follows, pid_t caller, int held, int pinned, Reached* out) {
    if (target.descriptor) {
        out->object = pinned >= 0 ? dup(pinned) : pin_descriptor(target);
    } else if (follows) {
        // One walk from the root; through the caller's directory where an
        // ancestor may not be searched.
        char view[k_path_size];
        const char* path = caller_view(target.path, caller, view);
        const uint64_t flags = O_PATH | (target.ends_at_directory ? O_DIRECTORY : 0);
        out->object = open_with(AT_FDCWD, path, flags, 0, resolve_for(path));
        if (out->object < 0 && errno == EACCES && open_parent(target, target.path, caller, held, out)) {
            out->object = open_with(out->parent, out->name, flags, 0, resolve_for(path));
        }
    } else if (!open_parent(target, target.expected, caller, held, out)) {
        return false;
    }
    if (out->object >= 0) name_own_descriptor(out->object, out->self);
    return !follows || out->object >= 0;
}

// Whether the call acts on the object its operand names (its mode, owner,
// times, size or attributes) rather than on the name.
bool acts_on_object(ChangeForm form) {
    switch (form) {
    case ChangeForm::change_mode:
    case ChangeForm::change_mode_at:
    case ChangeForm::change_owner:
    case ChangeForm::change_owner_at:
    case ChangeForm::truncate:
    case ChangeForm::set_times:
    case ChangeForm::set_times_old:
    case ChangeForm::set_times_micro:
    case ChangeForm::set_xattr:
    case ChangeForm::remove_xattr:
    case ChangeForm::set_xattr_at:
    case ChangeForm::remove_xattr_at: return true;
    default: return false;
    }
}

bool is_link(ChangeForm form) {
    return form == ChangeForm::link || form == ChangeForm::link_at;
}

// Whether the call follows its first operand's last link. Names are made,
// removed and renamed as written; a link's source follows by its flag.
bool follows_first(const CallRow& row, const uint64_t* args, const JudgedTarget& target, int8_t after) {
    switch (row.change) {
    case ChangeForm::link_at: return (flags_in(args[4]) & AT_SYMLINK_FOLLOW) != 0;
    case ChangeForm::change_mode_at: return (flags_in(args[after + 1]) & AT_SYMLINK_NOFOLLOW) == 0;
    default: return acts_on_object(row.change) && target.followed;
    }
}

// An attribute's path for the l*xattr calls, which have no "at" form
// before 6.13: the held directory's /proc link, then the name.
bool name_in_parent(const Reached& reached, char (&out)[k_path_size + 32]) {
    const int length = snprintf(out, sizeof(out), "/proc/self/fd/%d/%s", reached.parent, reached.name);
    return length > 0 && static_cast<size_t>(length) < sizeof(out);
}

Answer link_object(const CallRow& row, const uint64_t* args, const JudgedTarget& source, const Reached& from,
                   const Reached& to) {
    const uint32_t flags = row.change == ChangeForm::link_at ? flags_in(args[4]) : 0;
    if ((flags & ~k_link_flags) != 0) return answer_error(EINVAL);
    if (source.descriptor) {
        // The empty path links the descriptor itself; a /proc link is a
        // link on another mount unless it is followed.
        if ((flags & AT_EMPTY_PATH) != 0)
            return answer_of_result(linkat(from.object, "", to.parent, to.name, AT_EMPTY_PATH));
        if ((flags & AT_SYMLINK_FOLLOW) == 0) return answer_error(EXDEV);
    }
    if (from.object >= 0) return answer_of_result(linkat(AT_FDCWD, from.self, to.parent, to.name, AT_SYMLINK_FOLLOW));
    return answer_of_result(linkat(from.parent, from.name, to.parent, to.name, 0));
}

Answer set_attribute(const CallRow& row, const uint64_t* args, const Reached& at, const ChangeInputs& inputs) {
    const void* value = inputs.value;
    switch (row.change) {
    case ChangeForm::set_xattr: {
        const int flags = static_cast<int>(flags_in(args[4]));
        if (at.object >= 0) return answer_of_result(setxattr(at.self, inputs.text, value, inputs.value_size, flags));
        char path[k_path_size + 32];
        if (!name_in_parent(at, path)) return answer_error(ENAMETOOLONG);
        return answer_of_result(lsetxattr(path, inputs.text, value, inputs.value_size, flags));
    }
    case ChangeForm::remove_xattr: {
        if (at.object >= 0) return answer_of_result(removexattr(at.self, inputs.text));
        char path[k_path_size + 32];
        if (!name_in_parent(at, path)) return answer_error(ENAMETOOLONG);
        return answer_of_result(lremovexattr(path, inputs.text));
    }
    case ChangeForm::set_xattr_at: {
        XattrArgs own = inputs.xattr;
        own.value = reinterpret_cast<uintptr_t>(value);
        const uint32_t flags = flags_in(args[2]) & ~static_cast<uint32_t>(AT_EMPTY_PATH);
        if (at.object >= 0)
            return answer_of_result(syscall(k_nr_setxattrat, AT_FDCWD, at.self, flags, inputs.text, &own, sizeof(own)));
        return answer_of_result(syscall(k_nr_setxattrat, at.parent, at.name, flags, inputs.text, &own, sizeof(own)));
    }
    case ChangeForm::remove_xattr_at: {
        const uint32_t flags = flags_in(args[2]) & ~static_cast<uint32_t>(AT_EMPTY_PATH);
        if (at.object >= 0) return answer_of_result(syscall(k_nr_removexattrat, AT_FDCWD, at.self, flags, inputs.text));
        return answer_of_result(syscall(k_nr_removexattrat, at.parent, at.name, flags, inputs.text));
    }
    default: return answer_error(EPERM);
    }
}

// fchmodat2 with AT_EMPTY_PATH (6.6) changes the held object without a
// walk through /proc; before it, the held object's /proc link is walked.
long change_mode_of(const Reached& at, mode_t mode) {
    static std::atomic<bool> has_empty_path{true};
    if (has_empty_path.load(std::memory_order_relaxed)) {
        const long result = syscall(k_nr_fchmodat2, at.object, "", mode, AT_EMPTY_PATH);
        if (result == 0 || (errno != ENOSYS && errno != EINVAL)) return result;
        has_empty_path.store(false, std::memory_order_relaxed);
    }
    return chmod(at.self, mode);
}

// Acts on the one operand the call names, as reached.
Answer change_one(const CallRow& row, const uint64_t* args, int8_t after, pid_t caller, const Reached& at,
                  const ChangeInputs& inputs) {
    const timespec* times = inputs.has_times ? inputs.times : nullptr;
    switch (row.change) {
    case ChangeForm::make_directory:
        return answer_of_result(make_with_callers_umask(
            caller, [&] { return mkdirat(at.parent, at.name, static_cast<mode_t>(args[after] & k_mode_bits)); }));
    case ChangeForm::make_node:
        return answer_of_result(make_with_callers_umask(caller, [&] {
            return mknodat(at.parent, at.name, static_cast<mode_t>(args[after]), static_cast<dev_t>(args[after + 1]));
        }));
    case ChangeForm::remove_at:
        return answer_of_result(unlinkat(at.parent, at.name, static_cast<int>(flags_in(args[after]))));
    case ChangeForm::remove_file: return answer_of_result(unlinkat(at.parent, at.name, 0));
    case ChangeForm::remove_directory: return answer_of_result(unlinkat(at.parent, at.name, AT_REMOVEDIR));
    case ChangeForm::symlink: return answer_of_result(symlinkat(inputs.text, at.parent, at.name));
    case ChangeForm::change_mode: return answer_of_result(change_mode_of(at, static_cast<mode_t>(args[after])));
    case ChangeForm::change_mode_at: {
        const char* name = at.object >= 0 ? at.self : at.name;
        const int dirfd = at.object >= 0 ? AT_FDCWD : at.parent;
        return answer_of_result(syscall(k_nr_fchmodat2, dirfd, name, args[after], flags_in(args[after + 1])));
    }
    case ChangeForm::change_owner:
    case ChangeForm::change_owner_at: {
        const uid_t user = static_cast<uid_t>(args[after]);
        const gid_t group = static_cast<gid_t>(args[after + 1]);
        const uint32_t flags = row.change == ChangeForm::change_owner_at ? flags_in(args[after + 2]) : 0;
        if (at.object >= 0) {
            const uint32_t own = (flags & ~static_cast<uint32_t>(AT_SYMLINK_NOFOLLOW)) | AT_EMPTY_PATH;
            return answer_of_result(fchownat(at.object, "", user, group, static_cast<int>(own)));
        }
        return answer_of_result(
            fchownat(at.parent, at.name, user, group, static_cast<int>(flags | AT_SYMLINK_NOFOLLOW)));
    }
    case ChangeForm::truncate: return answer_of_result(truncate(at.self, static_cast<off_t>(args[after])));
    case ChangeForm::set_times:
    case ChangeForm::set_times_old:
    case ChangeForm::set_times_micro: {
        const uint32_t flags = row.change == ChangeForm::set_times ? flags_in(args[3]) : 0;
        if (at.object >= 0) {
            const uint32_t own = flags & ~static_cast<uint32_t>(AT_SYMLINK_NOFOLLOW);
            return answer_of_result(utimensat(AT_FDCWD, at.self, times, static_cast<int>(own)));
        }
        return answer_of_result(utimensat(at.parent, at.name, times, static_cast<int>(flags)));
    }
    default: return set_attribute(row, args, at, inputs);
    }
}

bool read_times(ChangeForm form, pid_t caller, uint64_t address, ChangeInputs* inputs) {
    if (address == 0) return true;
    switch (form) {
    case ChangeForm::set_times:
        if (!read_tracee_mem(caller, address, inputs->times, sizeof(inputs->times))) return false;
        break;
    case ChangeForm::set_times_old: {
        utimbuf old;
        if (!read_tracee_mem(caller, address, &old, sizeof(old))) return false;
        inputs->times[0] = {old.actime, 0};
        inputs->times[1] = {old.modtime, 0};
        break;
    }
    default: {
        timeval micro[2];
        if (!read_tracee_mem(caller, address, micro, sizeof(micro))) return false;
        for (int i = 0; i < 2; ++i) {
            if (micro[i].tv_usec < 0 || micro[i].tv_usec >= k_micro_per_second) {
                inputs->error = EINVAL;
                return true;
            }
            inputs->times[i] = {micro[i].tv_sec, micro[i].tv_usec * 1000};
        }
    }
    }
    inputs->has_times = true;
    return true;
}

// setxattrat's struct: a larger one is taken if what it adds is zero.
int read_xattr_args(pid_t caller, uint64_t address, uint64_t size, ChangeInputs* inputs) {
    if (size < k_xattr_args_size) return EINVAL;
    if (size > sizeof(inputs->value)) return E2BIG;
    if (!read_tracee_mem(caller, address, inputs->value, size)) return EFAULT;
    for (size_t i = k_xattr_args_size; i < size; ++i) {
        if (inputs->value[i] != 0) return E2BIG;
    }
    memcpy(&inputs->xattr, inputs->value, sizeof(inputs->xattr));
    return 0;
}

// An attribute's name and value, as the kernel copies them.
int read_attribute(const CallRow& row, const uint64_t* args, int8_t after, pid_t caller, ChangeInputs* inputs) {
    const bool at_form = row.change == ChangeForm::set_xattr_at || row.change == ChangeForm::remove_xattr_at;
    const uint64_t name = args[at_form ? 3 : after];
    if (!copy_tracee_path(caller, name, inputs->text)) return EFAULT;
    const size_t length = strlen(inputs->text);
    if (length == 0 || length > k_xattr_name_max) return ERANGE;
    uint64_t value = 0;
    if (row.change == ChangeForm::set_xattr) {
        value = args[after + 1];
        inputs->value_size = args[after + 2];
    } else if (row.change == ChangeForm::set_xattr_at) {
        const int error = read_xattr_args(caller, args[4], args[5], inputs);
        if (error != 0) return error;
        value = inputs->xattr.value;
        inputs->value_size = inputs->xattr.size;
        inputs->xattr.size = static_cast<uint32_t>(inputs->value_size);
    } else {
        return 0;
    }
    if (inputs->value_size > sizeof(inputs->value)) return E2BIG;
    if (inputs->value_size > 0 && !read_tracee_mem(caller, value, inputs->value, inputs->value_size)) return EFAULT;
    return 0;
}

}  // namespace

void read_change_inputs(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                        bool hold_bases, ChangeInputs* inputs) {
    for (int i = 0; i < 2 && hold_bases && i < judged.count; ++i) {
        const JudgedTarget& target = judged.targets[i];
        if (target.descriptor) {
            inputs->pins[i] = pin_descriptor(target);
        } else {
            inputs->bases[i] = pin_base(target, caller);
        }
    }
    const int8_t after = static_cast<int8_t>(row.paths[0].path + 1);
    // A null path names the descriptor, but not the working directory.
    const PathArg& first = row.paths[0];
    if (first.null_acts_on_dirfd && args[first.path] == 0 &&
        static_cast<int>(flags_in(args[first.dirfd])) == AT_FDCWD) {
        inputs->error = EFAULT;
        return;
    }
    switch (row.change) {
    case ChangeForm::symlink:
        // The text the link will hold, read once; it is not judged.
        if (!copy_tracee_path(caller, args[0], inputs->text)) inputs->error = EFAULT;
        break;
    case ChangeForm::set_times:
    case ChangeForm::set_times_old:
    case ChangeForm::set_times_micro:
        if (!read_times(row.change, caller, args[after], inputs)) inputs->error = EFAULT;
        break;
    case ChangeForm::set_xattr:
    case ChangeForm::remove_xattr:
    case ChangeForm::set_xattr_at:
    case ChangeForm::remove_xattr_at: inputs->error = read_attribute(row, args, after, caller, inputs); break;
    default: break;
    }
}

void release_change_inputs(ChangeInputs* inputs) {
    for (int i = 0; i < 2; ++i) {
        if (inputs->bases[i] >= 0) close(inputs->bases[i]);
        if (inputs->pins[i] >= 0) close(inputs->pins[i]);
        inputs->bases[i] = -1;
        inputs->pins[i] = -1;
    }
}

Answer perform_change(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                      const ChangeInputs& inputs) {
    if (judged.conflicting) return answer_error(EACCES);
    if (inputs.error != 0) return answer_error(inputs.error);
    const bool two = row.change == ChangeForm::rename || row.change == ChangeForm::rename_flags || is_link(row.change);
    if (judged.count < (two ? 2 : 1)) return answer_error(EACCES);
    const JudgedTarget& source = judged.targets[0];
    // A /proc descriptor link is a name only to the calls that act on the
    // object or link it; making, removing or renaming it fails as it would.
    const bool creates = row.change == ChangeForm::make_directory || row.change == ChangeForm::make_node ||
                         row.change == ChangeForm::symlink;
    if (source.descriptor && !acts_on_object(row.change) && !is_link(row.change)) {
        return answer_error(creates ? EEXIST : EXDEV);
    }
    if (two && judged.targets[1].descriptor) return answer_error(EEXIST);
    const int8_t after = static_cast<int8_t>(row.paths[0].path + 1);
    Reached first;
    if (!reach(source, follows_first(row, args, source, after), caller, inputs.bases[0], inputs.pins[0], &first))
        return answer_error(errno);
    if (!two) return change_one(row, args, after, caller, first, inputs);
    Reached second;
    if (!reach(judged.targets[1], false, caller, inputs.bases[1], inputs.pins[1], &second)) return answer_error(errno);
    if (is_link(row.change)) return link_object(row, args, source, first, second);
    const unsigned flags = row.change == ChangeForm::rename_flags ? flags_in(args[row.paths[1].path + 1]) : 0;
    return answer_of_result(syscall(SYS_renameat2, first.parent, first.name, second.parent, second.name, flags));
}
