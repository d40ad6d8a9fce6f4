#include "proc/socket_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/netlink.h"
#include "proc/process_tree.h"

namespace {

// More sockets than this on one port and address is no test server.
constexpr size_t k_max_candidates = 64;
constexpr uint32_t k_tcp_listen = 10;

struct Candidates {
    uint32_t inode[k_max_candidates];
    // A socket another user owns is no socket of the tree, which runs as
    // the supervisor's user: known without reading /proc.
    bool foreign;
    bool held[k_max_candidates];
    size_t count;
    bool overflow;
};

struct Linux64Dirent {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

bool is_zero(const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// The IPv4 address an IPv4-mapped IPv6 one (::ffff:a.b.c.d) carries.
bool mapped_ipv4(const unsigned char* address6, unsigned char* address4) {
    static const unsigned char k_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(address6, k_prefix, sizeof(k_prefix)) != 0) return false;
    memcpy(address4, address6 + 12, 4);
    return true;
}

// Whether a socket bound to (family, bound) takes a connection or datagram
// for the destination. :: takes IPv4 too unless the socket is IPv6-only,
// which the table does not say: counted, so that a doubt refuses.
bool takes(int family, const unsigned char* bound, const LocalDestination& to) {
    unsigned char to4[4];
    const bool to_ipv4 = to.family == AF_INET || (to.family == AF_INET6 && mapped_ipv4(to.address, to4));
    if (to.family == AF_INET) memcpy(to4, to.address, 4);
    if (family == AF_INET6) {
        if (is_zero(bound, 16)) return true;
        unsigned char bound4[4];
        if (to_ipv4 && mapped_ipv4(bound, bound4)) return memcmp(bound4, to4, 4) == 0;
        return to.family == AF_INET6 && memcmp(bound, to.address, 16) == 0;
    }
    return to_ipv4 && (is_zero(bound, 4) || memcmp(bound, to4, 4) == 0);
}

void add_candidate(Candidates* out, uint32_t inode) {
    if (out->count == k_max_candidates) {
        out->overflow = true;
        return;
    }
    out->inode[out->count] = inode;
    out->held[out->count++] = false;
}

// Adds the sockets of one family the destination could reach.
bool collect(int netlink, int family, const LocalDestination& to, Candidates* out) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    memset(&message, 0, sizeof(message));
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = static_cast<uint8_t>(to.protocol);
    message.request.idiag_states = to.protocol == IPPROTO_TCP ? 1u << k_tcp_listen : ~0u;
    return dump_netlink(netlink, &message, sizeof(message), [&](uint16_t, const char* body, size_t size) {
        if (size < sizeof(inet_diag_msg)) return;
        inet_diag_msg socket_info;
        memcpy(&socket_info, body, sizeof(socket_info));
        const auto* bound = reinterpret_cast<const unsigned char*>(socket_info.id.idiag_src);
        if (ntohs(socket_info.id.idiag_sport) == to.port && takes(family, bound, to)) {
            add_candidate(out, socket_info.idiag_inode);
            if (socket_info.idiag_uid != geteuid()) out->foreign = true;
        }
    });
}

// The kernel's own encoding of a device number, as the socket table gives
// it.
uint64_t kernel_device(dev_t device) {
    return (static_cast<uint64_t>(major(device)) << 20) | minor(device);
}

// Whether an absolute name a socket was bound to leads to another file than
// file now, or to none.
bool is_bound_elsewhere(const char* bound, size_t length, const struct stat& file) {
    char path[sizeof(sockaddr_un::sun_path) + 1];
    if (length == 0 || bound[0] != '/' || length >= sizeof(path)) return false;
    memcpy(path, bound, length);
    path[length] = 0;
    struct stat now;
    return stat(path, &now) != 0 || now.st_ino != file.st_ino || now.st_dev != file.st_dev;
}

// Adds the local socket bound to the name: by the file's identity for a
// path, by its bytes for an abstract name. A path that is no socket file
// has none.
bool collect_local(int netlink, const LocalName& name, Candidates* out) {
    struct stat file;
    if (!name.abstract && stat(name.bytes, &file) != 0) return errno == ENOENT || errno == ENOTDIR;
    if (!name.abstract && !S_ISSOCK(file.st_mode)) return true;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } message;
    memset(&message, 0, sizeof(message));
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_UNIX;
    message.request.udiag_states = ~0u;
    message.request.udiag_show = UDIAG_SHOW_NAME | (name.abstract ? 0u : UDIAG_SHOW_VFS);
    return dump_netlink(netlink, &message, sizeof(message), [&](uint16_t, const char* body, size_t size) {
        if (size < sizeof(unix_diag_msg)) return;
        unix_diag_msg socket_info;
        memcpy(&socket_info, body, sizeof(socket_info));
        const size_t at = NLMSG_ALIGN(sizeof(unix_diag_msg));
        bool same_file = false;
        bool same_name = false;
        const char* bound = nullptr;
        size_t bound_length = 0;
        for_each_attribute(body + at, size - at, [&](uint16_t type, const char* data, size_t length) {
            if (type == UNIX_DIAG_NAME && name.abstract) {
                same_name = length == name.length + 1 && data[0] == 0 && memcmp(data + 1, name.bytes, name.length) == 0;
            } else if (type == UNIX_DIAG_NAME) {
                bound = data;
                bound_length = length;
            } else if (type == UNIX_DIAG_VFS && !name.abstract && length >= sizeof(unix_diag_vfs)) {
                unix_diag_vfs vfs;
                memcpy(&vfs, data, sizeof(vfs));
                same_file = vfs.udiag_vfs_ino == file.st_ino && vfs.udiag_vfs_dev == kernel_device(file.st_dev);
            }
        });
        // A socket still open after its file was removed keeps the file's
        // numbers, which a new file may take: the name it was bound to no
        // longer leads to that file.
        if (same_file && bound != nullptr && is_bound_elsewhere(bound, bound_length, file)) same_file = false;
        // Connections a listener accepted carry its name too, and those
        // still in its queue are held by no one: only the listener, or a
        // datagram socket, takes what is sent to the name.
        const bool takes = socket_info.udiag_type == SOCK_DGRAM || socket_info.udiag_state == k_tcp_listen;
        if (takes && (name.abstract ? same_name : same_file)) add_candidate(out, socket_info.udiag_ino);
    });
}

// The socket a descriptor link names ("socket:[N]"), or 0.
uint32_t socket_inode(const char* link) {
    if (strncmp(link, "socket:[", 8) != 0) return 0;
    return static_cast<uint32_t>(strtoul(link + 8, nullptr, 10));
}

bool is_number(const char* name) {
    if (name[0] == 0) return false;
    for (const char* c = name; *c != 0; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

// Calls each numeric entry of directory with its number; false when the
// directory cannot be read.
template <typename Visit>
bool for_each_number(const char* directory, Visit visit) {
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(Linux64Dirent) char entries[8192];
    for (;;) {
        const long got = syscall(SYS_getdents64, fd, entries, sizeof(entries));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(fd);
            return got == 0;
        }
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const Linux64Dirent*>(entries + at);
            if (is_number(entry->name)) visit(atoi(entry->name));
            at += entry->reclen;
        }
    }
}

// Marks the candidates process pid holds.
void mark_held(pid_t pid, Candidates* candidates) {
    char directory[48];
    snprintf(directory, sizeof(directory), "/proc/%d/fd", static_cast<int>(pid));
    (void)for_each_number(directory, [&](int fd) {
        char name[80];
        char link[64];
        snprintf(name, sizeof(name), "%s/%d", directory, fd);
        const ssize_t n = readlink(name, link, sizeof(link) - 1);
        if (n <= 0) return;
        link[n] = 0;
        const uint32_t inode = socket_inode(link);
        for (size_t i = 0; inode != 0 && i < candidates->count; ++i) {
            if (candidates->inode[i] == inode) candidates->held[i] = true;
        }
    });
}

// Whether the candidates are all held by processes of the tree.
Holders find_tree_holders(Candidates* candidates, const SandboxTree& tree) {
    if (candidates->overflow) return Holders::unknown;
    if (candidates->count == 0) return Holders::nobody;
    if (candidates->foreign) return Holders::others;
    const bool read = for_each_number("/proc", [&](int pid) {
        if (is_under_supervisor(pid, tree)) mark_held(pid, candidates);
    });
    if (!read) return Holders::unknown;
    for (size_t i = 0; i < candidates->count; ++i) {
        if (!candidates->held[i]) return Holders::others;
    }
    return Holders::tree;
}

}  // namespace

Holders find_holders(const LocalDestination& destination, const SandboxTree& tree) {
    if (destination.protocol != IPPROTO_TCP && destination.protocol != IPPROTO_UDP &&
        destination.protocol != IPPROTO_UDPLITE) {
        return Holders::unknown;
    }
    const int netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink < 0) return Holders::unknown;
    Candidates candidates{};
    const bool listed =
        collect(netlink, AF_INET, destination, &candidates) && collect(netlink, AF_INET6, destination, &candidates);
    close(netlink);
    return listed ? find_tree_holders(&candidates, tree) : Holders::unknown;
}

Holders find_local_holders(const LocalName& name, const SandboxTree& tree) {
    if (!name.abstract && name.bytes[0] != '/') return Holders::unknown;
    const int netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink < 0) return Holders::unknown;
    Candidates candidates{};
    const bool listed = collect_local(netlink, name, &candidates);
    close(netlink);
    return listed ? find_tree_holders(&candidates, tree) : Holders::unknown;
}
