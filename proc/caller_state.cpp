#include "proc/caller_state.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include "base/io.h"

namespace {

// The text after "\n<name>:" and its blanks, or null.
const char* field_of(const char* text, const char* name) {
    char key[32];
    snprintf(key, sizeof(key), "\n%s:", name);
    const char* at = strstr(text, key);
    if (at == nullptr) return nullptr;
    at += strlen(key);
    while (*at == ' ' || *at == '\t') ++at;
    return at;
}

// The fourth id of a "Uid:" or "Gid:" line: the one file access uses.
bool parse_fs_id(const char* text, const char* name, unsigned* id) {
    const char* at = field_of(text, name);
    unsigned ids[4];
    if (at == nullptr || sscanf(at, "%u %u %u %u", &ids[0], &ids[1], &ids[2], &ids[3]) != 4) return false;
    *id = ids[3];
    return true;
}

bool read_proc_text(const char* format, pid_t pid, char* text, size_t size) {
    char name[64];
    snprintf(name, sizeof(name), format, static_cast<int>(pid));
    return read_small_file(name, text, size) > 0;
}

}  // namespace

bool parse_umask(const char* status, mode_t* umask_out) {
    const char* at = field_of(status, "Umask");
    if (at == nullptr) return false;
    char* end = nullptr;
    const unsigned long value = strtoul(at, &end, 8);
    if (end == at || value > 0777) return false;
    *umask_out = static_cast<mode_t>(value);
    return true;
}

bool parse_credentials(const char* status, Credentials* out) {
    unsigned uid = 0;
    unsigned gid = 0;
    const char* caps = field_of(status, "CapEff");
    const char* groups = field_of(status, "Groups");
    if (!parse_fs_id(status, "Uid", &uid) || !parse_fs_id(status, "Gid", &gid) || caps == nullptr ||
        groups == nullptr) {
        return false;
    }
    out->fsuid = uid;
    out->fsgid = gid;
    char* end = nullptr;
    out->effective_caps = strtoull(caps, &end, 16);
    if (end == caps) return false;
    out->group_count = 0;
    const char* at = groups;
    while (*at != '\n' && *at != 0) {
        char* next = nullptr;
        const unsigned long group = strtoul(at, &next, 10);
        if (next == at) break;
        if (out->group_count == static_cast<int>(sizeof(out->groups) / sizeof(out->groups[0]))) {
            out->group_count = -1;
            return true;
        }
        out->groups[out->group_count++] = static_cast<gid_t>(group);
        at = next;
        while (*at == ' ') ++at;
    }
    return true;
}

// The command name may hold ')' and blanks: the fields follow the last ')'.
bool parse_terminal(const char* stat, dev_t* terminal) {
    const char* close_paren = strrchr(stat, ')');
    if (close_paren == nullptr) return false;
    char state;
    int parent;
    int group;
    int session;
    unsigned number;
    if (sscanf(close_paren + 1, " %c %d %d %d %u", &state, &parent, &group, &session, &number) != 5) return false;
    // tty_nr packs the minor number's low byte under the major number and
    // its other bits above it.
    *terminal = makedev((number >> 8) & 0xfff, (number & 0xff) | ((number >> 12) & 0xfff00));
    return true;
}

bool read_umask(pid_t pid, mode_t* umask_out) {
    char text[2048];
    return read_proc_text("/proc/%d/status", pid, text, sizeof(text)) && parse_umask(text, umask_out);
}

bool read_credentials(pid_t pid, Credentials* out) {
    char text[4096];
    return read_proc_text("/proc/%d/status", pid, text, sizeof(text)) && parse_credentials(text, out);
}

bool read_terminal(pid_t pid, dev_t* terminal) {
    char text[1024];
    return read_proc_text("/proc/%d/stat", pid, text, sizeof(text)) && parse_terminal(text, terminal);
}

bool is_same_access(const Credentials& a, const Credentials& b) {
    if (a.fsuid != b.fsuid || a.fsgid != b.fsgid || a.effective_caps != b.effective_caps) return false;
    if (a.group_count != b.group_count || a.group_count < 0) return false;
    for (int i = 0; i < a.group_count; ++i) {
        bool found = false;
        for (int k = 0; k < b.group_count && !found; ++k) found = a.groups[i] == b.groups[k];
        if (!found) return false;
    }
    return true;
}
