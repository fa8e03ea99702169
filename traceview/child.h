// Runs one program of the toolset (or Graphviz) as a child process, by its
// argument vector and never through a shell, under a time limit, with
// resource limits set in the child and a cap on the output read back.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace traceview {

/// The bounds one child runs under.
struct ChildLimits {
    std::chrono::milliseconds wall{10000};  ///< killed (with its process group) after this long
    std::size_t output_cap = 1 << 20;       ///< bytes of standard output kept; the rest is drained and dropped
    unsigned long memory_bytes = 0;         ///< address-space limit (RLIMIT_AS); 0 for none
    unsigned long cpu_seconds = 0;          ///< processor-time limit (RLIMIT_CPU); 0 for none
};

/// How a child ended and what it wrote.
struct ChildResult {
    int exit_code = -1;         ///< exit status, or -1 when ended by a signal or not started
    int term_signal = 0;        ///< the signal that ended it, or 0
    bool timed_out = false;     ///< killed for running past ChildLimits::wall
    bool truncated = false;     ///< standard output went past the cap
    bool started = true;        ///< false when the program could not be executed at all
    std::string start_error;    ///< why it could not be executed (strerror of execve's errno)
    std::string out;            ///< standard output, at most the cap
    std::string err;            ///< standard error, at most 64 KiB
    double seconds = 0;         ///< wall time it took

    bool ok() const { return started && !timed_out && exit_code == 0; }
    /// A one-line account of a run that was not ok (timeout, signal, status).
    std::string failure() const;
};

/// The first non-blank line of `text`, or "": where a program says what went wrong first.
std::string first_line(const std::string &text);
/// The last non-blank line of `text`, or "": relplot ends its messages with what went wrong.
std::string last_line(const std::string &text);
/// `account`, followed by ": " and `said` when the program said something.
std::string with_said(std::string account, const std::string &said);

/// Runs argv[0] (a path) with the rest as its arguments, standard input from
/// /dev/null, in its own process group, and waits for its end.
ChildResult run_child(const std::vector<std::string> &argv, const ChildLimits &limits);

} // namespace traceview
