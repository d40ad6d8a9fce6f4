// Reading back the refusal log that sandbox --log writes: one event a line,
// key=value text or a JSON object (a line starting with '{'). Several runs
// may be appended to one file; each begins with a start event that carries
// the policy it ran under.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

enum class LogEventKind : uint8_t { start, refused, would_refuse, end, other };

// One line of the log, field by field. Text fields the line leaves out are
// empty; numbers it leaves out are empty optionals. Fields this reader does
// not know are skipped, so that a newer sandbox's log still reads.
struct LogEvent {
    LogEventKind kind = LogEventKind::other;
    std::string time;
    std::string event;  // the word as written: start, refused, would-refuse, end

    // start
    std::string version;
    std::string mode;  // enforce or audit
    std::string command;
    std::string policy;  // the blob the run was under

    // refused and would-refuse
    std::optional<int64_t> pid;
    std::string comm;
    std::string call;
    std::string access;  // stat, read, write, delete, exec
    std::string flags;
    std::string path;    // as the caller wrote it
    std::string judged;  // absolute, as judged at the deciding stage
    std::string stage;
    std::string program;
    std::optional<int64_t> fd;
    std::string address;
    std::optional<int64_t> port;
    std::optional<int64_t> target;
    std::string rule;
    std::string entry;
    std::string why;
    std::string answer;
    bool truncated = false;  // a path was cut to fit the line and ends with "..."

    // end
    std::optional<int64_t> refused;
    std::optional<int64_t> would_refuse;
    std::optional<int64_t> dropped;

    int line = 0;  // its line in the file, from 1; 0 for a line read alone
};

// Reads one line, without its newline. False, with *error saying where and
// what, for a line the log's writer cannot have written.
[[nodiscard]] bool parse_log_line(const std::string& line, LogEvent* out, std::string* error);

struct LogProblem {
    int line;
    std::string message;
};

struct LogFile {
    std::vector<LogEvent> events;      // in file order
    std::vector<LogProblem> problems;  // lines that could not be read, and were skipped
    size_t lines = 0;                  // lines that were not blank
};

// Reads every line of text; a trailing carriage return is dropped, blank
// lines are skipped.
void read_log_text(const std::string& text, LogFile* out);
// "-" is standard input. False when the file cannot be read.
[[nodiscard]] bool read_log_file(const std::string& name, LogFile* out, std::string* error);

// refused or would-refuse.
[[nodiscard]] bool is_refusal(const LogEvent& event);
// The start event of the run events[index] belongs to, or null when none
// comes before it.
const LogEvent* find_run_start(const std::vector<LogEvent>& events, size_t index);
