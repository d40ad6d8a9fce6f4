#include "supervisor/tree_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool does_id_exist(IpcKind kind, int id) {
    // IPC_STAT on an id that was removed fails with EINVAL or EIDRM; one the
    // supervisor may not read still exists.
    long result = -1;
    switch (kind) {
    case IpcKind::shm: {
        shmid_ds status;
        result = shmctl(id, IPC_STAT, &status);
        break;
    }
    case IpcKind::sem: {
        semid_ds status;
        result = semctl(id, 0, IPC_STAT, &status);
        break;
    }
    case IpcKind::msg: {
        msqid_ds status;
        result = msgctl(id, IPC_STAT, &status);
        break;
    }
    case IpcKind::none: return false;
    }
    return result == 0 || (errno != EINVAL && errno != EIDRM);
}

// Held while the record is read or changed: the judging threads share it,
// and only calls on inter-process objects take it.
class RecordLock {
public:
    explicit RecordLock(const TreeObjects& made) : lock_(&made.lock) { pthread_mutex_lock(lock_); }
    ~RecordLock() { pthread_mutex_unlock(lock_); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    pthread_mutex_t* lock_;
};

bool has_id(const TreeObjects& made, IpcKind kind, int id) {
    for (size_t i = 0; i < made.id_count; ++i) {
        if (made.ids[i].kind == kind && made.ids[i].id == id) return true;
    }
    return false;
}

bool has_name(const TreeObjects& made, NamedKind kind, const char* name) {
    for (size_t i = 0; i < made.name_count; ++i) {
        if (made.names[i].kind == kind && strcmp(made.names[i].text, name) == 0) return true;
    }
    return false;
}

}  // namespace

bool has_tree_id(const TreeObjects& made, IpcKind kind, int id) {
    const RecordLock held(made);
    return has_id(made, kind, id);
}

bool record_tree_id(TreeObjects* made, IpcKind kind, int id) {
    const RecordLock held(*made);
    if (has_id(*made, kind, id)) return true;
    if (made->id_count == k_max_tree_ids) {
        size_t kept = 0;
        for (size_t i = 0; i < made->id_count; ++i) {
            if (does_id_exist(made->ids[i].kind, made->ids[i].id)) made->ids[kept++] = made->ids[i];
        }
        made->id_count = kept;
        if (kept == k_max_tree_ids) return false;
    }
    made->ids[made->id_count++] = {kind, id};
    return true;
}

bool has_tree_name(const TreeObjects& made, NamedKind kind, const char* name) {
    const RecordLock held(made);
    return has_name(made, kind, name);
}

bool record_tree_name(TreeObjects* made, NamedKind kind, const char* name) {
    const RecordLock held(*made);
    if (has_name(*made, kind, name)) return true;
    const size_t length = strlen(name);
    if (length >= k_tree_name_size) return false;
    if (made->name_count == k_max_tree_names) {
        size_t kept = 0;
        for (size_t i = 0; i < made->name_count; ++i) {
            if (!does_named_object_exist(made->names[i].kind, made->names[i].text)) continue;
            if (kept != i) made->names[kept] = made->names[i];
            ++kept;
        }
        made->name_count = kept;
        if (kept == k_max_tree_names) return false;
    }
    TreeObjects::Name& entry = made->names[made->name_count++];
    entry.kind = kind;
    memcpy(entry.text, name, length + 1);
    return true;
}

bool does_named_object_exist(NamedKind kind, const char* name) {
    if (kind == NamedKind::shared_memory) {
        char path[k_tree_name_size + 16];
        snprintf(path, sizeof(path), "/dev/shm/%s", name);
        struct stat status;
        return lstat(path, &status) == 0 || errno != ENOENT;
    }
    // /dev/mqueue need not be mounted: opening the queue tells.
    long fd;
    do {
        fd = syscall(SYS_mq_open, name, O_RDONLY | O_CLOEXEC, 0, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return true;
    }
    return errno != ENOENT;
}
