#include "launcher/descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/kernel_abi.h"

namespace {

// Decimal digits only, below limit.
bool parse_decimal(const char* text, size_t length, int limit, int* value) {
    if (length == 0) return false;
    long number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
        if (number >= limit) return false;
    }
    *value = static_cast<int>(number);
    return true;
}

// The ranges between kept descriptors, from 3 up to and including last,
// each handed to close_gap(first, last); stops at the first that fails.
template <typename CloseGap>
bool for_each_gap(const KeptDescriptors* kept, unsigned int last, CloseGap close_gap) {
    unsigned int first = 3;
    for (size_t i = 0; i < kept->count; ++i) {
        auto fd = static_cast<unsigned int>(kept->fds[i]);
        // 0 to 2 are always kept; the set holds no repeats.
        if (fd < first) continue;
        if (fd > last) break;
        if (fd > first && !close_gap(first, fd - 1)) return false;
        first = fd + 1;
    }
    return first > last || close_gap(first, last);
}

// Each descriptor from 3 below the soft RLIMIT_NOFILE. A descriptor opened
// before the limit was lowered below it stays: without close_range and
// /proc, nothing else names it.
void close_below_file_limit(const KeptDescriptors* kept) {
    rlimit files;
    rlim_t end = getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : k_descriptor_limit;
    if (end > INT_MAX) end = INT_MAX;
    if (end <= 3) return;
    (void)for_each_gap(kept, static_cast<unsigned int>(end - 1), [](unsigned int first, unsigned int last) {
        // Not retried on EINTR: Linux releases the descriptor even then.
        for (unsigned int fd = first; fd <= last; ++fd) close(static_cast<int>(fd));
        return true;
    });
}

}  // namespace

bool keep_descriptor(KeptDescriptors* kept, int fd) {
    if (fd < 0) return false;
    size_t at = 0;
    while (at < kept->count && kept->fds[at] < fd) ++at;
    if (at < kept->count && kept->fds[at] == fd) return true;
    if (kept->count == sizeof(kept->fds) / sizeof(kept->fds[0])) return false;
    memmove(&kept->fds[at + 1], &kept->fds[at], (kept->count - at) * sizeof(int));
    kept->fds[at] = fd;
    ++kept->count;
    return true;
}

bool is_descriptor_kept(const KeptDescriptors* kept, int fd) {
    for (size_t i = 0; i < kept->count; ++i) {
        if (kept->fds[i] == fd) return true;
    }
    return false;
}

bool parse_descriptor(const char* text, size_t length, int* fd) {
    return parse_decimal(text, length, k_descriptor_limit, fd);
}

bool find_jobserver_fds(const char* flags, int* read_fd, int* write_fd) {
    if (flags == nullptr) return false;
    const char* const prefixes[] = {"--jobserver-auth=", "--jobserver-fds="};
    const char* value = nullptr;
    size_t value_length = 0;
    for (const char* at = flags; *at != 0;) {
        while (*at == ' ' || *at == '\t') ++at;
        const char* word = at;
        while (*at != 0 && *at != ' ' && *at != '\t') ++at;
        auto length = static_cast<size_t>(at - word);
        if (length == 2 && word[0] == '-' && word[1] == '-') break;
        // make and cargo's job-server crate both take the last one.
        for (const char* prefix : prefixes) {
            size_t prefix_length = strlen(prefix);
            if (length >= prefix_length && strncmp(word, prefix, prefix_length) == 0) {
                value = word + prefix_length;
                value_length = length - prefix_length;
            }
        }
    }
    if (value == nullptr) return false;
    const char* comma = static_cast<const char*>(memchr(value, ',', value_length));
    if (comma == nullptr) return false;
    auto read_length = static_cast<size_t>(comma - value);
    return parse_descriptor(value, read_length, read_fd) &&
           parse_descriptor(comma + 1, value_length - read_length - 1, write_fd);
}

bool close_unkept_ranges(const KeptDescriptors* kept) {
    return for_each_gap(kept, UINT_MAX, [](unsigned int first, unsigned int last) {
        return syscall(k_nr_close_range, static_cast<long>(first), static_cast<long>(last), 0L) == 0;
    });
}

void close_unkept_listed(const KeptDescriptors* kept) {
    int dir;
    do {
        dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (dir < 0 && errno == EINTR);
    if (dir < 0) {
        close_below_file_limit(kept);
        return;
    }
    // The kernel lists descriptors in ascending order and resumes after the
    // number last listed, so closing the ones already listed skips none.
    alignas(dirent64) char buffer[2048];
    ssize_t got;
    for (;;) {
        got = getdents64(dir, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = -1;
            // "." and ".." are no numbers.
            if (!parse_decimal(entry->d_name, strlen(entry->d_name), INT_MAX, &fd)) continue;
            if (fd > 2 && fd != dir && !is_descriptor_kept(kept, fd)) close(fd);
        }
    }
    close(dir);
    if (got < 0) close_below_file_limit(kept);
}

void close_unkept_descriptors(const KeptDescriptors* kept) {
    // close_range is Linux 5.9; a container's filter may also refuse the
    // call it does not know with EPERM. The ranges closed before a failure
    // are closed again harmlessly.
    if (!close_unkept_ranges(kept)) close_unkept_listed(kept);
}
