#include "supervisor/open_as.h"

#include <errno.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "supervisor/helper_thread.h"
#include "supervisor/judged_walk.h"
#include "supervisor/performed_change.h"

namespace {

// Work for the thread: prepared with the supervisor's own credentials (what
// the caller holds already, such as its directory), then run with the
// caller's.
struct CallerWork {
    void (*prepare)(CallerWork* work);
    void (*run)(CallerWork* work);
    void (*finish)(CallerWork* work);
    const Credentials* theirs = nullptr;
    const Credentials* own = nullptr;
    bool taken = false;
    bool done = false;
};

// One call at a time: a judging thread hands it over once the thread is
// free, and waits for its own work to be done.
struct Handoff {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    bool started = false;
    bool broken = false;
    CallerWork* work = nullptr;  // handed over, not yet done
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
    // Its umask is set for each caller's creations.
    (void)take_own_umask();
    pthread_mutex_lock(&g_handoff.lock);
    for (;;) {
        while (g_handoff.work == nullptr) pthread_cond_wait(&g_handoff.changed, &g_handoff.lock);
        CallerWork* work = g_handoff.work;
        work->prepare(work);
        Taken changed;
        const bool taken = take(*work->theirs, &changed) && is_confirmed(*work->theirs);
        if (taken) work->run(work);
        work->finish(work);
        work->taken = taken;
        // A thread that cannot be itself again carries out nothing more.
        g_handoff.broken = !give_back(*work->own, changed);
        work->done = true;
        g_handoff.work = nullptr;
        pthread_cond_broadcast(&g_handoff.changed);
    }
    return nullptr;
}

bool run_as(CallerWork* work, const Credentials& theirs, const Credentials& own) {
    work->theirs = &theirs;
    work->own = &own;
    pthread_mutex_lock(&g_handoff.lock);
    if (!g_handoff.started) g_handoff.started = start_helper_thread(run_opener);
    while (g_handoff.started && !g_handoff.broken && g_handoff.work != nullptr) {
        pthread_cond_wait(&g_handoff.changed, &g_handoff.lock);
    }
    bool taken = false;
    if (g_handoff.started && !g_handoff.broken) {
        g_handoff.work = work;
        pthread_cond_broadcast(&g_handoff.changed);
        while (!work->done) pthread_cond_wait(&g_handoff.changed, &g_handoff.lock);
        taken = work->taken;
    }
    pthread_mutex_unlock(&g_handoff.lock);
    return taken;
}

struct OpenWork : CallerWork {
    const JudgedOpen* judged;
    pid_t caller;
    int base;
    OpenResult result;
};

struct ChangeWork : CallerWork {
    const CallRow* row;
    const uint64_t* args;
    const JudgedOpen* judged;
    pid_t caller;
    ChangeInputs inputs;
    Answer answer;
};

}  // namespace

bool open_judged_as(const JudgedOpen& judged, pid_t caller, const Credentials& theirs, const Credentials& own,
                    OpenResult* result) {
    OpenWork work;
    work.prepare = [](CallerWork* w) {
        OpenWork* self = static_cast<OpenWork*>(w);
        self->base = pin_base(self->judged->targets[0], self->caller);
    };
    work.run = [](CallerWork* w) {
        OpenWork* self = static_cast<OpenWork*>(w);
        self->result = open_judged(*self->judged, self->caller, self->base);
    };
    work.finish = [](CallerWork* w) {
        OpenWork* self = static_cast<OpenWork*>(w);
        if (self->base >= 0) close(self->base);
    };
    work.judged = &judged;
    work.caller = caller;
    work.base = -1;
    if (!run_as(&work, theirs, own)) return false;
    *result = work.result;
    return true;
}

bool perform_change_as(const CallRow& row, const uint64_t* args, const JudgedOpen& judged, pid_t caller,
                       const Credentials& theirs, const Credentials& own, Answer* answer) {
    ChangeWork work;
    work.prepare = [](CallerWork* w) {
        ChangeWork* self = static_cast<ChangeWork*>(w);
        read_change_inputs(*self->row, self->args, *self->judged, self->caller, true, &self->inputs);
    };
    work.run = [](CallerWork* w) {
        ChangeWork* self = static_cast<ChangeWork*>(w);
        self->answer = perform_change(*self->row, self->args, *self->judged, self->caller, self->inputs);
    };
    work.finish = [](CallerWork* w) { release_change_inputs(&static_cast<ChangeWork*>(w)->inputs); };
    work.row = &row;
    work.args = args;
    work.judged = &judged;
    work.caller = caller;
    if (!run_as(&work, theirs, own)) return false;
    *answer = work.answer;
    return true;
}
