#include "rules/local_addresses.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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
        int length = static_cast<int>(got);
        for (nlmsghdr* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (header->nlmsg_type != RTM_NEWADDR) continue;
            ifaddrmsg* message = static_cast<ifaddrmsg*>(NLMSG_DATA(header));
            if (message->ifa_family != family) continue;
            int attributes_length = static_cast<int>(IFA_PAYLOAD(header));
            for (rtattr* attribute = IFA_RTA(message); RTA_OK(attribute, attributes_length);
                 attribute = RTA_NEXT(attribute, attributes_length)) {
                if ((attribute->rta_type == IFA_LOCAL || attribute->rta_type == IFA_ADDRESS) &&
                    RTA_PAYLOAD(attribute) == size && memcmp(RTA_DATA(attribute), address, size) == 0) {
                    found = true;
                }
            }
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
