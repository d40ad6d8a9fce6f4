#include "supervisor/performed_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "base/kernel_abi.h"
#include "proc/process_tree.h"
#include "supervisor/open_workers.h"
#include "supervisor/pending_call.h"

namespace {

constexpr size_t k_sent_data_max = 65536;
constexpr size_t k_sent_control_max = 4096;
constexpr size_t k_iovec_batch = 64;
constexpr size_t k_iovec_max = 1024;
constexpr size_t k_mmsghdr_stride = 64;  // struct msghdr, then the length sent
// One buffer for each worker that can run at once, and each judging
// thread's.
constexpr int k_send_buffers = 16 + k_judging_threads_max;

struct SendBuffer {
    std::atomic<bool> taken;
    unsigned char data[k_sent_data_max];
    unsigned char control[k_sent_control_max];
};

SendBuffer g_buffers[k_send_buffers]{};

// The kernel refused to hand a socket over once (a container profile that
// wants CAP_SYS_PTRACE for it): every call goes ahead in the caller after.
std::atomic<bool> g_handing_refused{false};

SendBuffer* take_send_buffer() {
    for (SendBuffer& buffer : g_buffers) {
        bool expected = false;
        if (buffer.taken.compare_exchange_strong(expected, true)) return &buffer;
    }
    return nullptr;
}

// The caller's socket fd, taken through a pidfd of its process, which
// *pidfd keeps. -1 with errno set when it cannot be taken.
int take_socket(pid_t caller, int fd, int* pidfd) {
    long process = syscall(k_nr_pidfd_open, caller, 0);
    // A thread other than the leader is named by its thread group.
    if (process < 0 && errno == EINVAL) process = syscall(k_nr_pidfd_open, thread_group_of(caller), 0);
    if (process < 0) return -1;
    const long socket = syscall(k_nr_pidfd_getfd, process, fd, 0);
    if (socket < 0) {
        const int error = errno;
        close(static_cast<int>(process));
        errno = error;
        return -1;
    }
    *pidfd = static_cast<int>(process);
    return static_cast<int>(socket);
}

int option_of(int socket, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    return getsockopt(socket, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

struct Gathered {
    size_t data_length = 0;
    size_t control_length = 0;
};

// Reads what the caller sends into buffer, as the kernel would read it
// now; only the destination had to be read once. A datagram longer than
// the buffer could not be sent either; a stream's first part is sent, as a
// short write.
int gather(const SocketJob& job, SendBuffer* buffer, Gathered* out) {
    const pid_t caller = job.caller;
    if (job.judge == Judge::sendto) {
        uint64_t length = job.length;
        if (length > k_sent_data_max) {
            if (!job.stream) return EMSGSIZE;
            length = k_sent_data_max;
        }
        if (length > 0 && !read_tracee_mem(caller, job.source, buffer->data, length)) return EFAULT;
        out->data_length = length;
        return 0;
    }
    msghdr header;
    if (!read_tracee_mem(caller, job.source, &header, sizeof(header))) return EFAULT;
    if (header.msg_iovlen > k_iovec_max) return EMSGSIZE;
    size_t total = 0;
    iovec batch[k_iovec_batch];
    for (size_t done = 0; done < header.msg_iovlen && total < k_sent_data_max;) {
        const size_t n = header.msg_iovlen - done < k_iovec_batch ? header.msg_iovlen - done : k_iovec_batch;
        const uint64_t at = reinterpret_cast<uint64_t>(header.msg_iov) + done * sizeof(iovec);
        if (!read_tracee_mem(caller, at, batch, n * sizeof(iovec))) return EFAULT;
        for (size_t i = 0; i < n; ++i) {
            size_t length = batch[i].iov_len;
            if (length > k_sent_data_max - total) {
                if (!job.stream) return EMSGSIZE;
                length = k_sent_data_max - total;
            }
            const uint64_t from = reinterpret_cast<uint64_t>(batch[i].iov_base);
            if (length > 0 && !read_tracee_mem(caller, from, buffer->data + total, length)) return EFAULT;
            total += length;
        }
        done += n;
    }
    out->data_length = total;
    if (header.msg_controllen > k_sent_control_max) return ENOBUFS;
    const uint64_t control = reinterpret_cast<uint64_t>(header.msg_control);
    if (header.msg_controllen > 0 && !read_tracee_mem(caller, control, buffer->control, header.msg_controllen))
        return EFAULT;
    out->control_length = header.msg_controllen;
    return 0;
}

// Sends one message of the job to its judged destination: the count sent,
// or -1 with errno set. The supervisor takes no SIGPIPE: the caller gets
// the one the kernel would have sent it.
ssize_t send_one(const SocketJob& job, SendBuffer* buffer, int extra_flags) {
    Gathered gathered;
    const int error = gather(job, buffer, &gathered);
    if (error != 0) {
        errno = error;
        return -1;
    }
    iovec data = {buffer->data, gathered.data_length};
    msghdr message{};
    message.msg_name = job.destination.length > 0 ? const_cast<unsigned char*>(job.destination.bytes) : nullptr;
    message.msg_namelen = job.destination.length;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = gathered.control_length > 0 ? buffer->control : nullptr;
    message.msg_controllen = gathered.control_length;
    const ssize_t sent = sendmsg(job.socket, &message, job.flags | extra_flags | MSG_NOSIGNAL);
    if (sent < 0 && errno == EPIPE && (job.flags & MSG_NOSIGNAL) == 0) {
        // Through the pidfd: the caller's thread id may be reused once the
        // process has gone.
        syscall(k_nr_pidfd_send_signal, job.pidfd, SIGPIPE, nullptr, 0);
        errno = EPIPE;
    }
    return sent;
}

// sendmmsg's header records how much its message took, as the kernel's
// would.
void write_sent_length(const SocketJob& job, ssize_t sent) {
    const uint32_t length = static_cast<uint32_t>(sent);
    iovec local = {const_cast<uint32_t*>(&length), sizeof(length)};
    iovec remote = {reinterpret_cast<void*>(job.source + sizeof(msghdr)), sizeof(length)};
    (void)process_vm_writev(job.caller, &local, 1, &remote, 1, 0);
}

Answer connect_to(const SocketJob& job) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(job.destination.bytes);
    return answer_of_result(connect(job.socket, to, job.destination.length));
}

void close_job(const SocketJob& job) {
    close(job.socket);
    close(job.pidfd);
}

// Hands the job to a worker; EAGAIN when every slot is taken.
SocketCallStep queue_or_fail(int listener, const SocketJob& job, Answer* answer) {
    if (start_socket_job(listener, job)) return SocketCallStep::queued;
    close_job(job);
    *answer = answer_error(EAGAIN);
    return SocketCallStep::answered;
}

// Sends the call's messages, each to its judged destination, without
// waiting; a message that would wait goes to a worker when it is the
// first (sendmmsg answers the count sent before it otherwise, as the
// kernel may).
SocketCallStep send_messages(int listener, const CallRow& row, const uint64_t* args, const JudgedOpen& judged,
                             SocketJob* job, Answer* answer) {
    const bool waits = (fcntl(job->socket, F_GETFL) & O_NONBLOCK) == 0 && (job->flags & MSG_DONTWAIT) == 0;
    const uint64_t count =
        row.judge == Judge::sendmmsg ? (args[2] < judged.destination_count ? args[2] : judged.destination_count) : 1;
    SendBuffer* buffer = take_send_buffer();
    if (buffer == nullptr) {
        close_job(*job);
        *answer = answer_error(ENOBUFS);
        return SocketCallStep::answered;
    }
    uint64_t sent_count = 0;
    int error = 0;
    ssize_t sent = 0;
    for (; sent_count < count; ++sent_count) {
        if (row.judge == Judge::sendmmsg) job->source = args[1] + sent_count * k_mmsghdr_stride;
        job->destination = judged.destinations[sent_count];
        sent = send_one(*job, buffer, waits ? MSG_DONTWAIT : 0);
        if (sent < 0) {
            error = errno;
            break;
        }
        if (row.judge == Judge::sendmmsg) write_sent_length(*job, sent);
    }
    buffer->taken.store(false);
    if (sent_count == 0 && waits && (error == EAGAIN || error == EWOULDBLOCK)) {
        return queue_or_fail(listener, *job, answer);
    }
    close_job(*job);
    if (row.judge == Judge::sendmmsg) {
        *answer = sent_count > 0 ? answer_value(static_cast<int64_t>(sent_count)) : answer_error(error);
    } else {
        *answer = error != 0 ? answer_error(error) : answer_value(sent);
    }
    return SocketCallStep::answered;
}

}  // namespace

SocketCallStep carry_out_socket_call(int listener, const CallRow& row, const seccomp_notif& notif,
                                     const JudgedOpen& judged, Answer* answer) {
    if (!judged.has_destination || g_handing_refused.load(std::memory_order_relaxed)) return SocketCallStep::goes_ahead;
    if (judged.conflicting) {
        *answer = answer_error(EACCES);
        return SocketCallStep::answered;
    }
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
    SocketJob job{};
    job.id = notif.id;
    job.judge = row.judge;
    job.caller = static_cast<pid_t>(notif.pid);
    job.socket = take_socket(job.caller, static_cast<int>(static_cast<uint32_t>(args[0])), &job.pidfd);
    if (job.socket < 0) {
        if (errno == EPERM) g_handing_refused.store(true, std::memory_order_relaxed);
        if (errno != EBADF) return SocketCallStep::goes_ahead;
        *answer = answer_error(EBADF);
        return SocketCallStep::answered;
    }
    // Local sockets are named by paths, which the supervisor would walk
    // from its own directory: those calls go ahead in the caller.
    const int domain = option_of(job.socket, SO_DOMAIN);
    if (domain != AF_INET && domain != AF_INET6) {
        close_job(job);
        return SocketCallStep::goes_ahead;
    }
    if (row.judge == Judge::connect) {
        job.destination = judged.destinations[0];
        if ((fcntl(job.socket, F_GETFL) & O_NONBLOCK) == 0) return queue_or_fail(listener, job, answer);
        *answer = connect_to(job);
        close_job(job);
        return SocketCallStep::answered;
    }
    job.flags = static_cast<int>(static_cast<uint32_t>(args[row.judge == Judge::sendmsg ? 2 : 3]));
    job.source = args[1];
    job.length = args[2];
    job.stream = option_of(job.socket, SO_TYPE) == SOCK_STREAM;
    return send_messages(listener, row, args, judged, &job, answer);
}

Answer run_socket_job(const SocketJob& job) {
    if (job.judge == Judge::connect) return connect_to(job);
    SendBuffer* buffer = take_send_buffer();
    if (buffer == nullptr) return answer_error(ENOBUFS);
    const ssize_t sent = send_one(job, buffer, 0);
    const int error = errno;
    buffer->taken.store(false);
    if (sent < 0) return answer_error(error);
    if (job.judge != Judge::sendmmsg) return answer_value(sent);
    write_sent_length(job, sent);
    return answer_value(1);
}
