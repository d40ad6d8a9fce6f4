#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <utility>

#include "rules/path_rules.h"
#include "tools/sandbox_policy/policy_tool.h"

namespace {

// Files of the home directory that hold keys and passwords: denied even
// when the workspace is the home directory itself.
const char* const k_secret_dirs[] = {"~/.ssh",    "~/.gnupg",          "~/.aws",           "~/.azure",    "~/.kube",
                                     "~/.docker", "~/.password-store", "~/.config/gcloud", "~/.config/gh"};
const char* const k_secret_files[] = {"~/.netrc", "~/.git-credentials", "~/.pgpass", "~/.npmrc", "~/.pypirc"};

// Files of /etc that only root (or the group of the daemon using one) may
// read: denied to every command, since one run as root could read them. A
// path missing on this machine is denied all the same: the policy may travel.
struct EtcSecret {
    const char* rule;  // deny_exact for a file, deny for a directory
    const char* path;
};
// clang-format off
const EtcSecret k_etc_secrets[] = {
    {"deny_exact", "/etc/shadow"},                // password hashes, and the backups the shadow tools keep
    {"deny_exact", "/etc/shadow-"},
    {"deny_exact", "/etc/gshadow"},
    {"deny_exact", "/etc/gshadow-"},
    {"deny_exact", "/etc/security/opasswd"},      // earlier password hashes (pam_pwhistory)
    {"deny_exact", "/etc/sudoers"},               // who may become whom, with or without a password
    {"deny",       "/etc/sudoers.d"},
    {"deny_exact", "/etc/ssh/ssh_host_rsa_key"},  // the host's private keys: whoever holds them can pose as it
    {"deny_exact", "/etc/ssh/ssh_host_ecdsa_key"},
    {"deny_exact", "/etc/ssh/ssh_host_ed25519_key"},
    {"deny_exact", "/etc/ssh/ssh_host_dsa_key"},
    {"deny",       "/etc/ssl/private"},           // TLS private keys (ssl-cert)
    {"deny",       "/etc/letsencrypt/accounts"},  // certbot's account and certificate keys
    {"deny",       "/etc/letsencrypt/archive"},
    {"deny",       "/etc/letsencrypt/keys"},
    {"deny",       "/etc/letsencrypt/live"},
    {"deny_exact", "/etc/krb5.keytab"},           // Kerberos keys of the host's services
    {"deny",       "/etc/sssd"},                  // sssd's bind passwords; clients ask the daemon, not its files
    {"deny_exact", "/etc/nslcd.conf"},            // nslcd's LDAP bind password, likewise
    {"deny",       "/etc/NetworkManager/system-connections"},  // Wi-Fi and VPN passwords
    {"deny",       "/etc/wireguard"},             // WireGuard private keys
    {"deny_exact", "/etc/ipsec.secrets"},         // IPsec pre-shared keys and key passphrases
    {"deny",       "/etc/ipsec.d/private"},       // IPsec private keys
    {"deny_exact", "/etc/ppp/chap-secrets"},      // PPP (dial-up, PPPoE, VPN) passwords
    {"deny_exact", "/etc/ppp/pap-secrets"},
    {"deny",       "/etc/libvirt/secrets"},       // libvirt's stored secrets (disk encryption, storage logins)
    {"deny_exact", "/etc/mysql/debian.cnf"},      // the maintenance login of MariaDB and MySQL
    {"deny_exact", "/etc/exim4/passwd.client"},   // exim4's passwords for the mail servers it relays through
    {"deny_exact", "/etc/chrony/chrony.keys"},    // chrony's NTP authentication keys
};
// clang-format on

// Devices programs use; disks and the other raw devices stay hidden.
const char* const k_devices[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom", "/dev/tty",
                                 "/dev/pts",  "/dev/ptmx", "/dev/fd",   "/dev/stdin",  "/dev/stdout",  "/dev/stderr"};

// What a tool of the user's needs of the home directory the presets hide:
// its settings read-only, its caches writable (read-only under readonly),
// its keys still denied.
struct ToolNeeds {
    const char* name;
    const char* why;
    const char* visible[3];
    const char* writable[3];
    const char* denied[3];
};
// clang-format off
const ToolNeeds k_tools[] = {
    {"git", "git's own settings, read-only (commits need user.name)",
     {"~/.gitconfig", "~/.config/git"}, {}, {}},
    {"npm", "npm's cache; ~/.npmrc, which may hold registry tokens, stays denied",
     {"~/.npm"}, {"~/.npm"}, {}},
    {"pip", "pip's settings and cache",
     {"~/.config/pip", "~/.cache/pip"}, {"~/.cache/pip"}, {}},
    {"cargo", "the Rust toolchain and cargo's caches; its registry tokens stay denied",
     {"~/.cargo", "~/.rustup"}, {"~/.cargo/registry", "~/.cargo/git"},
     {"~/.cargo/credentials", "~/.cargo/credentials.toml"}},
    {"local-bin", "the user's own programs, read-only",
     {"~/.local/bin"}, {}, {}},
};
// clang-format on

class Preset {
public:
    void line(const std::string& text) { text_ += text + "\n"; }
    // A rule already given (the directory worked on may be a system one)
    // is not repeated.
    void rule(const std::string& name, const std::string& value) {
        if (has(name, value)) return;
        line(name + " " + value);
        rules_.emplace_back(name, value);
    }
    bool has(const std::string& name, const std::string& value) const {
        for (const auto& [given, entry] : rules_) {
            if (given == name && entry == value) return true;
        }
        return false;
    }
    bool is_visible(const std::string& path) const {
        for (const auto& [given, entry] : rules_) {
            if (given == "visible" && is_subpath(path.c_str(), entry.c_str())) return true;
        }
        return false;
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::vector<std::pair<std::string, std::string>> rules_;
};

// Merged-/usr systems keep /bin, /lib and the like as links into /usr, and
// paths are judged resolved, so /usr covers them; elsewhere they are real
// directories and must be named.
void system_rules(Preset* preset) {
    preset->line("# The system: programs, libraries and configuration, read-only.");
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
    for (const char* dir : {"/proc", "/sys"}) preset->rule("visible", dir);
    preset->line("# The kernel's memory, which a command run as root could read files out of.");
    preset->rule("deny_exact", "/proc/kcore");
    preset->line("\n# Files of /etc that only root may read stay unreadable even to a command run as root:");
    preset->line("# password hashes, sudo's rules, private keys, the passwords and keys of network services.");
    for (const EtcSecret& secret : k_etc_secrets) preset->rule(secret.rule, secret.path);
}

// A command run as root could read any file off a visible disk device, so
// /dev shows only what programs use. /dev/fd and /dev/std* are links to the
// command's own descriptors, which the rules judge apart; they are named
// for the paths that reach them through another link.
void device_rules(Preset* preset, const std::string& dir, bool writable) {
    preset->line("\n# Only the devices programs use: disks and other raw devices stay hidden, even from a command");
    preset->line("# run as root. /dev/null and /dev/fd (where /dev/std* lead) need only be visible to be written.");
    for (const char* device : k_devices) preset->rule("visible", device);
    preset->line("# Terminals are opened for reading and writing (prompts, full-screen programs, openpty):");
    preset->line("# that writes to the terminal, no file.");
    for (const char* terminal : {"/dev/tty", "/dev/pts", "/dev/ptmx"}) preset->rule("write", terminal);
    if (writable) {
        preset->line("# POSIX shared memory and semaphores (Python's multiprocessing, browsers); the supervisor");
        preset->line("# lets the command reach only the objects its own tree created there.");
        preset->rule("visible", "/dev/shm");
        preset->rule("write", "/dev/shm");
    } else {
        preset->line("# POSIX shared memory, not writable: this preset creates nothing, and the supervisor lets");
        preset->line("# the command reach only the objects its own tree created there.");
        preset->rule("visible", "/dev/shm");
    }
    if (is_subpath("/dev", dir.c_str())) return;
    preset->line("# /dev itself: its metadata only, for tools that resolve the paths below it.");
    preset->rule("stat_allow", "/dev");
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
        if (parent == dir || preset->is_visible(parent) || preset->has("stat_allow", parent)) continue;
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
    preset->line("# git, npm, pip and cargo find no settings or caches here: --with names the tools to show.");
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

void tool_rules(Preset* preset, const ToolNeeds& tool, bool writable) {
    preset->line(std::string("\n# --with ") + tool.name + ": " + tool.why + ".");
    for (const char* path : tool.visible) {
        if (path != nullptr) preset->rule("visible", path);
    }
    for (const char* path : tool.writable) {
        if (path != nullptr && writable) preset->rule("write", path);
    }
    for (const char* path : tool.denied) {
        if (path != nullptr) preset->rule("deny_exact", path);
    }
}

const ToolNeeds* find_tool(const std::string& name) {
    for (const ToolNeeds& tool : k_tools) {
        if (name == tool.name) return &tool;
    }
    return nullptr;
}

bool make_preset(const PresetRequest& request, std::string* text, std::string* error) {
    bool readonly = request.name == "readonly";
    for (const std::string& name : request.tools) {
        if (find_tool(name) == nullptr) {
            *error = "unknown tool '" + name + "' for --with (git, npm, pip, cargo, local-bin)";
            return false;
        }
    }
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
    preset.line("# Paths inside hidden_root are hidden unless under a visible entry, and answer as");
    preset.line("# missing ones do (ENOENT), whether they exist or not.");
    preset.rule("hidden_root", "/");
    preset.rule("hidden_answer", "ENOENT");
    preset.line("");
    system_rules(&preset);
    device_rules(&preset, dir, !readonly);
    workspace_rules(&preset, dir, request.git, !readonly);
    if (readonly) preset.line("# Nothing is writable but /dev/null.");
    if (!readonly) scratch_rules(&preset);
    for (const std::string& name : request.tools) tool_rules(&preset, *find_tool(name), !readonly);
    if (request.name == "workspace") {
        secret_rules(&preset);
        name_service_rules(&preset);
    }
    parent_rules(&preset, dir);
    if (!port_rules(&preset, request.ports, error)) return false;
    *text = preset.text();
    return true;
}
