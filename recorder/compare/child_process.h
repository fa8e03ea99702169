// Child programs of `tracemake compare` (changescan, relplot, dot): started
// by argv through posix_spawn, never through a shell, their output kept in
// a log file, waited for.
#pragma once

#include <string>
#include <vector>

namespace child {

/// How a child program ended.
struct Outcome {
    bool started = false;  ///< false when it could not be started (`error` says why)
    int status = 0;        ///< its exit status, or 128 + N when signal N ended it
    bool timed_out = false;  ///< killed for running past Limits::wall_seconds
    std::string error;
};

/// What a child program may use; 0 for no limit.
struct Limits {
    unsigned wall_seconds = 0;      ///< killed when it runs longer
    unsigned cpu_seconds = 0;       ///< RLIMIT_CPU
    unsigned long long memory_bytes = 0;  ///< RLIMIT_AS
};

/// Runs `argv` (argv[0] looked up in PATH unless it holds a '/') with
/// standard input from /dev/null and standard output and error appended to
/// `log_path`, and waits for its end, within `limits`.
Outcome run(const std::vector<std::string> &argv, const std::string &log_path, const Limits &limits = {});

/// The path of a program of this toolset: the one next to the running
/// tracemake when it is there, else its bare name for a PATH lookup.
std::string sibling_program(const std::string &name);

} // namespace child
