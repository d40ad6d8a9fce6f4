// Resolution through symbolic links over a scratch tree built at start-up.
//
// Input: a first byte of flags (bit 0: follow the last link; bit 1: the rest
// is a relative path as text rather than a list of components), then either
// text or one byte per component, each picking a name of the tree, a link,
// ".", "..", an empty component or a /proc or /dev name. The path is the
// scratch root, "/", and that.
//
// Where nothing of /proc or /dev is involved the result must be what
// realpath(3) gives (for the parent, when the last link is not followed or
// the last name does not exist); a short path that realpath resolves must be
// resolved too; a path free of links must resolve to its normalized text;
// and nothing may make the work run past libFuzzer's -timeout.
#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "path/canonicalize.h"
#include "path/link_free.h"
#include "path/normalize.h"

namespace {

std::string g_root;

const char* const k_names[] = {
    "a",      "b",         "c",     "d",       "f",      "l_abs",       "l_rel",   "up",      "upup",  "back",
    "dang",   "dang_abs",  "cyc1",  "loop",    "pself",  "pfd",         "devnull", "stdin_l", "lroot", "dotlink",
    "dotdot", "file_link", "trail", "chain0",  "chain5", "chain20",     "w0",      "w1",      "mz",    "long",
    "..",     ".",         "",      "missing", "proc",   "self",        "dev",     "fd",      "null",  "stdin",
    "0",      "1",         "root",  "cwd",     "task",   "thread-self", "tmp",
};
constexpr size_t k_name_count = sizeof(k_names) / sizeof(k_names[0]);

// Names that lead into /proc or /dev, where the supervisor's view and the
// tracee's differ on purpose and realpath is no reference.
const char* const k_proc_or_dev[] = {"pself", "pfd", "devnull", "stdin_l", "proc", "dev"};

// The link that costs about 1500 steps each time it is followed: three uses
// run into the work budget.
constexpr int k_long_dots = 1500;

// Inputs below this size stay far from every limit (40 links, 4096 steps,
// 4095 bytes) in this tree, unless they use the long link.
constexpr size_t k_small_input = 512;

void make_dir(const std::string& rel) {
    if (mkdir((g_root + "/" + rel).c_str(), 0755) != 0) fuzz_fail("mkdir %s", rel.c_str());
}

void make_file(const std::string& rel) {
    FILE* file = fopen((g_root + "/" + rel).c_str(), "w");
    if (file == nullptr) fuzz_fail("create %s", rel.c_str());
    fclose(file);
}

void make_link(const std::string& target, const std::string& rel) {
    if (symlink(target.c_str(), (g_root + "/" + rel).c_str()) != 0) fuzz_fail("symlink %s", rel.c_str());
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void remove_tree() {
    if (!g_root.empty()) nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void build_tree() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/fuzz-canon-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fuzz_fail("mkdtemp in %s", pattern.c_str());
    char real[PATH_MAX];
    if (realpath(pattern.c_str(), real) == nullptr) fuzz_fail("realpath of the scratch root");
    g_root = real;
    atexit(remove_tree);

    make_dir("a");
    make_dir("a/b");
    make_dir("a/b/d");
    make_file("a/f");
    make_file("a/b/c");
    make_link(g_root + "/a/b", "l_abs");             // absolute
    make_link("a/b", "l_rel");                       // relative
    make_link("../a", "a/up");                       // ".." inside a target
    make_link("../../l_rel/c", "a/b/upup");          // through another link
    make_link("../../../l_abs/../f", "a/b/d/back");  // ".." after a link inside a target
    make_link("nowhere/x", "dang");                  // dangling
    make_link(g_root + "/nowhere", "dang_abs");
    make_link("cyc2", "cyc1");  // a cycle
    make_link("cyc1", "cyc2");
    make_link("loop", "loop");
    make_link("/proc/self", "pself");
    make_link("/proc/self/fd", "pfd");
    make_link("/dev/null", "devnull");
    make_link("/dev/stdin", "stdin_l");
    make_link("/", "lroot");
    make_link(".", "dotlink");
    make_link("..", "dotdot");
    make_link("a/f", "file_link");
    make_link("a/b/", "trail");
    // chain0 needs 45 links, beyond the kernel's 40; chain5 exactly 40.
    for (int i = 0; i < 44; ++i) make_link("chain" + std::to_string(i + 1), "chain" + std::to_string(i));
    make_link("a", "chain44");
    // Each level names the next three times: w0 follows 1 + 3 + 9 + 27 = 40
    // links, w1 13.
    make_link("w1/../w1/../w1", "w0");
    make_link("w2/../w2/../w2", "w1");
    make_link("w3/../w3/../w3", "w2");
    make_link("a/../a", "w3");
    make_link("mz/../mz", "mz");  // never ends: the link limit stops it
    std::string dots;
    for (int i = 0; i < k_long_dots; ++i) dots += "./";
    make_link(dots + "a", "long");
}

int is_plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

// realpath(3) of the parent and the last name as it is: what resolving
// without following the last link must give.
bool resolve_parent(const std::string& path, std::string* out) {
    size_t slash = path.rfind('/');
    std::string last = path.substr(slash + 1);
    if (!is_plain_name(last)) return false;
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    char real[PATH_MAX];
    if (realpath(parent.c_str(), real) == nullptr) return false;
    *out = strcmp(real, "/") == 0 ? "/" + last : std::string(real) + "/" + last;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    build_tree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int follow = data[0] & 1;
    const bool text = (data[0] & 2) != 0;
    std::string rel;
    bool proc_or_dev = false;
    bool uses_long = false;
    if (text) {
        rel.assign(reinterpret_cast<const char*>(data + 1), strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
        for (const char* name : k_proc_or_dev) proc_or_dev = proc_or_dev || rel.find(name) != std::string::npos;
        uses_long = rel.find("long") != std::string::npos;
    } else {
        for (size_t i = 1; i < size; ++i) {
            const char* name = k_names[data[i] % k_name_count];
            if (i > 1) rel += '/';
            rel += name;
            for (const char* s : k_proc_or_dev) proc_or_dev = proc_or_dev || strcmp(name, s) == 0;
            uses_long = uses_long || strcmp(name, "long") == 0;
        }
    }
    std::string path = g_root + "/" + rel;
    if (path.size() > k_path_max) path.resize(k_path_max);
    char* input = fuzz_string(reinterpret_cast<const uint8_t*>(path.c_str()), path.size());
    char* out = fuzz_path_buffer();

    const LastLink last = follow ? LastLink::followed : LastLink::not_followed;
    const bool resolved = canonicalize_path(input, last, out, getpid());
    if (resolved) {
        fuzz_check_path_output(out, "canonicalize_path");
        fuzz_check_clean_path(out, "canonicalize_path");
    }

    std::string expected;
    bool known = false;
    if (!proc_or_dev) {
        if (follow) {
            char real[PATH_MAX];
            known = realpath(input, real) != nullptr;
            if (known) {
                expected = real;
            } else {
                // A last name that does not exist yet (a file about to be
                // created) stays as written below its resolved directory.
                struct stat status;
                known = resolve_parent(path, &expected) && lstat(expected.c_str(), &status) != 0 && errno == ENOENT;
            }
        } else {
            known = resolve_parent(path, &expected);
        }
    }
    if (known && (expected.compare(0, 5, "/proc") == 0 || expected.compare(0, 4, "/dev") == 0)) known = false;
    if (known) {
        if (resolved && expected != out) {
            fuzz_fail("%s (follow %d) resolves to \"%s\", realpath says \"%s\"", input, follow, out, expected.c_str());
        }
        if (!resolved && size < k_small_input && !uses_long) {
            fuzz_fail("%s (follow %d) refused; realpath resolves it to \"%s\"", input, follow, expected.c_str());
        }
    }

    // A path the kernel resolves without meeting a link is taken as its own
    // normalized text, without the walk; the walk must agree.
    char normalized[k_path_size];
    if (normalize_lexical(input, normalized) && strncmp(normalized, "/proc", 5) != 0 &&
        strncmp(normalized, "/dev", 4) != 0 && is_free_of_links(input, last)) {
        if (!resolved) fuzz_fail("%s (follow %d) has no links, yet the walk refused it", input, follow);
        if (strcmp(out, normalized) != 0) {
            fuzz_fail("%s (follow %d) has no links; the walk gives \"%s\", not \"%s\"", input, follow, out, normalized);
        }
    }
    free(out);
    free(input);
    return 0;
}
