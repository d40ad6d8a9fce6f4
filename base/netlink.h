// Asking the kernel over netlink for a dump (addresses, the socket table)
// and walking what it answers: messages, and the attributes inside one.
// Lengths are walked as sizes, since the kernel's NLMSG_ and RTA_ macros
// mix signed and unsigned ones; everything stays in buffers on the stack.
#pragma once

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

// Sends one dump request on the netlink socket and calls
// visit(type, body, size) with each message of the answer. False when the
// request cannot be sent, an answer is malformed or the kernel answers with
// an error; true at the end of the dump.
template <typename Visit>
[[nodiscard]] bool dump_netlink(int netlink, const void* request, size_t size, Visit visit) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(netlink, request, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(size)) return false;
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        ssize_t got;
        do {
            got = recv(netlink, buffer, sizeof(buffer), 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        size_t left = static_cast<size_t>(got);
        for (const char* at = buffer; left >= sizeof(nlmsghdr);) {
            nlmsghdr header;
            memcpy(&header, at, sizeof(header));
            if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > left) return false;
            if (header.nlmsg_type == NLMSG_DONE) return true;
            if (header.nlmsg_type == NLMSG_ERROR) return false;
            visit(header.nlmsg_type, at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
            const size_t step = NLMSG_ALIGN(header.nlmsg_len) < left ? NLMSG_ALIGN(header.nlmsg_len) : left;
            at += step;
            left -= step;
        }
    }
}

// Calls visit(type, data, length) with each whole attribute among the size
// bytes at first, up to the first one that is not whole.
template <typename Visit>
void for_each_attribute(const char* first, size_t size, Visit visit) {
    for (size_t at = 0; at + sizeof(rtattr) <= size;) {
        rtattr attribute;
        memcpy(&attribute, first + at, sizeof(attribute));
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - at) return;
        visit(attribute.rta_type, first + at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
        at += RTA_ALIGN(attribute.rta_len);
    }
}
