// Opens that wait (a FIFO for its other end, a file under a lease) run on
// threads of their own, so that the notification loop never waits on the
// file system. Each answers its call exactly once.
#pragma once

#include <stdint.h>

struct WaitingOpen {
    uint64_t id;  // the notification the open answers
    int held;     // the object, reopened through its /proc link; the job closes it
    uint64_t flags;
    bool cloexec;
};

// Hands the open to a worker; false when every slot is taken, and the
// job's descriptor is then still the caller's to close.
[[nodiscard]] bool start_waiting_open(int listener, const WaitingOpen& job);

struct SocketJob;

// Hands a connect or send that waits to a worker; false when every slot is
// taken, and the job's descriptors are then still the caller's to close.
[[nodiscard]] bool start_socket_job(int listener, const SocketJob& job);

// Each job queued from now on adds one to the eventfd fd, so that a thread
// other than the one that queues it wakes to tend it.
void wake_for_waiting_opens(int fd);

// Whether any open is queued or waiting.
[[nodiscard]] bool has_waiting_opens();

// Looked after while opens wait, ten times a second: the opens whose
// callers are gone end (a queued one is dropped, a waiting one released by
// opening the FIFO's other end), and so does a reader's reopen that began
// after its writer had come and gone.
void tend_waiting_opens(int listener);
