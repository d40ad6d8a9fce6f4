#include "supervisor/socket_check.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "path/canonicalize.h"
#include "proc/process_tree.h"
#include "proc/socket_owner.h"
#include "rules/path_rules.h"
#include "rules/socket_rules.h"
#include "rules/verdict_text.h"
#include "supervisor/judged_open.h"
#include "supervisor/path_check.h"
#include "supervisor/refusal.h"

namespace {

// Headers are copied a batch at a time into a fixed buffer.
constexpr size_t k_batch_bytes = 2048;

struct NameField {
    uint64_t name;
    uint32_t length;
};

NameField name_of(const unsigned char* header) {
    NameField field;
    memcpy(&field.name, header, sizeof(field.name));
    memcpy(&field.length, header + 8, sizeof(field.length));
    return field;
}

// An option of the caller's socket fd (SO_DOMAIN, SO_PROTOCOL), from a copy
// of the descriptor; -1 when it cannot be told.
int socket_option_of(const PendingCall& call, int fd, int option) {
    const long pidfd = syscall(k_nr_pidfd_open, thread_group_of(call.pid), 0);
    if (pidfd < 0) return -1;
    const long copy = syscall(k_nr_pidfd_getfd, pidfd, fd, 0);
    close(static_cast<int>(pidfd));
    if (copy < 0) return -1;
    int value = -1;
    socklen_t size = sizeof(value);
    if (getsockopt(static_cast<int>(copy), SOL_SOCKET, option, &value, &size) != 0) value = -1;
    close(static_cast<int>(copy));
    return value;
}

// Who holds the sockets a destination the rules refused would reach, and
// the kernel's own answer where nothing would take it: ECONNREFUSED for a
// TCP port nothing listens on, ENOENT or ECONNREFUSED for a local path the
// policy shows (the socket table and the path are no secret then). A
// datagram to a port no socket is bound to is dropped by the kernel.
struct DestinationHolders {
    Holders holders;
    int answer;
    bool dropped;
};

// The kernel's answer for a local socket path no socket is bound to,
// where the policy lets the caller see the file: ECONNREFUSED when it
// exists, ENOENT when not; else 0. Judged and looked up as resolved, and
// looked up again without following any link, so that a link the tree
// makes or swaps cannot tell it whether a hidden file exists.
int answer_for_unbound_path(const PendingCall& call, const char* path) {
    char resolved[k_path_size];
    if (!canonicalize_path(path, LastLink::followed, resolved, call.pid)) return 0;
    if (!is_single_path_allowed(call.policy, path, ACCESS_STAT, call.tree, PathForm::as_written) ||
        !is_single_path_allowed(call.policy, resolved, ACCESS_STAT, call.tree, PathForm::resolved)) {
        return 0;
    }
    OpenHow how{O_PATH | O_NOFOLLOW | O_CLOEXEC, 0, k_resolve_no_symlinks};
    const long fd = syscall(k_nr_openat2, AT_FDCWD, resolved, &how, sizeof(how));
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return ECONNREFUSED;
    }
    return errno == ENOENT ? ENOENT : 0;
}

DestinationHolders find_destination_holders(const PendingCall& call, int fd, const unsigned char* copy, uint64_t length,
                                            const SocketVerdict& why) {
    if (why.step == SOCKET_LOCAL_NAME || why.step == SOCKET_ABSTRACT) {
        // The name runs to the address's end, at most the 108 bytes of
        // sun_path; a path to its NUL.
        LocalName name{};
        const size_t at = offsetof(sockaddr_un, sun_path);
        const size_t n =
            length - at < sizeof(name.bytes) - 1 ? static_cast<size_t>(length - at) : sizeof(name.bytes) - 1;
        name.abstract = why.step == SOCKET_ABSTRACT;
        const unsigned char* bytes = copy + at + (name.abstract ? 1 : 0);
        name.length = name.abstract ? n - 1 : strnlen(reinterpret_cast<const char*>(bytes), n);
        memcpy(name.bytes, bytes, name.length);
        const Holders holders = find_local_holders(name, call.tree);
        if (holders != Holders::nobody) return {holders, 0, false};
        if (name.abstract) return {holders, ECONNREFUSED, false};
        return {holders, answer_for_unbound_path(call, name.bytes), false};
    }
    if (why.step != SOCKET_PORT_DENY && why.step != SOCKET_PORT_DEFAULT) return {Holders::unknown, 0, false};
    LocalDestination to{};
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    to.family = family;
    to.port = why.port;
    if (family == AF_INET) {
        memcpy(to.address, copy + offsetof(sockaddr_in, sin_addr), 4);
        // The any address reaches this machine as loopback.
        if (why.target == TARGET_ANY) {
            to.address[0] = 127;
            to.address[3] = 1;
        }
    } else if (family == AF_INET6) {
        memcpy(to.address, copy + offsetof(sockaddr_in6, sin6_addr), 16);
        if (why.target == TARGET_ANY) to.address[15] = 1;
    } else {
        return {Holders::unknown, 0, false};
    }
    to.protocol = socket_option_of(call, fd, SO_PROTOCOL);
    const Holders holders = find_holders(to, call.tree);
    const bool nobody = holders == Holders::nobody;
    return {holders, nobody && to.protocol == IPPROTO_TCP ? ECONNREFUSED : 0,
            nobody && (to.protocol == IPPROTO_UDP || to.protocol == IPPROTO_UDPLITE)};
}

// The first bytes of the address at address into copy (k_sockaddr_copy,
// zero beyond), confirmed to be this very call's.
bool copy_sockaddr(const PendingCall& call, uint64_t address, uint64_t length, unsigned char* copy) {
    memset(copy, 0, k_sockaddr_copy);
    size_t n = length < k_sockaddr_copy ? static_cast<size_t>(length) : k_sockaddr_copy;
    if (!read_tracee_mem(call.pid, address, copy, n)) return refuse_unreadable(call.refusals, ACCESS_WRITE, errno, "");
    return is_call_pending(call) || refuse_gone(call.refusals);
}

// Keeps an allowed destination (length 0: none) as the first judgement of
// the call read it; a later judgement that read another marks the record
// as conflicting.
void record_destination(JudgedOpen* opened, const unsigned char* copy, uint64_t length) {
    if (opened == nullptr || opened->destination_next >= k_judged_messages) return;
    JudgedDestination& kept = opened->destinations[opened->destination_next];
    const uint32_t bytes = length < k_sockaddr_copy ? static_cast<uint32_t>(length) : k_sockaddr_copy;
    if (opened->destination_next < opened->destination_count) {
        if (kept.length != bytes || memcmp(kept.bytes, copy, bytes) != 0) opened->conflicting = true;
    } else {
        if (bytes > 0) memcpy(kept.bytes, copy, bytes);
        kept.length = bytes;
        opened->destination_count = static_cast<uint16_t>(opened->destination_next + 1);
        if (bytes > 0) opened->has_destination = true;
    }
    ++opened->destination_next;
}

// Judges a destination copied out of the caller, sent or connected to on
// socket fd. A refusal is kept for the log; an audit lifts one the port
// rules made.
bool settle_destination(const PendingCall& call, int fd, const unsigned char* copy, uint64_t length) {
    SocketVerdict why{};
    if (judge_sockaddr(call.policy, copy, length, &why)) return true;
    const DestinationHolders held = find_destination_holders(call, fd, copy, length, why);
    if (held.holders == Holders::tree) return true;
    const bool lifted = call.refusals != nullptr && call.refusals->audit && is_policy_socket_step(why.step);
    Refusal* refusal = add_refusal(call.refusals, RefusalKind::socket, ACCESS_WRITE);
    if (refusal != nullptr) {
        refusal->lifted = lifted;
        refusal->answer = held.answer;
        refusal->dropped = held.dropped;
        refusal->socket = why;
        show_sockaddr(copy, length, refusal->written, sizeof(refusal->written));
    }
    return lifted;
}

}  // namespace

bool check_sockaddr(const PendingCall& call, int fd, uint64_t address, uint64_t length) {
    if (address == 0 || length <= 1) return true;
    unsigned char copy[k_sockaddr_copy];
    if (!copy_sockaddr(call, address, length, copy) || !settle_destination(call, fd, copy, length)) return false;
    record_destination(call.opened, copy, length);
    return true;
}

// Each destination allowed is recorded once, a message without one as none.
bool check_sent_to(const PendingCall& call, int fd, uint64_t address, uint64_t length) {
    if (address == 0 || length <= 1) {
        record_destination(call.opened, nullptr, 0);
        return true;
    }
    unsigned char copy[k_sockaddr_copy];
    if (!copy_sockaddr(call, address, length, copy)) return false;
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    if (family == AF_UNSPEC) {
        // An IPv4 socket sends it as AF_INET; an IPv6 one to its peer; any
        // other refuses it. Unknown: judged as AF_INET, the wider reach.
        const int socket_family = socket_option_of(call, fd, SO_DOMAIN);
        if (socket_family != AF_INET && socket_family != -1) {
            record_destination(call.opened, copy, length);
            return true;
        }
        family = AF_INET;
        memcpy(copy, &family, sizeof(family));
    }
    if (!settle_destination(call, fd, copy, length)) return false;
    record_destination(call.opened, copy, length);
    return true;
}

bool check_bind(const PendingCall& call, uint64_t address, uint64_t length) {
    const size_t at = offsetof(sockaddr_un, sun_path);
    if (address == 0 || length <= at) return true;
    unsigned char copy[k_sockaddr_copy];
    if (!copy_sockaddr(call, address, length, copy)) return false;
    sa_family_t family;
    memcpy(&family, copy, sizeof(family));
    if (family != AF_UNIX || copy[at] == 0) return true;
    // The name runs to its NUL or to the end of the address, at most the
    // 108 bytes of sun_path.
    char name[sizeof(sockaddr_un::sun_path) + 1];
    const size_t n = length - at < sizeof(name) - 1 ? static_cast<size_t>(length - at) : sizeof(name) - 1;
    memcpy(name, copy + at, n);
    name[n] = 0;
    return check_path_text(call, AT_FDCWD, name, ACCESS_WRITE, LastLink::not_followed);
}

bool check_message_destinations(const PendingCall& call, int fd, uint64_t address, uint64_t count, size_t stride) {
    // The kernel sends no more than it can take in one call; later headers
    // are never read by it.
    if (count > k_max_messages) count = k_max_messages;
    unsigned char batch[k_batch_bytes];
    const uint64_t per_batch = k_batch_bytes / stride;
    for (uint64_t done = 0; done < count;) {
        uint64_t n = count - done < per_batch ? count - done : per_batch;
        if (!read_tracee_mem(call.pid, address + done * stride, batch, n * stride)) {
            return refuse_unreadable(call.refusals, ACCESS_WRITE, errno, "");
        }
        for (uint64_t i = 0; i < n; ++i) {
            NameField field = name_of(batch + i * stride);
            // check_sent_to confirms that the call is still pending after
            // its own read, which covers the headers read before it.
            if (!check_sent_to(call, fd, field.name, field.length)) return false;
        }
        done += n;
    }
    return true;
}
