#include "rules/ipc_rules.h"

#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace {

struct IpcDirectory {
    const char* prefix;  // with its final "/"
    NamedKind kind;
};

constexpr IpcDirectory k_directories[] = {
    {"/dev/shm/", NamedKind::shared_memory},
    {"/dev/mqueue/", NamedKind::message_queue},
};

// The commands that read an object's metadata (IPC_STAT), those without an
// object, and those that take an index into the kernel's table instead of
// an id, of each kind.
constexpr int k_shm_reports[] = {IPC_STAT, IPC_INFO, SHM_INFO, SHM_STAT, SHM_STAT_ANY};
constexpr int k_sem_reports[] = {IPC_STAT, IPC_INFO, SEM_INFO, SEM_STAT, SEM_STAT_ANY};
constexpr int k_msg_reports[] = {IPC_STAT, IPC_INFO, MSG_INFO, MSG_STAT, MSG_STAT_ANY};

template <size_t N>
bool is_among(int command, const int (&commands)[N]) {
    for (int each : commands) {
        if (command == each) return true;
    }
    return false;
}

// Older C libraries pass the 64-bit layout flag along with the command.
constexpr int k_ipc_64 = 0x100;

}  // namespace

bool name_of_ipc_path(const char* path, NamedKind* kind, char* name, size_t size) {
    for (const IpcDirectory& directory : k_directories) {
        const size_t n = strlen(directory.prefix);
        if (strncmp(path, directory.prefix, n) != 0) continue;
        const char* start = path + n;
        const size_t length = strcspn(start, "/");
        if (length == 0 || length >= size) return false;
        memcpy(name, start, length);
        name[length] = 0;
        *kind = directory.kind;
        return true;
    }
    return false;
}

ObjectRuling judge_named_object(Access access, bool made_by_tree, bool exists) {
    if (made_by_tree) return ObjectRuling::allow;
    if (exists) return ObjectRuling::refuse;
    if (access == ACCESS_WRITE || access == ACCESS_DELETE) return ObjectRuling::allow_and_record;
    return ObjectRuling::allow;
}

bool is_ipc_report_command(IpcKind kind, int command) {
    const int plain = command & ~k_ipc_64;
    switch (kind) {
    case IpcKind::shm: return is_among(plain, k_shm_reports);
    case IpcKind::sem: return is_among(plain, k_sem_reports);
    case IpcKind::msg: return is_among(plain, k_msg_reports);
    case IpcKind::none: return false;
    }
    return false;
}
