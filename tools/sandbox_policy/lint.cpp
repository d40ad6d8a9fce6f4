#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rules/kernel_bound.h"
#include "rules/path_rules.h"
#include "rules/staged_check.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

// A rule as messages show it: values with blanks at the ends or control
// bytes are quoted.
std::string shown(const Rule& rule) {
    const std::string& value = rule.value;
    bool plain = value.empty() || (value[0] != ' ' && value.back() != ' ');
    for (char c : value) plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    return plain ? format_rule(rule) : std::string(rule_by_key(rule.key)->name) + " " + quoted(value);
}

class Linter {
public:
    Linter(const std::vector<Rule>& rules, const Policy* policy, const std::string& path_list)
        : rules_(rules), policy_(policy), path_list_(path_list) {}

    std::vector<Diagnostic> run() {
        for (size_t i = 0; i < rules_.size(); ++i) check_rule(i);
        check_hidden_root();
        check_loader();
        check_path_entries();
        return warnings_;
    }

private:
    void warn(const std::string& origin, const std::string& message) { warnings_.push_back({origin, message}); }

    // A path the canonical stage hides: inside hidden_root, under no visible entry.
    bool is_hidden(const std::string& path) const {
        return is_subpath(path.c_str(), policy_->hidden_root) &&
               !list_has_subpath(&policy_->visible_tree, path.c_str());
    }

    // Hidden, and no visible entry lies below it to make a part of it seen.
    bool is_wholly_hidden(const std::string& path) const {
        if (!is_hidden(path)) return false;
        for (uint64_t i = 0; i < policy_->visible_tree.count; ++i) {
            if (is_subpath(policy_->visible_tree.items[i], path.c_str())) return false;
        }
        return true;
    }

    void check_rule(size_t index) {
        const Rule& rule = rules_[index];
        const RuleName& name = *rule_by_key(rule.key);
        std::string text = shown(rule);
        check_repeat(index, name);
        if (name.kind == VALUE_PATTERN) {
            check_pattern(rule, text);
            return;
        }
        if (name.kind != VALUE_PATH) return;
        if (rule.value.empty()) {
            if (rule.key != 'R' && rule.key != 'S') warn(rule.origin, text + " with no path matches nothing");
            return;
        }
        if (rule.value[0] != '/') {
            warn(rule.origin, text + ": relative path; the sandbox judges absolute paths, so it matches nothing");
            return;
        }
        if (rule.value.size() > 1 && rule.value.back() == '/') {
            std::string bare = rule.value.substr(0, rule.value.find_last_not_of('/') + 1);
            warn(rule.origin, text + ": the trailing '/' makes it cover neither " + bare + " nor " + bare +
                                  "/x; write " + name.name + " " + (bare.empty() ? "/" : bare));
        }
        if (rule.key == 'W' && is_wholly_hidden(rule.value)) {
            warn(rule.origin, text + " is hidden (inside hidden_root " + policy_->hidden_root +
                                  ", under no visible entry), so never writable; add visible " + rule.value);
        }
        // This machine's file system, looked at with its PATH: a writable
        // tree the command is still to make, in a directory that is there.
        if (rule.key == 'W' && !path_list_.empty() && !is_wholly_hidden(rule.value)) {
            const std::string parent = rule.value.substr(0, rule.value.find_last_of('/'));
            const std::string above = parent.empty() ? "/" : parent;
            if (access(rule.value.c_str(), F_OK) != 0 && errno == ENOENT && access(above.c_str(), F_OK) == 0) {
                warn(rule.origin, text +
                                      " does not exist yet: the kernel's bound can rule only what exists, so it "
                                      "lets writes through beneath " +
                                      above + " instead");
            }
        }
        if (rule.key == 'G' && !list_has_subpath(&policy_->write_allow, rule.value.c_str())) {
            warn(rule.origin, text + " is under no write entry: its .git is not writable anyway");
        }
        if (rule.key == 'M' && !is_hidden(rule.value)) {
            warn(rule.origin, text + " is pointless: the path is visible anyway");
        }
    }

    void check_repeat(size_t index, const RuleName& name) {
        const Rule& rule = rules_[index];
        for (size_t j = index; j-- > 0;) {
            if (rules_[j].key != rule.key) continue;
            if (name.last_one_wins) {
                warn(rules_[j].origin, shown(rules_[j]) + " is replaced by " + shown(rule) + " at " + rule.origin +
                                           ": only the last one counts");
                return;
            }
            if (rules_[j].value == rule.value) {
                warn(rule.origin, shown(rule) + " duplicates " + rules_[j].origin);
                return;
            }
        }
    }

    void check_pattern(const Rule& rule, const std::string& text) {
        const std::string& pattern = rule.value;
        if (pattern.empty()) {
            warn(rule.origin, "write_pattern with no pattern matches every path");
            return;
        }
        if (pattern[0] != '^' && pattern.back() != '$') {
            warn(rule.origin, text + " has no ^ or $ anchor: it matches anywhere inside a path");
        }
        // Anchored alternatives are bound at "/" too, but each names where
        // it writes.
        char bound[k_path_size];
        name_pattern_directory(pattern.c_str(), bound);
        if (strcmp(bound, "/") == 0 && pattern.compare(0, 2, "^/") != 0) {
            warn(rule.origin, text +
                                  " may match anywhere: the kernel's bound cannot narrow its writes, and lets "
                                  "writes through everywhere");
        }
        // A pattern anchored to a literal directory writes nothing when that
        // directory is hidden throughout. Alternatives may lead anywhere; a
        // quantifier makes the character before it optional.
        if (pattern.compare(0, 2, "^/") != 0 || pattern.find('|') != std::string::npos) return;
        size_t literal = pattern.find_first_of(".[]()*+?{}\\^$", 1);
        std::string prefix = pattern.substr(1, literal == std::string::npos ? std::string::npos : literal - 1);
        if (literal != std::string::npos && strchr("*?{", pattern[literal]) != nullptr) prefix.pop_back();
        size_t slash = prefix.rfind('/');
        std::string dir = slash == std::string::npos || slash == 0 ? std::string("/") : prefix.substr(0, slash);
        if (is_wholly_hidden(dir)) {
            warn(rule.origin, text + " matches only inside " + dir + ", which is hidden: never writable");
        }
    }

    void check_hidden_root() {
        if (policy_->hidden_root[0] != 0) return;
        for (const Rule& rule : rules_) {
            if (rule.key == 'R' && rule.value.empty()) {
                warn(rule.origin, "an empty hidden_root hides nothing: every path not denied is visible");
            }
        }
    }

    // Programs linked against shared libraries start only when the loader's
    // libraries can be read; they lie beside the loader's canonical path.
    void check_loader() {
        std::string loader = machine_loader();
        if (loader.empty()) return;
        PathStages stages;
        const SandboxTree tree = {getpid(), -1, 0};
        if (judge_path_stages(policy_, loader.c_str(), ACCESS_READ, LastLink::followed, tree, getpid(), &stages)) {
            return;
        }
        std::string canonical = stages.stage[STAGE_FOLLOWED].ran ? stages.followed : stages.canonical;
        std::string dir = canonical.substr(0, canonical.rfind('/'));
        warn("policy", "the dynamic loader " + loader + " (" + canonical + ") and the libraries in " + dir +
                           " are not visible: dynamically linked programs cannot start");
    }

    // The directories of the PATH that exist: a hidden one makes its
    // commands missing to the command, and a program of the same name later
    // on PATH runs instead (a version manager's shim, ~/.local/bin).
    void check_path_entries() {
        const char* path = path_list_.c_str();
        std::vector<std::string> warned;
        for (const char* entry = path; *entry != 0;) {
            const size_t n = strcspn(entry, ":");
            const std::string dir(entry, n);
            entry += n + (entry[n] == ':' ? 1 : 0);
            char canonical[PATH_MAX];
            struct stat status;
            if (dir.empty() || dir[0] != '/' || realpath(dir.c_str(), canonical) == nullptr ||
                stat(canonical, &status) != 0 || !S_ISDIR(status.st_mode) || !is_hidden(canonical)) {
                continue;
            }
            bool seen = false;
            for (const std::string& each : warned) seen = seen || each == canonical;
            if (seen) continue;
            warned.push_back(canonical);
            warn("PATH", dir +
                             " is hidden: its commands are missing under this policy, and one of "
                             "the same name later on PATH runs instead (visible " +
                             std::string(canonical) + " shows it)");
        }
    }

    const std::vector<Rule>& rules_;
    const Policy* policy_;
    const std::string path_list_;
    std::vector<Diagnostic> warnings_;
};

bool read_at(int fd, void* buffer, size_t size, off_t offset) {
    return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

}  // namespace

std::string elf_interpreter(const char* program) {
    int fd = open(program, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string interpreter;
    Elf64_Ehdr header;
    if (read_at(fd, &header, sizeof(header), 0) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == ELFCLASS64) {
        for (unsigned i = 0; i < header.e_phnum && interpreter.empty(); ++i) {
            Elf64_Phdr segment;
            if (!read_at(fd, &segment, sizeof(segment), static_cast<off_t>(header.e_phoff + i * header.e_phentsize))) {
                break;
            }
            if (segment.p_type != PT_INTERP || segment.p_filesz == 0 || segment.p_filesz > 4096) continue;
            std::string name(segment.p_filesz, '\0');
            if (read_at(fd, name.data(), name.size(), static_cast<off_t>(segment.p_offset))) {
                interpreter = name.c_str();
            }
        }
    }
    close(fd);
    return interpreter;
}

std::string machine_loader() {
    std::string loader = elf_interpreter("/bin/sh");
    return loader.empty() ? elf_interpreter("/proc/self/exe") : loader;
}

std::vector<Diagnostic> lint_rules(const std::vector<Rule>& rules, const std::string& path_list) {
    std::vector<Diagnostic> pattern_warnings;
    std::vector<Rule> usable;
    for (const Rule& rule : rules) {
        std::string error = rule.key == 'P' ? pattern_error(rule.value) : "";
        if (error.empty()) {
            usable.push_back(rule);
        } else {
            pattern_warnings.push_back(
                {rule.origin, "write_pattern " + rule.value + " does not compile (" + error + "): sandbox exits 112"});
        }
    }
    Policy policy;
    decode_policy_or_exit(encode_rules(usable).c_str(), &policy);
    std::vector<Diagnostic> warnings = Linter(usable, &policy, path_list).run();
    warnings.insert(warnings.begin(), pattern_warnings.begin(), pattern_warnings.end());
    return warnings;
}
