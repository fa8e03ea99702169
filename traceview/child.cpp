#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace traceview {

namespace {

constexpr std::size_t error_cap = 64 * 1024;
// The status a child leaves with when execve itself failed.
constexpr int exec_failed = 127;

// Both ends of a pipe, closed by their owner.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (::pipe2(fd, O_CLOEXEC) != 0)
            fd[0] = fd[1] = -1;
    }
    ~Pipe()
    {
        close_end(0);
        close_end(1);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void close_end(int i)
    {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};

// In the child, between fork and execve: only calls that are safe there.
// When execve fails, its errno goes to the parent through `report_fd`,
// which closes on a successful execve.
[[noreturn]] void exec_child(char *const *argv, int out_fd, int err_fd, int report_fd, const ChildLimits &limits)
{
    ::setpgid(0, 0);
    if (limits.memory_bytes != 0) {
        const rlimit as{limits.memory_bytes, limits.memory_bytes};
        ::setrlimit(RLIMIT_AS, &as);
    }
    if (limits.cpu_seconds != 0) {
        const rlimit cpu{limits.cpu_seconds, limits.cpu_seconds + 1};
        ::setrlimit(RLIMIT_CPU, &cpu);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && ::dup2(null_fd, 0) >= 0 && ::dup2(out_fd, 1) >= 0 && ::dup2(err_fd, 2) >= 0 &&
        ::dup2(report_fd, 3) >= 0 && ::fcntl(3, F_SETFD, FD_CLOEXEC) >= 0) {
        // Sockets of the server that lack close-on-exec stay out of the child.
        ::close_range(4, ~0U, 0);
        ::execve(argv[0], argv, environ);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(3, &error, sizeof error);
    ::_exit(exec_failed);
}

// The errno of a failed execve that the child sent, or 0 when it started.
int exec_error(int report_fd)
{
    int error = 0;
    ssize_t n;
    while ((n = ::read(report_fd, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// Appends what `fd` has to `into`, up to `cap` bytes; false at its end.
bool drain(int fd, std::string &into, std::size_t cap, bool &truncated)
{
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    const std::size_t room = cap > into.size() ? cap - into.size() : 0;
    const std::size_t kept = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    into.append(chunk, kept);
    if (kept < static_cast<std::size_t>(n))
        truncated = true;
    return true;
}

} // namespace

std::string ChildResult::failure() const
{
    if (!started)
        return "could not be started" + (start_error.empty() ? std::string() : ": " + start_error);
    if (timed_out)
        return "stopped after running past its time limit";
    if (term_signal != 0)
        return std::string("ended by signal ") + std::to_string(term_signal) + " (" + ::strsignal(term_signal) + ")";
    if (exit_code != 0)
        return "ended with exit status " + std::to_string(exit_code);
    return "";
}

std::string first_line(const std::string &text)
{
    const std::size_t start = text.find_first_not_of(" \n");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find('\n', start) - start);
}

std::string last_line(const std::string &text)
{
    const std::size_t end = text.find_last_not_of(" \n");
    if (end == std::string::npos)
        return "";
    const std::size_t newline = text.rfind('\n', end);
    const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, end + 1 - start);
}

std::string with_said(std::string account, const std::string &said)
{
    if (!said.empty())
        account += ": " + said;
    return account;
}

ChildResult run_child(const std::vector<std::string> &argv, const ChildLimits &limits)
{
    ChildResult result;
    const auto start = std::chrono::steady_clock::now();
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    Pipe out, err, report;
    if (argv.empty() || out.fd[0] < 0 || err.fd[0] < 0 || report.fd[0] < 0) {
        result.started = false;
        result.start_error = argv.empty() ? "no program named" : std::strerror(errno);
        return result;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.started = false;
        result.start_error = std::strerror(errno);
        return result;
    }
    if (pid == 0)
        exec_child(args.data(), out.fd[1], err.fd[1], report.fd[1], limits);
    // Also set from here, so that a kill of the group cannot come before the child's own setpgid.
    ::setpgid(pid, pid);
    out.close_end(1);
    err.close_end(1);
    report.close_end(1);
    if (const int error = exec_error(report.fd[0]); error != 0) {
        result.started = false;
        result.start_error = std::strerror(error);
    }

    const auto deadline = start + limits.wall;
    bool out_open = true, err_open = true;
    bool err_truncated = false;
    while (out_open || err_open) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[2] = {{out_open ? out.fd[0] : -1, POLLIN, 0}, {err_open ? err.fd[0] : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            out_open = drain(out.fd[0], result.out, limits.output_cap, result.truncated);
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            err_open = drain(err.fd[0], result.err, error_cap, err_truncated);
    }
    // A child that closed its output may still be running: it gets the rest of its time.
    int status = 0;
    while (!result.timed_out) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            result.timed_out = true;
        else
            ::usleep(2000);
    }
    if (result.timed_out) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

} // namespace traceview
