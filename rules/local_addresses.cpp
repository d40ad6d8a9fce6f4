#include "rules/local_addresses.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether a netlink record (a message or an attribute) starting at at holds
// at least its header and lies wholly within the left bytes. Both record
// kinds begin with their length: 32 bits for a message, 16 for an attribute.
bool is_whole(const char* at, size_t left, size_t header) {
    if (left < header) return false;
    size_t length = 0;
    if (header == sizeof(nlmsghdr)) {
        length = reinterpret_cast<const nlmsghdr*>(at)->nlmsg_len;
    } else {
        length = reinterpret_cast<const rtattr*>(at)->rta_len;
    }
    return length >= header && length <= left;
}

// Whether an IFA_LOCAL or IFA_ADDRESS attribute among the attributes bytes
// at first holds address.
bool has_address(const rtattr* first, size_t attributes, const unsigned char* address, size_t size) {
    const char* at = reinterpret_cast<const char*>(first);
    for (size_t left = attributes; is_whole(at, left, sizeof(rtattr));) {
        const rtattr* attribute = reinterpret_cast<const rtattr*>(at);
        if ((attribute->rta_type == IFA_LOCAL || attribute->rta_type == IFA_ADDRESS) &&
            attribute->rta_len == RTA_LENGTH(size) && memcmp(RTA_DATA(attribute), address, size) == 0) {
            return true;
        }
        size_t step = RTA_ALIGN(attribute->rta_len);
        if (step >= left) break;
        at += step;
        left -= step;
    }
    return false;
}

// Asks the kernel for the addresses of one family and looks for address
// among them. The dump comes in a few datagrams into a buffer on the stack;
// nothing is kept between calls, so an address added during the run counts
// from then on.
bool has_interface_address(int family, const unsigned char* address, size_t size) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        ifaddrmsg message;
    } request;
    memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.ifa_family = static_cast<unsigned char>(family);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(fd, &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof(request))) {
        close(fd);
        return false;
    }

    alignas(nlmsghdr) char buffer[16384];
    bool found = false;
    for (;;) {
        ssize_t got;
        do {
            got = recv(fd, buffer, sizeof(buffer), 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) break;
        bool done = false;
        // Lengths are walked as sizes: the kernel's NLMSG_ and RTA_ macros
        // mix signed and unsigned ones.
        size_t left = static_cast<size_t>(got);
        for (const char* at = buffer; is_whole(at, left, sizeof(nlmsghdr));) {
            const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(at);
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (header->nlmsg_type == RTM_NEWADDR && header->nlmsg_len >= NLMSG_SPACE(sizeof(ifaddrmsg))) {
                const ifaddrmsg* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
                const size_t attributes = header->nlmsg_len - NLMSG_SPACE(sizeof(ifaddrmsg));
                if (message->ifa_family == family && has_address(IFA_RTA(message), attributes, address, size)) {
                    found = true;
                }
            }
            size_t step = NLMSG_ALIGN(header->nlmsg_len);
            if (step >= left) break;
            at += step;
            left -= step;
        }
        if (done) break;
    }
    close(fd);
    return found;
}

}  // namespace

bool is_local_ipv4(const unsigned char* address) {
    return has_interface_address(AF_INET, address, 4);
}

bool is_local_ipv6(const unsigned char* address) {
    return has_interface_address(AF_INET6, address, 16);
}
