// Child programs started by their argument vector, never through a shell:
// under optional time, processor and memory limits, optionally in a process
// group of their own, with the signal mask and dispositions that a program
// expects at its start (none blocked, none ignored, whatever the parent
// holds), and their standard output and error captured, passed on or sent
// to a file.  Also where the running program and its siblings are.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace child {

/// Where a standard stream of the child goes.
enum class Sink {
    capture,      ///< read back into Result::out or Result::err
    pass,         ///< the parent's own stream
    file,         ///< the file named in Options, replaced
    append,       ///< the file named in Options, appended to
    same_as_out,  ///< (standard error only) wherever standard output goes
};

/// The bounds a child runs under; zero is no limit.
struct Limits {
    std::chrono::milliseconds wall{0};  ///< killed (with its group when it has one) after this long
    std::size_t out_cap = std::numeric_limits<std::size_t>::max();  ///< captured output kept; the rest is drained
    std::size_t err_cap = std::numeric_limits<std::size_t>::max();  ///< captured error kept; the rest is drained
    unsigned long memory_bytes = 0;     ///< address-space limit (RLIMIT_AS)
    unsigned long cpu_seconds = 0;      ///< processor-time limit (RLIMIT_CPU)
};

/// How a child is started.
struct Options {
    Limits limits;
    Sink out = Sink::capture;
    Sink err = Sink::capture;
    std::string out_file, err_file;     ///< for Sink::file and Sink::append
    std::string stdin_file;             ///< standard input; /dev/null when empty
    std::filesystem::path cwd;          ///< working folder; the parent's when empty
    std::vector<std::string> env;       ///< NAME=VALUE entries put over the parent's environment
    bool own_group = false;             ///< a process group of its own, killed as a whole
};

/// How a child ended and what it wrote.
struct Result {
    bool started = true;        ///< false when the program could not be executed at all
    std::string start_error;    ///< why not (the system's word for it)
    int exit_code = -1;         ///< exit status, or -1 when ended by a signal or not started
    int term_signal = 0;        ///< the signal that ended it, or 0
    bool timed_out = false;     ///< killed for running past Limits::wall
    bool truncated = false;     ///< captured standard output went past its cap
    std::string out, err;       ///< what was captured
    double seconds = 0;         ///< wall time it took

    bool ok() const { return started && !timed_out && exit_code == 0; }
    /// The exit status a shell would show: the exit code, or 128 + the signal.
    int status() const { return term_signal != 0 ? 128 + term_signal : exit_code; }
    /// A one-line account of a run that was not ok (not started, timeout, signal, status).
    std::string failure() const;
};

/// A started child, killed and reaped when the object goes before wait().
class Child {
public:
    /// Starts argv[0] (looked up in PATH unless it holds a '/') with the rest
    /// as its arguments.  A program that cannot be executed is no exception
    /// (wait() says so); throws std::runtime_error when no process can be made.
    Child(const std::vector<std::string> &argv, const Options &options = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    /// True once the child has ended (it is not reaped before wait()).
    bool ended() const;
    /// Collects what the child writes to captured streams until its end (or
    /// its time limit) and reaps it.  Called once.
    Result wait();

private:
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    Options options_;
    std::string start_error_;
    std::chrono::steady_clock::time_point start_;
};

/// Starts `argv` and waits for its end.
Result run(const std::vector<std::string> &argv, const Options &options = {});

/// The path of the running program.
std::filesystem::path running_program();

/// The path of a program of this toolset: the one next to the running
/// program when it is there, else its bare name for a PATH lookup.
std::string sibling_program(const std::string &name);

} // namespace child
