// Runs a shell script for Scheme code: "/bin/sh -c <text>" in a process group of its own, its standard output
// captured, its standard error kept for the report, standard input empty.
//
// The caller waits, never longer than the time limit: at the limit (or when the caller's interrupt flag is set,
// or the output passes its bound) the whole group is killed. The shell itself is always reaped; what it started
// in the background and left running is the script's business, unless the limit ends it with the group.
//
// Threads: any; calls are independent of each other.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace omb {

struct ScriptLimits {
    std::chrono::milliseconds time{10'000};
    std::size_t output_bytes = 16u << 20;
    // Checked while waiting: the interpreter's interrupt flag, so Ctrl-C ends a script as it ends evaluation.
    const std::atomic<int>* interrupt = nullptr;
};

struct ScriptResult {
    enum class Status { finished, timed_out, interrupted, too_much_output, not_started };
    Status status = Status::not_started;
    int exit_status = -1;  // the shell's exit status; 128 + n when signal n ended it
    std::string output;    // standard output, as written
    std::string errors;    // standard error, its first 64 KiB
    bool succeeded() const { return status == Status::finished && exit_status == 0; }
};

ScriptResult run_script(const std::string& text, const ScriptLimits& limits);

// The limit "sys:run-applescript" gives its scripts, in milliseconds (tests shorten it).
inline std::atomic<long> SCRIPT_TIME_LIMIT_MS{10'000};

}  // namespace omb
