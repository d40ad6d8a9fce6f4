#include "supervisor/notify_loop.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/io.h"
#include "base/kernel_abi.h"
#include "supervisor/dispatch.h"
#include "supervisor/response.h"

namespace {

void relay_status(NotifyLoop* loop, int status) {
    if (!loop->status_relayed) {
        // A failed write (the launcher is gone) is not retried: the status is
        // relayed at most once.
        (void)write_full(loop->status_write, &status);
        close(loop->status_write);
    }
    loop->status_relayed = true;
}

void reap_children(NotifyLoop* loop) {
    char scratch[128];
    ssize_t got;
    do {
        got = read(loop->signal_fd, scratch, sizeof(scratch));
    } while (got == static_cast<ssize_t>(sizeof(scratch)) || (got < 0 && errno == EINTR));

    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == loop->supervision.tree.child) relay_status(loop, status);
    }
}

[[noreturn]] void shut_down(NotifyLoop* loop) {
    close(loop->supervision.listener);
    if (!loop->status_relayed) {
        int status = 0;
        while (waitpid(loop->supervision.tree.child, &status, 0) < 0 && errno == EINTR) {}
        relay_status(loop, status);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    _exit(0);
}

}  // namespace

void serve_notifications(NotifyLoop* loop) {
    uint64_t sync_flags = k_notif_fd_sync_wake_up;
    ioctl(loop->supervision.listener, k_ioctl_notif_set_flags, sync_flags);
    seccomp_notif notif;
    seccomp_notif_resp resp;
    pollfd fds[2];
    fds[0].fd = loop->supervision.listener;
    fds[0].events = POLLIN;
    fds[1].fd = loop->signal_fd;
    fds[1].events = POLLIN;

    for (;;) {
        fds[0].revents = 0;
        fds[1].revents = 0;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            shut_down(loop);
        }
        if (fds[1].revents & POLLIN) reap_children(loop);

        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) shut_down(loop);
            continue;
        }

        memset(&notif, 0, sizeof(notif));
        if (ioctl(loop->supervision.listener, k_ioctl_notif_recv, &notif) != 0) {
            if (errno == ENOENT || errno == EINTR) continue;
            shut_down(loop);
        }
        fill_response(notif.id, dispatch_notification(loop->supervision, notif), &resp);
        // A failed send means the tracee went away while it was judged.
        ioctl(loop->supervision.listener, k_ioctl_notif_send, &resp);
    }
}
