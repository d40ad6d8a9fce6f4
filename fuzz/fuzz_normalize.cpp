// The string transformations on paths: lexical normalization, the
// /proc/self rewrite and joining.
//
// Input: a path (up to its first NUL, at most 4095 bytes). The first byte
// also says where to split the input for join_path.
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "path/normalize.h"
#include "proc/process_tree.h"

namespace {

// Lexical normalization written again from its description: components,
// "." dropped, ".." removing the last kept one (none above "/"). Returns
// false when the kept components ever number more than 512 or the result
// would not fit, the cases in which normalize_lexical refuses.
bool normalize_independently(const std::string& path, std::string* out) {
    std::vector<std::string> kept;
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string component = path.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        if (kept.size() == static_cast<size_t>(k_max_components)) return false;
        kept.push_back(component);
    }
    out->clear();
    for (const std::string& component : kept) *out += "/" + component;
    if (out->empty()) *out = "/";
    return out->size() <= k_path_max;
}

void check_normalize(const char* path) {
    char* out = fuzz_path_buffer();
    const bool normalized = normalize_lexical(path, out);
    std::string expected;
    bool fits = normalize_independently(path, &expected);
    if (normalized) {
        fuzz_check_path_output(out, "normalize_lexical");
        fuzz_check_clean_path(out, "normalize_lexical");
        if (!fits || expected != out) {
            fuzz_fail("normalize_lexical gave \"%s\", expected \"%s\"", out, expected.c_str());
        }
        char* again = fuzz_path_buffer();
        if (!normalize_lexical(out, again) || strcmp(out, again) != 0) {
            fuzz_fail("normalize_lexical is not idempotent on \"%s\"", out);
        }
        free(again);
    } else if (fits) {
        fuzz_fail("normalize_lexical refused a path that fits as \"%s\"", expected.c_str());
    }
    free(out);
}

void check_rewrite(const char* path) {
    char* out = fuzz_path_buffer();
    int pid = static_cast<int>(getpid());
    if (rewrite_proc_self(path, pid, out)) {
        fuzz_check_path_output(out, "rewrite_proc_self");
        std::string text = path;
        std::string expected = text;
        std::string own = "/proc/" + std::to_string(thread_group_of(pid));
        auto names = [&](const std::string& prefix) {
            return text.compare(0, prefix.size(), prefix) == 0 &&
                   (text.size() == prefix.size() || text[prefix.size()] == '/');
        };
        if (names("/proc/self")) {
            expected = own + text.substr(10);
        } else if (names("/proc/thread-self")) {
            expected = own + "/task/" + std::to_string(pid) + text.substr(17);
        }
        if (expected != out) fuzz_fail("rewrite_proc_self gave \"%s\", expected \"%s\"", out, expected.c_str());
    } else if (strncmp(path, "/proc/", 6) != 0) {
        // Only a rewrite lengthens a path; one that fits and is not rewritten
        // always fits.
        fuzz_fail("rewrite_proc_self refused \"%s\"", path);
    }
    free(out);
}

void check_join(const char* dir, const char* name) {
    char* out = fuzz_path_buffer();
    join_path(out, dir, name);
    size_t length = fuzz_check_path_output(out, "join_path");
    std::string whole = strcmp(dir, "/") == 0 ? std::string("/") + name : std::string(dir) + "/" + name;
    // A directory that leaves room for the "/" is kept whole and only the
    // name is cut, so the result is a prefix of the whole; parts that fit
    // are not cut at all.
    if (strlen(dir) < k_path_max && whole.compare(0, length, out) != 0) {
        fuzz_fail("join_path gave \"%s\", not a prefix of \"%s\"", out, whole.c_str());
    }
    if (whole.size() <= k_path_max && whole != out) fuzz_fail("join_path cut \"%s\" to \"%s\"", whole.c_str(), out);
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t n = strnlen(reinterpret_cast<const char*>(data), size);
    if (n > k_path_max) n = k_path_max;
    char* path = fuzz_string(data, n);

    check_normalize(path);
    check_rewrite(path);

    size_t split = n == 0 ? 0 : data[0] % (n + 1);
    char* dir = fuzz_string(data, split);
    char* name = fuzz_string(data + split, n - split);
    check_join(dir, name);
    check_join("/", name);
    free(dir);
    free(name);

    free(path);
    return 0;
}
