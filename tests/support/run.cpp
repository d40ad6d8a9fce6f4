#include "support/run.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

Words ops(const std::vector<Words>& list) {
    Words out;
    for (const Words& op : list) {
        if (!out.empty()) out.push_back(":");
        out.insert(out.end(), op.begin(), op.end());
    }
    return out;
}

bool is_light_load() {
    const char* value = getenv("SANDBOX_STRESS_LIGHT");
    return value != nullptr && value[0] == '1';
}

bool has_kernel_bound() {
    constexpr long k_landlock_create_ruleset = 444;
    constexpr long k_fsopen = 430;
    if (syscall(k_landlock_create_ruleset, nullptr, 0, 1) < 2) return false;
    // The sandbox goes without the bound where it cannot rule message
    // queues: no /dev/mqueue, and no right to reach their file system.
    if (access("/dev/mqueue", F_OK) == 0) return true;
    const long context = syscall(k_fsopen, "mqueue", 1);
    if (context < 0) return false;
    close(static_cast<int>(context));
    return true;
}

std::string probe_policy(const Records& extra) {
    Records records = {{"E", bin_dir()}, {"E", "/usr"},  {"E", "/lib"}, {"E", "/lib64"},
                       {"E", "/bin"},    {"E", "/sbin"}, {"E", "/etc"}, {"E", "/dev"}};
    records.insert(records.end(), extra.begin(), extra.end());
    return make_blob(records);
}

namespace {

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != 0 ? value : fallback;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Starts argv with stdout and stderr on fresh pipes; returns the pid.
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& options, int* out_fd, int* err_fd) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    // A fixed search path: commands are looked up only where the test
    // policies make them visible, whatever the caller's PATH holds.
    static std::string path_entry = "PATH=" + std::string(k_test_search_path);
    auto is_replaced = [&options](const char* entry) {
        if (strncmp(entry, "PATH=", 5) == 0) return true;
        for (const std::string& word : options.env) {
            size_t name_end = word.find('=') + 1;
            if (strncmp(entry, word.c_str(), name_end) == 0) return true;
        }
        return false;
    };
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!is_replaced(*e)) env.push_back(*e);
    }
    for (const std::string& word : options.env) env.push_back(const_cast<char*>(word.c_str()));
    env.push_back(path_entry.data());
    env.push_back(nullptr);
    const std::string& exe = options.exe.empty() ? argv.at(0) : options.exe;

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.new_group) setpgid(0, 0);
        // A test runner started in the background may have left these
        // ignored or blocked; the programs under test must see defaults.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) signal(sig, SIG_DFL);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
        for (int fd : options.inherited_fds) {
            if (fcntl(fd, F_SETFD, 0) != 0) _exit(127);
        }
        if (options.unlimited_core) {
            const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
            if (setrlimit(RLIMIT_CORE, &unlimited) != 0) _exit(127);
        }
        if (options.run_as_uid >= 0) {
            auto id = static_cast<uid_t>(options.run_as_uid);
            if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(127);
        }
        execve(exe.c_str(), args.data(), env.data());
        const char* message = "e2e: execve failed\n";
        ssize_t ignored = write(2, message, strlen(message));
        (void)ignored;
        _exit(127);
    }
    // The parent does the same, so that its own group is the child's from
    // the start whatever the child has run by the time the guard needs it.
    if (options.new_group) setpgid(pid, pid);
    close(out_pipe[1]);
    close(err_pipe[1]);
    *out_fd = out_pipe[0];
    *err_fd = err_pipe[0];
    return pid;
}

}  // namespace

std::string bin_dir() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return ".";
    std::string exe(buffer, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string sandbox_path() {
    return env_or("SANDBOX_BIN", bin_dir() + "/sandbox");
}
std::string probe_path() {
    return env_or("SANDBOX_PROBE", bin_dir() + "/probe");
}

std::vector<std::string> sandboxed(const std::string& blob, const std::vector<std::string>& command) {
    std::vector<std::string> argv = {sandbox_path(), "--policy", blob};
    // A pass of the suite may choose how many threads judge.
    const char* threads = getenv("SANDBOX_JUDGING_THREADS");
    if (threads != nullptr && threads[0] != 0) argv.insert(argv.end(), {"--judging-threads", threads});
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

std::vector<std::string> sandboxed_probe(const std::string& blob, const std::vector<std::string>& words) {
    std::vector<std::string> command = {probe_path()};
    command.insert(command.end(), words.begin(), words.end());
    return sandboxed(blob, command);
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    Process process(argv, options);
    return process.finish();
}

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const std::string path = k_test_search_path;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string fails_natively(const Words& argv, const RunOptions& options, int expected) {
    std::string command;
    for (const std::string& word : argv) command += (command.empty() ? "" : " ") + word;
    const std::string& name = options.exe.empty() ? argv.at(0) : options.exe;
    RunOptions bare = options;
    bare.exe = find_program(name);
    if (bare.exe.empty()) {
        return "no " + name + " on this machine" +
               (name.find('/') == std::string::npos ? " (searched " + std::string(k_test_search_path) + ")" : "");
    }
    RunResult r = run(argv, bare);
    if (r.code == expected && !r.timed_out) return "";
    std::string outcome =
        r.timed_out     ? "hangs"
        : expected == 0 ? "fails (status " + std::to_string(r.code) + ")"
                        : "ends with status " + std::to_string(r.code) + ", not " + std::to_string(expected) + ",";
    std::string said = r.err.empty() ? r.out : r.err;
    said = said.substr(0, said.find('\n'));
    return "`" + command + "` " + outcome + " on this machine without the sandbox too" +
           (said.empty() ? "" : " (" + said + ")");
}

Process::Process(const std::vector<std::string>& argv, const RunOptions& options)
    : group_(options.new_group), deadline_ms_(now_ms() + options.timeout_seconds * 1000LL) {
    pid_ = spawn(argv, options, &out_fd_, &err_fd_);
}

Process::~Process() {
    if (finished_) return;
    guard_fired();
    finish();
}

void Process::guard_fired() {
    result_.timed_out = true;
    if (group_) kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    // Whatever is left holding the pipes gets a short grace to go away.
    deadline_ms_ = now_ms() + 5000;
}

// Reads what is available (waiting for something when block is set, up to
// the guard). False once both pipes are closed.
bool Process::pump(bool block) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_count = (out_fd_ >= 0) + (err_fd_ >= 0);
    if (open_count == 0) return false;
    long long left = deadline_ms_ - now_ms();
    if (left <= 0) {
        if (result_.timed_out) {
            // The grace is over too: stop reading.
            if (out_fd_ >= 0) close(out_fd_);
            if (err_fd_ >= 0) close(err_fd_);
            out_fd_ = err_fd_ = -1;
            return false;
        }
        guard_fired();
        left = deadline_ms_ - now_ms();
    }
    int ready = poll(fds, 2, block ? static_cast<int>(left) : 0);
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(fds[i].fd);
            (i == 0 ? out_fd_ : err_fd_) = -1;
            continue;
        }
        (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool Process::read_line(std::string* line) {
    for (;;) {
        size_t newline = result_.out.find('\n', consumed_);
        if (newline != std::string::npos) {
            *line = result_.out.substr(consumed_, newline - consumed_);
            consumed_ = newline + 1;
            return true;
        }
        if (out_fd_ < 0 || result_.timed_out) return false;
        if (!pump(true)) return false;
    }
}

bool Process::read_until(const std::string& marker, std::vector<std::string>* seen) {
    std::string line;
    while (read_line(&line)) {
        if (line == marker) return true;
        if (seen != nullptr) seen->push_back(line);
    }
    return false;
}

void Process::signal(int sig) const {
    kill(pid_, sig);
}

RunResult Process::finish() {
    if (finished_) return result_;
    while (pump(true)) {}
    int status = 0;
    for (;;) {
        pid_t got = waitpid(pid_, &status, result_.timed_out ? 0 : WNOHANG);
        if (got == pid_) break;
        if (got < 0 && errno != EINTR) break;
        if (got == 0) {
            // Both pipes closed but the child lives on: give it until the guard.
            if (now_ms() >= deadline_ms_) {
                guard_fired();
                continue;
            }
            struct timespec step = {0, 2 * 1000 * 1000};
            nanosleep(&step, nullptr);
        }
    }
    result_.code = decode_status(status);
    finished_ = true;
    return result_;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        if (newline == std::string::npos) newline = text.size();
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

long ok_value(const std::string& line) {
    if (line.rfind("OK ", 0) != 0) return -1;
    char* end = nullptr;
    long value = strtol(line.c_str() + 3, &end, 10);
    return *end == 0 ? value : -1;
}

bool wait_until_caught(pid_t pid, int sig, int timeout_seconds) {
    long long deadline = now_ms() + timeout_seconds * 1000LL;
    const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    while (now_ms() < deadline) {
        for (const std::string& line : lines_of(read_file(status_path))) {
            if (line.rfind("SigCgt:", 0) != 0) continue;
            unsigned long long mask = strtoull(line.c_str() + 7, nullptr, 16);
            if (mask & (1ULL << (sig - 1))) return true;
        }
        struct timespec step = {0, 1000 * 1000};
        nanosleep(&step, nullptr);
    }
    return false;
}

bool wait_until_gone(pid_t pid, int timeout_seconds) {
    long long deadline = now_ms() + timeout_seconds * 1000LL;
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    while (now_ms() < deadline) {
        std::string text = read_file(stat_path);
        // The state follows the parenthesised name, which may hold spaces.
        size_t close_paren = text.rfind(")");
        if (close_paren == std::string::npos || close_paren + 2 >= text.size()) return true;
        if (text[close_paren + 2] == 'Z') return true;
        struct timespec step = {0, 1000 * 1000};
        nanosleep(&step, nullptr);
    }
    return false;
}

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/sandbox-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    // Depth first and without following links: only what is inside goes.
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

namespace {

// The PT_INTERP header of a 64-bit ELF image, or false.
bool find_interpreter(const std::string& image, Elf64_Phdr* found) {
    Elf64_Ehdr header;
    if (image.size() < sizeof(header) || image.compare(0, SELFMAG, ELFMAG) != 0) return false;
    memcpy(&header, image.data(), sizeof(header));
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) return false;
    for (size_t i = 0; i < header.e_phnum; ++i) {
        const size_t at = header.e_phoff + i * sizeof(Elf64_Phdr);
        if (at + sizeof(Elf64_Phdr) > image.size()) return false;
        memcpy(found, image.data() + at, sizeof(*found));
        if (found->p_type == PT_INTERP) return found->p_offset + found->p_filesz <= image.size();
    }
    return false;
}

}  // namespace

std::string elf_interpreter_of(const std::string& image) {
    Elf64_Phdr interpreter;
    if (!find_interpreter(image, &interpreter)) return "";
    return std::string(image.c_str() + interpreter.p_offset);
}

bool replace_elf_interpreter(std::string* image, const std::string& name) {
    Elf64_Phdr interpreter;
    if (!find_interpreter(*image, &interpreter) || name.size() + 1 > interpreter.p_filesz) return false;
    std::string padded = name;
    padded.resize(interpreter.p_filesz, '\0');
    image->replace(interpreter.p_offset, interpreter.p_filesz, padded);
    return true;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return text;
}

void write_file(const std::string& path, const std::string& text, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    ssize_t put = write(fd, text.data(), text.size());
    close(fd);
    if (put != static_cast<ssize_t>(text.size())) throw std::runtime_error("cannot write " + path);
}

}  // namespace e2e
