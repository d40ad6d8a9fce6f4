#include "supervisor/open_as.h"

#include <errno.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "supervisor/helper_thread.h"
#include "supervisor/judged_walk.h"

namespace {

// One open at a time: the loop hands it over and waits for the result.
struct Handoff {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    bool started = false;
    bool broken = false;
    bool pending = false;
    const JudgedOpen* judged = nullptr;
    pid_t caller = 0;
    const Credentials* theirs = nullptr;
    const Credentials* own = nullptr;
    bool taken = false;
    OpenResult result{};
};

Handoff g_handoff;

// The raw calls change this thread alone; the C library's wrappers of
// setgroups would change every thread of the supervisor.
bool set_groups(const Credentials& ids) {
    return syscall(SYS_setgroups, ids.group_count, ids.groups) == 0;
}

bool set_fs_ids(const Credentials& ids) {
    syscall(SYS_setfsgid, ids.fsgid);
    syscall(SYS_setfsuid, ids.fsuid);
    // Both calls answer the previous id; asking with -1 changes nothing.
    return static_cast<gid_t>(syscall(SYS_setfsgid, -1)) == ids.fsgid &&
           static_cast<uid_t>(syscall(SYS_setfsuid, -1)) == ids.fsuid;
}

// The effective set only: the permitted set stays, so that it can be
// raised again.
bool set_effective_caps(uint64_t effective) {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective = static_cast<uint32_t>(effective);
    data[1].effective = static_cast<uint32_t>(effective >> 32);
    return syscall(SYS_capset, &header, data) == 0;
}

// What a thread changed of its credentials, to be given back.
struct Taken {
    bool groups = false;
    bool ids = false;
    bool caps = false;
};

// Groups and ids first, while this thread still has the power to set
// them; the capabilities last.
bool take(const Credentials& ids, Taken* taken) {
    if (ids.group_count < 0 || !set_groups(ids)) return false;
    taken->groups = true;
    taken->ids = true;
    if (!set_fs_ids(ids)) return false;
    taken->caps = true;
    return set_effective_caps(ids.effective_caps);
}

// In the opposite order: the capabilities first, so that the ids and
// groups can be set again.
bool give_back(const Credentials& own, const Taken& taken) {
    return (!taken.caps || set_effective_caps(own.effective_caps)) && (!taken.ids || set_fs_ids(own)) &&
           (!taken.groups || set_groups(own));
}

bool is_confirmed(const Credentials& theirs) {
    Credentials now;
    return read_credentials(static_cast<pid_t>(syscall(SYS_gettid)), &now) && is_same_access(now, theirs);
}

void* run_opener(void*) {
    pthread_mutex_lock(&g_handoff.lock);
    for (;;) {
        while (!g_handoff.pending) pthread_cond_wait(&g_handoff.changed, &g_handoff.lock);
        // The caller's directory is taken while this thread may still look
        // into the caller: it is the caller's already.
        const int base = pin_base(g_handoff.judged->targets[0], g_handoff.caller);
        Taken changed;
        const bool taken = take(*g_handoff.theirs, &changed) && is_confirmed(*g_handoff.theirs);
        if (taken) g_handoff.result = open_judged(*g_handoff.judged, g_handoff.caller, base);
        if (base >= 0) close(base);
        g_handoff.taken = taken;
        // A thread that cannot be itself again opens nothing more.
        g_handoff.broken = !give_back(*g_handoff.own, changed);
        g_handoff.pending = false;
        pthread_cond_broadcast(&g_handoff.changed);
    }
    return nullptr;
}

}  // namespace

bool open_judged_as(const JudgedOpen& judged, pid_t caller, const Credentials& theirs, const Credentials& own,
                    OpenResult* result) {
    pthread_mutex_lock(&g_handoff.lock);
    if (!g_handoff.started) g_handoff.started = start_helper_thread(run_opener);
    bool taken = false;
    if (g_handoff.started && !g_handoff.broken) {
        g_handoff.judged = &judged;
        g_handoff.caller = caller;
        g_handoff.theirs = &theirs;
        g_handoff.own = &own;
        g_handoff.pending = true;
        pthread_cond_broadcast(&g_handoff.changed);
        while (g_handoff.pending) pthread_cond_wait(&g_handoff.changed, &g_handoff.lock);
        taken = g_handoff.taken;
        *result = g_handoff.result;
    }
    pthread_mutex_unlock(&g_handoff.lock);
    return taken;
}
