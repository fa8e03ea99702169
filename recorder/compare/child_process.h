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
    std::string error;
};

/// Runs `argv` (argv[0] looked up in PATH unless it holds a '/') with
/// standard input from /dev/null and standard output and error appended to
/// `log_path`, and waits for its end.
Outcome run(const std::vector<std::string> &argv, const std::string &log_path);

/// The path of a program of this toolset: the one next to the running
/// tracemake when it is there, else its bare name for a PATH lookup.
std::string sibling_program(const std::string &name);

} // namespace child
