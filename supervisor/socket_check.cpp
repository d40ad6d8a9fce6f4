#include "supervisor/socket_check.h"

#include <string.h>

#include "rules/socket_rules.h"

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

}  // namespace

bool check_sockaddr(const PendingCall& call, uint64_t address, uint64_t length) {
    if (address == 0 || length <= 1) return true;
    unsigned char copy[k_sockaddr_copy];
    memset(copy, 0, sizeof(copy));
    size_t n = length < k_sockaddr_copy ? static_cast<size_t>(length) : k_sockaddr_copy;
    if (!read_tracee_mem(call.pid, address, copy, n)) return false;
    // Only now is the copy the caller's, of this very call.
    if (!is_call_pending(call)) return false;
    return judge_sockaddr(call.policy, copy, length);
}

bool check_message_destinations(const PendingCall& call, uint64_t address, uint64_t count, size_t stride) {
    // The kernel sends no more than it can take in one call; later headers
    // are never read by it.
    if (count > k_max_messages) count = k_max_messages;
    unsigned char batch[k_batch_bytes];
    const uint64_t per_batch = k_batch_bytes / stride;
    for (uint64_t done = 0; done < count;) {
        uint64_t n = count - done < per_batch ? count - done : per_batch;
        if (!read_tracee_mem(call.pid, address + done * stride, batch, n * stride)) return false;
        for (uint64_t i = 0; i < n; ++i) {
            NameField field = name_of(batch + i * stride);
            // check_sockaddr confirms that the call is still pending after
            // its own read, which covers the headers read before it.
            if (field.name != 0 && !check_sockaddr(call, field.name, field.length)) return false;
        }
        done += n;
    }
    return true;
}
