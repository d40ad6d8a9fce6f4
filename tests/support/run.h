// Running programs from the end-to-end tests: plain fork and execve with
// pipes, because the test machine images have no shell beyond busybox sh.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/blob.h"

namespace e2e {

// Whether SANDBOX_STRESS_LIGHT=1 asks for a lighter load (the virtual
// machines, under software emulation).
bool is_light_load();

// Whether the sandbox bounds the tree with Landlock on this kernel (ABI 2
// or later, where message queues can be ruled).
bool has_kernel_bound();

// The directory of the running test program; sandbox and probe sit beside it.
std::string bin_dir();
// $SANDBOX_BIN, else <bin_dir>/sandbox.
std::string sandbox_path();
// $SANDBOX_PROBE, else <bin_dir>/probe.
std::string probe_path();

using Words = std::vector<std::string>;

// Probe operations joined with the ":" that separates them on its command
// line.
Words ops(const std::vector<Words>& list);

// The search path the programs under test get.
inline constexpr const char* k_test_search_path = "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// A policy blob under which the probe and the system's programs run: their
// directories, the loader and libraries, /etc and /dev stay visible;
// nothing is writable unless extra says so.
std::string probe_policy(const Records& extra = {});

// The sandbox command line: sandbox --policy <blob> -- <command...>.
std::vector<std::string> sandboxed(const std::string& blob, const std::vector<std::string>& command);
// The same with the probe as the command and its words after it.
std::vector<std::string> sandboxed_probe(const std::string& blob, const std::vector<std::string>& words);

struct RunOptions {
    // Put the child in a process group of its own, so that the hang guard
    // takes down everything it started.
    bool new_group = true;
    // Hang guard: past this the group is killed and the result is marked.
    int timeout_seconds = 60;
    // The file to execute when argv[0] should differ from it.
    std::string exe;
    // The child's working directory when set; else the caller's.
    std::string cwd;
    // When set, the child drops its groups and takes this number as its
    // user and group id before the exec (the caller must be root).
    int run_as_uid = -1;
    // Descriptors of the caller that the child inherits (their close-on-exec
    // flag is cleared in the child), under the same numbers.
    std::vector<int> inherited_fds;
    // NAME=value words put into the child's environment, in place of the
    // caller's variables of those names.
    Words env;
    // When set, the child's core-file size limit is raised to unlimited, soft
    // and hard, before the exec (the caller must be root).
    bool unlimited_core = false;
};

struct RunResult {
    int code = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

// Runs argv to completion: stdin is /dev/null, stdout and stderr are read
// until every writer has closed them, then the child is reaped.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// The program on the test search path that name stands for, or "" when
// there is none; a name with a slash stands for itself.
std::string find_program(const std::string& name);

// For a test that relies on the machine rather than on files it makes (its
// tools, name service, users, files outside the scratch area): runs argv
// as run() does but without the sandbox, argv[0] looked up on the test
// search path, and tells why it did not end with status expected, or ""
// when it did. The test skips with that reason: what fails on the machine
// itself says nothing about the sandbox.
std::string fails_natively(const Words& argv, const RunOptions& options = {}, int expected = 0);

// A child the test talks to while it runs.
class Process {
public:
    Process(const std::vector<std::string>& argv, const RunOptions& options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Next stdout line without its newline; false at end of output or when
    // the hang guard fires.
    bool read_line(std::string* line);
    // Reads lines until one equals marker; the lines before it go to *seen.
    bool read_until(const std::string& marker, std::vector<std::string>* seen = nullptr);
    void signal(int sig) const;
    // Reads the rest of the output and reaps the child; out holds all of
    // stdout, the lines already read included.
    RunResult finish();

private:
    bool pump(bool block);
    void guard_fired();

    pid_t pid_ = -1;
    bool group_ = true;
    int out_fd_ = -1;
    int err_fd_ = -1;
    long long deadline_ms_ = 0;
    size_t consumed_ = 0;
    bool finished_ = false;
    RunResult result_;
};

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

// The value after "OK " in a probe line, or -1.
long ok_value(const std::string& line);

// True once /proc/<pid>/status lists sig as caught, polled up to the guard.
bool wait_until_caught(pid_t pid, int sig, int timeout_seconds = 60);

// True once pid has exited (gone, or a zombie nobody reaped yet), polled up
// to the guard.
bool wait_until_gone(pid_t pid, int timeout_seconds = 60);

// A private directory under /tmp, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The loader a 64-bit ELF image names (PT_INTERP), or "".
std::string elf_interpreter_of(const std::string& image);
// Writes name over the image's loader, NUL-padded; false when it does not
// fit or the image names none.
bool replace_elf_interpreter(std::string* image, const std::string& name);

bool file_exists(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text, int mode = 0644);

}  // namespace e2e
