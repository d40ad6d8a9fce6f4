#include "launcher/handoff.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

namespace {

// One data byte and room for one descriptor, as both ends use them.
struct ListenerMessage {
    char byte;
    iovec data;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr header;
};

void prepare(ListenerMessage* message, char byte) {
    memset(message, 0, sizeof(*message));
    message->byte = byte;
    message->data = {&message->byte, 1};
    message->header.msg_iov = &message->data;
    message->header.msg_iovlen = 1;
    message->header.msg_control = message->control;
    message->header.msg_controllen = sizeof(message->control);
}

}  // namespace

bool send_listener(int channel, int listener) {
    ListenerMessage message;
    prepare(&message, 'F');
    cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &listener, sizeof(int));
    ssize_t sent;
    do {
        sent = sendmsg(channel, &message.header, 0);
    } while (sent < 0 && errno == EINTR);
    return sent == 1;
}

int receive_listener(int channel) {
    ListenerMessage message;
    prepare(&message, 0);
    ssize_t got;
    do {
        got = recvmsg(channel, &message.header, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    if (header == nullptr || header->cmsg_len != CMSG_LEN(sizeof(int))) return -1;
    int listener = -1;
    memcpy(&listener, CMSG_DATA(header), sizeof(int));
    return listener >= 0 ? listener : -1;
}
