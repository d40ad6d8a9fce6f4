#include "rules/message_rules.h"

#include <string.h>

#include "path/tracee_path.h"
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

int check_message_destinations(const Tracee* tracee, uint64_t address, uint64_t count, size_t stride) {
    // The kernel sends no more than it can take in one call; later headers
    // are never read by it.
    if (count > k_max_messages) count = k_max_messages;
    unsigned char batch[k_batch_bytes];
    const uint64_t per_batch = k_batch_bytes / stride;
    for (uint64_t done = 0; done < count;) {
        uint64_t n = count - done < per_batch ? count - done : per_batch;
        if (read_tracee_mem(tracee->pid, address + done * stride, batch, n * stride) != 0) return 0;
        for (uint64_t i = 0; i < n; ++i) {
            NameField field = name_of(batch + i * stride);
            // check_sockaddr confirms that the call is still pending after
            // its own read, which covers the headers read before it.
            if (field.name != 0 && !check_sockaddr(tracee, field.name, field.length)) return 0;
        }
        done += n;
    }
    return 1;
}
