#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "rules/path_rules.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

// Files of the home directory that hold keys and passwords: denied even
// when the workspace is the home directory itself.
const char* const k_secret_dirs[] = {"~/.ssh",    "~/.gnupg",          "~/.aws",           "~/.azure",    "~/.kube",
                                     "~/.docker", "~/.password-store", "~/.config/gcloud", "~/.config/gh"};
const char* const k_secret_files[] = {"~/.netrc", "~/.git-credentials", "~/.pgpass", "~/.npmrc", "~/.pypirc"};

class Preset {
public:
    void line(const std::string& text) { text_ += text + "\n"; }
    void rule(const std::string& name, const std::string& value) {
        line(name + " " + value);
        if (name == "visible") visible_.push_back(value);
    }
    bool is_visible(const std::string& path) const {
        for (const std::string& entry : visible_) {
            if (is_subpath(path.c_str(), entry.c_str())) return true;
        }
        return false;
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::vector<std::string> visible_;
};

// Merged-/usr systems keep /bin, /lib and the like as links into /usr, and
// paths are judged resolved, so /usr covers them; elsewhere they are real
// directories and must be named.
void system_rules(Preset* preset) {
    preset->line("# The system: programs, libraries, configuration and devices, read-only.");
    preset->rule("visible", "/usr");
    preset->rule("visible", "/etc");
    std::string links;
    for (const char* dir : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        struct stat st;
        if (lstat(dir, &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) preset->rule("visible", dir);
        if (S_ISLNK(st.st_mode)) links += std::string(links.empty() ? "" : ", ") + dir;
    }
    if (!links.empty()) {
        preset->line("# " + links + ": links into /usr; paths are judged resolved, so /usr covers them.");
    }
    for (const char* dir : {"/dev", "/proc", "/sys"}) preset->rule("visible", dir);
    preset->line("# Password hashes stay unreadable even to a command run as root.");
    preset->rule("deny_exact", "/etc/shadow");
    preset->rule("deny_exact", "/etc/gshadow");
}

// Tools that resolve a path (realpath, getcwd fallbacks) look at each
// parent; hidden parents show their metadata and nothing else.
void parent_rules(Preset* preset, const std::string& dir) {
    std::vector<std::string> parents;
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        parents.push_back(dir.substr(0, slash));
    }
    parents.insert(parents.begin(), "/");
    bool said = false;
    for (const std::string& parent : parents) {
        if (parent == dir || preset->is_visible(parent)) continue;
        if (!said) preset->line("\n# The parents of " + dir + ": their metadata only, for tools that resolve it.");
        said = true;
        preset->rule("stat_allow", parent);
    }
}

void scratch_rules(Preset* preset) {
    preset->line("\n# Scratch space.");
    preset->rule("visible", "/tmp");
    preset->rule("write", "/tmp");
}

void workspace_rules(Preset* preset, const std::string& dir, bool git, bool writable) {
    preset->line("\n# The directory worked on" + std::string(writable ? ", writable" : ", read-only") + ".");
    preset->rule("visible", dir);
    if (!writable) return;
    preset->rule("write", dir);
    if (git) {
        preset->line("# Its .git may be written (commits, branches).");
        preset->rule("git_write", dir);
    } else {
        preset->line("# A .git component is never written outside git_write entries: its history stays as it is.");
        preset->line("# git_write " + dir);
    }
}

void secret_rules(Preset* preset) {
    preset->line("\n# The home directory is hidden (hidden_root /) but for what is named above; keys and");
    preset->line("# passwords stay denied even when the workspace is the home directory itself.");
    for (const char* dir : k_secret_dirs) preset->rule("deny", dir);
    for (const char* file : k_secret_files) preset->rule("deny_exact", file);
    preset->line("# git warns that it cannot read ~/.config/git/ignore; to let it read its own settings:");
    preset->line("# visible ~/.gitconfig");
    preset->line("# visible ~/.config/git");
}

void name_service_rules(Preset* preset) {
    preset->line("\n# Name service: /etc/resolv.conf, /etc/nsswitch.conf and /etc/hosts are under /etc; the sockets");
    preset->line("# of nscd and systemd-resolved are always reachable; the stub resolv.conf of systemd-resolved");
    preset->line("# is a link into /run/systemd/resolve.");
    preset->rule("visible", "/run/systemd/resolve");
    char resolv[PATH_MAX];
    std::string dir = realpath("/etc/resolv.conf", resolv) != nullptr ? resolv : "";
    dir = dir.substr(0, dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
    if (!dir.empty() && !preset->is_visible(resolv)) {
        preset->line("# /etc/resolv.conf is a link into " + dir + ".");
        preset->rule("visible", dir);
    }
    if (has_loopback_resolver("/etc/resolv.conf")) {
        preset->line("# /etc/resolv.conf names a resolver on loopback: DNS goes to its port 53.");
        preset->rule("loopback_allow", "53");
    }
}

bool port_rules(Preset* preset, const std::vector<std::string>& ports, std::string* error) {
    if (ports.empty()) {
        preset->line("\n# No loopback service is reachable: add loopback_allow PORT lines (--port PORT).");
        return true;
    }
    preset->line("\n# Loopback services the command may reach.");
    for (const std::string& port : ports) {
        char* end = nullptr;
        long number = strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != 0 || number < 1 || number > 65535) {
            *error = "not a port: " + port;
            return false;
        }
        preset->rule("loopback_allow", std::to_string(number));
    }
    return true;
}

}  // namespace

bool has_loopback_resolver(const char* resolv_conf) {
    FILE* file = fopen(resolv_conf, "r");
    if (file == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof(line), file) != nullptr) {
        char server[256];
        if (sscanf(line, " nameserver %255s", server) != 1) continue;
        found = strncmp(server, "127.", 4) == 0 || strcmp(server, "::1") == 0;
    }
    fclose(file);
    return found;
}

bool make_preset(const PresetRequest& request, std::string* text, std::string* error) {
    bool readonly = request.name == "readonly";
    if (!readonly && request.name != "build" && request.name != "workspace") {
        *error = "unknown preset '" + request.name + "' (readonly, build, workspace)";
        return false;
    }
    if (request.dir.empty() && !readonly) {
        *error = request.name + " needs a directory";
        return false;
    }
    if (readonly && request.git) {
        *error = "readonly writes nothing: --git does not apply";
        return false;
    }
    char canonical[PATH_MAX];
    std::string asked = request.dir.empty() ? "." : request.dir;
    struct stat st;
    if (realpath(asked.c_str(), canonical) == nullptr || stat(canonical, &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "not a directory: " + asked;
        return false;
    }
    std::string dir = canonical;
    Preset preset;
    preset.line("# sandbox-policy preset " + request.name + " " + dir);
    preset.line("# Edit as needed, then: sandbox --policy \"$(sandbox-policy encode FILE)\" -- COMMAND");
    preset.line("# Paths inside hidden_root are hidden unless under a visible entry.");
    preset.rule("hidden_root", "/");
    preset.line("");
    system_rules(&preset);
    workspace_rules(&preset, dir, request.git, !readonly);
    if (readonly) preset.line("# Nothing is writable but /dev/null.");
    if (!readonly) scratch_rules(&preset);
    if (request.name == "workspace") {
        secret_rules(&preset);
        name_service_rules(&preset);
    }
    parent_rules(&preset, dir);
    if (!port_rules(&preset, request.ports, error)) return false;
    *text = preset.text();
    return true;
}
