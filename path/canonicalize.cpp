#include "path/canonicalize.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "path/normalize.h"
#include "proc/process_tree.h"

namespace {

// Where the resolved prefix stands, for the entries that must not be
// resolved in the supervisor's own view.
enum Position {
    POSITION_ORDINARY,
    POSITION_PROC,           // "/proc"
    POSITION_PROCESS,        // "/proc/N" or "/proc/N/task/M"
    POSITION_DESCRIPTORS,    // "/proc/N/fd" or "/proc/N/task/M/fd"
    POSITION_PROCESS_ENTRY,  // anything else below "/proc/"
};

bool is_digits(const char* text, size_t length) {
    if (length == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

size_t skip_digits(const char* text) {
    size_t n = 0;
    while (text[n] >= '0' && text[n] <= '9') ++n;
    return n;
}

Position classify(const char* resolved) {
    if (strncmp(resolved, "/proc", 5) != 0) return POSITION_ORDINARY;
    if (resolved[5] == 0) return POSITION_PROC;
    if (resolved[5] != '/') return POSITION_ORDINARY;
    const char* at = resolved + 6;
    size_t n = skip_digits(at);
    if (n == 0) return POSITION_PROCESS_ENTRY;
    at += n;
    if (strncmp(at, "/task/", 6) == 0) {
        size_t m = skip_digits(at + 6);
        if (m > 0) at += 6 + m;
    }
    if (*at == 0) return POSITION_PROCESS;
    if (strcmp(at, "/fd") == 0) return POSITION_DESCRIPTORS;
    return POSITION_PROCESS_ENTRY;
}

struct Walk {
    char* out;
    size_t length;
    char pending[2][k_path_size];
    int which;
    const char* rest;
    int links;
    int steps;
    pid_t tracee_pid;
    pid_t tracee_tgid;  // looked up the first time "self" is met
};

// A resolution the kernel would fail as well, with the errno it gives.
[[nodiscard]] bool fail(int error) {
    errno = error;
    return false;
}

[[nodiscard]] bool append(Walk* walk, const char* component, size_t n) {
    size_t separator = walk->length > 1 ? 1 : 0;
    if (walk->length + separator + n > k_path_max) return fail(ENAMETOOLONG);
    if (separator) walk->out[walk->length++] = '/';
    memcpy(walk->out + walk->length, component, n);
    walk->length += n;
    walk->out[walk->length] = 0;
    return true;
}

void drop_last(Walk* walk) {
    while (walk->length > 1 && walk->out[walk->length - 1] != '/') --walk->length;
    if (walk->length > 1) --walk->length;
    walk->out[walk->length] = 0;
}

[[nodiscard]] bool append_self(Walk* walk, bool thread) {
    if (walk->tracee_tgid == 0) walk->tracee_tgid = thread_group_of(walk->tracee_pid);
    char entry[48];
    int n = thread ? snprintf(entry, sizeof(entry), "%d/task/%d", walk->tracee_tgid, walk->tracee_pid)
                   : snprintf(entry, sizeof(entry), "%d", walk->tracee_tgid);
    return append(walk, entry, static_cast<size_t>(n));
}

// The remaining path becomes target, "/" and what was left after the link.
[[nodiscard]] bool splice(Walk* walk, const char* target) {
    char* next = walk->pending[1 - walk->which];
    int written = snprintf(next, k_path_size, "%s/%s", target, walk->rest);
    if (written < 0 || static_cast<size_t>(written) > k_path_max) return fail(ENAMETOOLONG);
    walk->which = 1 - walk->which;
    walk->rest = next;
    return true;
}

// Appends component and, if it is a link, replaces it by its target. Links
// below a process entry whose target is no path (a pipe, a socket) stay as
// they are.
[[nodiscard]] bool resolve(Walk* walk, const char* component, size_t n, bool magic) {
    size_t before = walk->length;
    if (!append(walk, component, n)) return false;
    char target[k_path_size];
    ssize_t got;
    do {
        got = readlink(walk->out, target, sizeof(target));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return true;
    if (static_cast<size_t>(got) >= sizeof(target) - 1) return fail(ENAMETOOLONG);
    target[got] = 0;
    if (magic && target[0] != '/') return true;
    if (++walk->links > k_max_links) return fail(ELOOP);
    walk->length = target[0] == '/' ? 1 : before;
    walk->out[walk->length] = 0;
    return splice(walk, target);
}

// 0, 1 or 2 for "stdin", "stdout" and "stderr"; -1 for any other name.
int standard_stream(const char* component, size_t n) {
    static const char* const k_names[] = {"stdin", "stdout", "stderr"};
    for (int i = 0; i < 3; ++i) {
        if (n == strlen(k_names[i]) && strncmp(component, k_names[i], n) == 0) return i;
    }
    return -1;
}

bool only_slashes(const char* text) {
    while (*text == '/') ++text;
    return *text == 0;
}

enum class Step : uint8_t { more, done, failed };

Step go_on_if(bool succeeded) {
    return succeeded ? Step::more : Step::failed;
}

// One component of the remaining path.
Step step(Walk* walk, bool follow) {
    while (*walk->rest == '/') ++walk->rest;
    if (*walk->rest == 0) return Step::done;
    if (++walk->steps > k_resolution_budget) return go_on_if(fail(ELOOP));
    const char* component = walk->rest;
    size_t n = strcspn(component, "/");
    walk->rest = component + n;
    bool last = only_slashes(walk->rest);

    if (n == 1 && component[0] == '.') return Step::more;
    if (n == 2 && component[0] == '.' && component[1] == '.') {
        drop_last(walk);
        return Step::more;
    }

    switch (classify(walk->out)) {
    case POSITION_PROC:
        if (n == 4 && strncmp(component, "self", 4) == 0) return go_on_if(append_self(walk, false));
        if (n == 11 && strncmp(component, "thread-self", 11) == 0) return go_on_if(append_self(walk, true));
        return go_on_if(append(walk, component, n));
    case POSITION_PROCESS:
        // "root" and "cwd" are prefix tests: "rootx" is looked up like any
        // other name and simply does not exist.
        if ((n >= 4 && strncmp(component, "root", 4) == 0) || (n >= 3 && strncmp(component, "cwd", 3) == 0)) {
            if (last && !follow) return go_on_if(append(walk, component, n));
            return go_on_if(resolve(walk, component, n, true));
        }
        return go_on_if(append(walk, component, n));
    case POSITION_DESCRIPTORS:
        if (last && (is_digits(component, n) || !follow)) return go_on_if(append(walk, component, n));
        return go_on_if(resolve(walk, component, n, true));
    case POSITION_PROCESS_ENTRY: return go_on_if(append(walk, component, n));
    case POSITION_ORDINARY: break;
    }

    if (walk->length == 4 && strcmp(walk->out, "/dev") == 0) {
        if (last && n == 4 && strncmp(component, "null", 4) == 0) return go_on_if(append(walk, component, n));
        // The standard stream names are "/dev/fd/0" to "/dev/fd/2" by
        // another name; not followed, they are judged as those.
        int stream = standard_stream(component, n);
        if (stream >= 0 && last && !follow && walk->links == 0) {
            char name[8] = {'f', 'd', '/', static_cast<char>('0' + stream), 0};
            return go_on_if(append(walk, name, 4));
        }
        // "/dev/fd" and "/dev/fd/X" named as such are kept as written.
        // Reached through a link, or with more below them, they are the
        // tracee's descriptors.
        if (n == 2 && strncmp(component, "fd", 2) == 0 && walk->links == 0) {
            if (last) return go_on_if(append(walk, component, n));
            const char* next = walk->rest;
            while (*next == '/') ++next;
            size_t m = strcspn(next, "/");
            bool single =
                only_slashes(next + m) && !(m == 1 && next[0] == '.') && !(m == 2 && next[0] == '.' && next[1] == '.');
            if (single) {
                if (!append(walk, component, n) || !append(walk, next, m)) return Step::failed;
                walk->rest = next + m;
                return Step::done;
            }
        }
    }
    if (last && !follow) return go_on_if(append(walk, component, n));
    return go_on_if(resolve(walk, component, n, false));
}

}  // namespace

bool canonicalize_path(const char* path, LastLink last, char* out, pid_t tracee_pid) {
    Walk walk;
    walk.out = out;
    walk.length = 1;
    out[0] = '/';
    out[1] = 0;
    walk.which = 0;
    walk.links = 0;
    walk.steps = 0;
    walk.tracee_pid = tracee_pid;
    walk.tracee_tgid = 0;
    size_t n = strlen(path);
    if (n > k_path_max) return fail(ENAMETOOLONG);
    memcpy(walk.pending[0], path, n + 1);
    walk.rest = walk.pending[0];
    const bool follow = last == LastLink::followed;
    for (;;) {
        Step result = step(&walk, follow);
        if (result != Step::more) return result == Step::done;
    }
}
