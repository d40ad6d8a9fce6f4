#include "rules/local_addresses.h"

#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/netlink.h"

namespace {

// Asks the kernel for the addresses of one family and looks for address
// among their IFA_LOCAL and IFA_ADDRESS attributes. Nothing is kept between
// calls, so an address added during the run counts from then on.
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
    bool found = false;
    // An answer cut short ends the search with what was found in it.
    (void)dump_netlink(fd, &request, sizeof(request), [&](uint16_t type, const char* body, size_t length) {
        if (type != RTM_NEWADDR || length < NLMSG_ALIGN(sizeof(ifaddrmsg))) return;
        ifaddrmsg message;
        memcpy(&message, body, sizeof(message));
        if (message.ifa_family != family) return;
        const size_t at = NLMSG_ALIGN(sizeof(ifaddrmsg));
        for_each_attribute(body + at, length - at, [&](uint16_t kind, const char* data, size_t n) {
            if ((kind == IFA_LOCAL || kind == IFA_ADDRESS) && n == size && memcmp(data, address, size) == 0) {
                found = true;
            }
        });
    });
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
