#include "supervisor/open_workers.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "base/kernel_abi.h"
#include "supervisor/emulated_open.h"
#include "supervisor/helper_thread.h"
#include "supervisor/performed_socket.h"
#include "supervisor/response.h"

namespace {

constexpr int k_slot_count = 64;
constexpr int k_thread_limit = 16;

enum class SlotState : uint8_t { free, queued, running };

struct Slot {
    SlotState state;
    bool is_socket;
    WaitingOpen job;
    SocketJob socket_job;
};

// Shared by the loop and the workers, only under the lock. A job's held
// descriptor is closed under it too, so the loop never opens a number that
// has been reused.
struct Pool {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t queued = PTHREAD_COND_INITIALIZER;
    Slot slots[k_slot_count] = {};
    int threads = 0;
    int idle = 0;
    // Changed under the lock; read without it, once per turn of the loop.
    std::atomic<int> outstanding{0};
    int listener = -1;
    int wake = -1;  // told of each queued job, when the one who tends them is not the one who queues
};

Pool g_pool;

bool is_pending(int listener, uint64_t id) {
    return ioctl(listener, k_ioctl_notif_id_valid, &id) == 0;
}

// Whether a writer has opened the FIFO since held, a read end of it, was
// opened: it wrote, or it has gone again (the kernel then reports a hang-up
// to that read end alone). An O_PATH hold (a writer's) says nothing.
bool has_had_writer(int held) {
    const int flags = fcntl(held, F_GETFL);
    if (flags < 0 || (flags & O_PATH) || (flags & O_ACCMODE) != O_RDONLY) return false;
    pollfd ready = {held, POLLIN, 0};
    return poll(&ready, 1, 0) > 0 && (ready.revents & (POLLIN | POLLHUP)) != 0;
}

Slot* take_queued() {
    for (Slot& slot : g_pool.slots) {
        if (slot.state == SlotState::queued) return &slot;
    }
    return nullptr;
}

// Runs a socket job with the lock released, and takes it again.
void run_socket_slot(Slot* slot) {
    const SocketJob& job = slot->socket_job;
    pthread_mutex_unlock(&g_pool.lock);
    const Answer answer = run_socket_job(job);
    pthread_mutex_lock(&g_pool.lock);
    const uint64_t id = job.id;
    close(job.socket);
    close(job.pidfd);
    slot->state = SlotState::free;
    --g_pool.outstanding;
    const int listener = g_pool.listener;
    pthread_mutex_unlock(&g_pool.lock);
    seccomp_notif_resp response;
    fill_response(id, answer, &response);
    // A failed send means the caller is gone.
    ioctl(listener, k_ioctl_notif_send, &response);
    pthread_mutex_lock(&g_pool.lock);
}

// Whether the process behind pidfd has exited.
bool has_exited(int pidfd) {
    pollfd ready = {pidfd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

void* run_worker(void*) {
    pthread_mutex_lock(&g_pool.lock);
    for (;;) {
        Slot* slot = take_queued();
        if (slot == nullptr) {
            ++g_pool.idle;
            pthread_cond_wait(&g_pool.queued, &g_pool.lock);
            --g_pool.idle;
            continue;
        }
        slot->state = SlotState::running;
        if (slot->is_socket) {
            run_socket_slot(slot);
            continue;
        }
        const WaitingOpen job = slot->job;
        pthread_mutex_unlock(&g_pool.lock);

        const OpenResult result = reopen_waiting(job.held, job.flags);

        pthread_mutex_lock(&g_pool.lock);
        close(job.held);
        slot->state = SlotState::free;
        --g_pool.outstanding;
        pthread_mutex_unlock(&g_pool.lock);
        // Answered outside the lock: the caller may take its time to pick
        // the descriptor up.
        hand_over(g_pool.listener, job.id, result, job.cloexec, nullptr);
        pthread_mutex_lock(&g_pool.lock);
    }
    return nullptr;
}

}  // namespace

namespace {

// A free slot, with a worker to take it; null when none. Under the lock.
Slot* find_free_slot(int listener) {
    g_pool.listener = listener;
    Slot* free_slot = nullptr;
    for (Slot& slot : g_pool.slots) {
        if (slot.state == SlotState::free) {
            free_slot = &slot;
            break;
        }
    }
    if (free_slot != nullptr && g_pool.idle == 0 && g_pool.threads < k_thread_limit) {
        if (start_helper_thread(run_worker)) {
            ++g_pool.threads;
        } else if (g_pool.threads == 0) {
            return nullptr;
        }
    }
    return free_slot;
}

void queue_slot(Slot* slot) {
    slot->state = SlotState::queued;
    ++g_pool.outstanding;
    pthread_cond_signal(&g_pool.queued);
    if (g_pool.wake >= 0) {
        const uint64_t one = 1;
        // A full counter has woken its reader already.
        (void)write(g_pool.wake, &one, sizeof(one));
    }
}

// A socket job whose call is gone: a queued one is dropped; a running one
// is ended once its process has exited (its socket then has no other
// user), and otherwise finishes on its own.
void tend_socket_slot(int listener, Slot* slot) {
    const SocketJob& job = slot->socket_job;
    if (is_pending(listener, job.id)) return;
    if (slot->state == SlotState::queued) {
        close(job.socket);
        close(job.pidfd);
        slot->state = SlotState::free;
        --g_pool.outstanding;
    } else if (has_exited(job.pidfd)) {
        shutdown(job.socket, SHUT_RDWR);
    }
}

}  // namespace

bool start_socket_job(int listener, const SocketJob& job) {
    pthread_mutex_lock(&g_pool.lock);
    Slot* slot = find_free_slot(listener);
    if (slot != nullptr) {
        slot->is_socket = true;
        slot->socket_job = job;
        queue_slot(slot);
    }
    pthread_mutex_unlock(&g_pool.lock);
    return slot != nullptr;
}

bool start_waiting_open(int listener, const WaitingOpen& job) {
    pthread_mutex_lock(&g_pool.lock);
    Slot* slot = find_free_slot(listener);
    if (slot != nullptr) {
        slot->is_socket = false;
        slot->job = job;
        queue_slot(slot);
    }
    pthread_mutex_unlock(&g_pool.lock);
    return slot != nullptr;
}

void wake_for_waiting_opens(int fd) {
    pthread_mutex_lock(&g_pool.lock);
    g_pool.wake = fd;
    pthread_mutex_unlock(&g_pool.lock);
}

bool has_waiting_opens() {
    return g_pool.outstanding.load(std::memory_order_relaxed) > 0;
}

void tend_waiting_opens(int listener) {
    pthread_mutex_lock(&g_pool.lock);
    for (Slot& slot : g_pool.slots) {
        if (slot.state == SlotState::free) continue;
        if (slot.is_socket) {
            tend_socket_slot(listener, &slot);
            continue;
        }
        if (is_pending(listener, slot.job.id)) {
            // A writer that came and went before the reopen began is not
            // waited for again: the reader's data is in the FIFO already.
            if (slot.state == SlotState::running && has_had_writer(slot.job.held)) {
                release_waiting_reopen(slot.job.held);
            }
        } else if (slot.state == SlotState::queued) {
            close(slot.job.held);
            slot.state = SlotState::free;
            --g_pool.outstanding;
        } else {
            release_waiting_reopen(slot.job.held);
        }
    }
    pthread_mutex_unlock(&g_pool.lock);
}
