#include "common/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <stdexcept>
#include <utility>

extern char **environ;

namespace child {

namespace {

// The status a child leaves with when it could not execute its program.
constexpr int exec_failed = 127;

// Both ends of a pipe (close-on-exec), closed by their owner.
struct Pipe {
    int fd[2] = {-1, -1};
    void open()
    {
        if (::pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    ~Pipe()
    {
        close_end(0);
        close_end(1);
    }
    int release(int i) { return std::exchange(fd[i], -1); }
    void close_end(int i)
    {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};

// Everything the child needs between fork and exec, made before the fork:
// the child may only make calls that are safe there.
struct Plan {
    char *const *argv;
    char *const *envp;
    const Options &options;
    int out_pipe, err_pipe, report;
};

// Points `target` (1 or 2) at its sink; false when the file cannot be opened.
bool connect(int target, Sink sink, const std::string &file, int pipe_end)
{
    if (sink == Sink::pass)
        return true;
    if (sink == Sink::same_as_out)
        return ::dup2(1, target) >= 0;
    if (sink == Sink::capture)
        return ::dup2(pipe_end, target) >= 0;
    const int flags = O_WRONLY | O_CREAT | (sink == Sink::append ? O_APPEND : O_TRUNC);
    const int fd = ::open(file.c_str(), flags, 0644);
    return fd >= 0 && ::dup2(fd, target) >= 0;
}

// In the child: when anything fails up to and including execve, its errno
// goes to the parent through the report pipe, which closes on a successful exec.
[[noreturn]] void become(const Plan &plan)
{
    const Options &o = plan.options;
    if (o.own_group)
        ::setpgid(0, 0);
    // A parent may block or ignore signals for itself (a server that takes
    // SIGINT and SIGTERM in a thread, SIGPIPE ignored); the child starts as
    // a program started from a shell does.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &default_action, nullptr); // refused for SIGKILL, SIGSTOP and libc's own: harmless
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (o.limits.memory_bytes != 0) {
        const rlimit as{o.limits.memory_bytes, o.limits.memory_bytes};
        ::setrlimit(RLIMIT_AS, &as);
    }
    if (o.limits.cpu_seconds != 0) {
        const rlimit cpu{o.limits.cpu_seconds, o.limits.cpu_seconds + 1};
        ::setrlimit(RLIMIT_CPU, &cpu);
    }
    const int in = ::open(o.stdin_file.empty() ? "/dev/null" : o.stdin_file.c_str(), O_RDONLY);
    if (in >= 0 && ::dup2(in, 0) >= 0 && connect(1, o.out, o.out_file, plan.out_pipe) &&
        connect(2, o.err, o.err_file, plan.err_pipe) && (o.cwd.empty() || ::chdir(o.cwd.c_str()) == 0)) {
        // Descriptors of the parent that lack close-on-exec (a server's
        // sockets) stay out of the child.
        ::close_range(3, static_cast<unsigned>(plan.report) - 1, 0);
        ::close_range(static_cast<unsigned>(plan.report) + 1, ~0U, 0);
        ::execvpe(plan.argv[0], plan.argv, plan.envp);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(plan.report, &error, sizeof error);
    ::_exit(exec_failed);
}

// The errno that the child sent, or 0 when it executed its program.
int start_error(int report)
{
    int error = 0;
    ssize_t n;
    while ((n = ::read(report, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// The parent's environment with `over`'s entries put in place of those of the same name.
std::vector<std::string> environment(const std::vector<std::string> &over)
{
    std::vector<std::string> env(over);
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &x : over)
            replaced = replaced || x.starts_with(name);
        if (!replaced)
            env.emplace_back(entry);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Appends what `fd` has to `into`, keeping at most `cap` bytes; false at its end.
bool drain(int fd, std::string &into, std::size_t cap, bool &truncated)
{
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    const std::size_t got = static_cast<std::size_t>(n);
    const std::size_t kept = std::min(got, cap > into.size() ? cap - into.size() : 0);
    into.append(chunk, kept);
    truncated = truncated || kept < got;
    return true;
}

} // namespace

std::string Result::failure() const
{
    if (!started)
        return "could not be started" + (start_error.empty() ? std::string() : ": " + start_error);
    if (timed_out)
        return "stopped after running past its time limit";
    if (term_signal != 0)
        return "ended by signal " + std::to_string(term_signal) + " (" + ::strsignal(term_signal) + ")";
    if (exit_code != 0)
        return "ended with exit status " + std::to_string(exit_code);
    return "";
}

Child::Child(const std::vector<std::string> &argv, const Options &options)
    : options_(options), start_(std::chrono::steady_clock::now())
{
    if (argv.empty())
        throw std::invalid_argument("a child program needs a name");
    std::vector<std::string> arg_strings(argv), env_strings = environment(options.env);
    const std::vector<char *> args = pointers(arg_strings), envp = pointers(env_strings);
    Pipe out, err, report;
    if (options.out == Sink::capture)
        out.open();
    if (options.err == Sink::capture)
        err.open();
    report.open();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
    if (pid_ == 0)
        become({args.data(), envp.data(), options, out.fd[1], err.fd[1], report.fd[1]});
    // Also set from here, so that a kill of the group cannot come before the child's own setpgid.
    if (options.own_group)
        ::setpgid(pid_, pid_);
    report.close_end(1);
    if (const int error = start_error(report.fd[0]); error != 0)
        start_error_ = std::strerror(error);
    out_fd_ = out.release(0);
    err_fd_ = err.release(0);
}

Child::~Child()
{
    if (pid_ > 0) {
        ::kill(options_.own_group ? -pid_ : pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {out_fd_, err_fd_})
        if (fd >= 0)
            ::close(fd);
}

bool Child::ended() const
{
    if (pid_ <= 0)
        return true;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

Result Child::wait()
{
    if (pid_ <= 0)
        throw std::logic_error("a child waited for twice");
    Result result;
    const auto wall = options_.limits.wall;
    const auto deadline = start_ + wall;
    auto time_left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    bool err_truncated = false;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        if (wall.count() > 0 && time_left().count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (::poll(fds, 2, wall.count() > 0 ? static_cast<int>(time_left().count()) : -1) < 0 && errno != EINTR)
            break;
        if (out_fd_ >= 0 && fds[0].revents != 0 && !drain(out_fd_, result.out, options_.limits.out_cap, result.truncated))
            ::close(std::exchange(out_fd_, -1));
        if (err_fd_ >= 0 && fds[1].revents != 0 && !drain(err_fd_, result.err, options_.limits.err_cap, err_truncated))
            ::close(std::exchange(err_fd_, -1));
    }
    // A child that closed its output may still be running: it gets the rest of its time.
    int status = 0;
    while (!result.timed_out) {
        const pid_t done = ::waitpid(pid_, &status, wall.count() > 0 ? WNOHANG : 0);
        if (done == pid_ || (done < 0 && errno != EINTR))
            break;
        if (done == 0 && time_left().count() <= 0)
            result.timed_out = true;
        else if (done == 0)
            ::usleep(2000);
    }
    if (result.timed_out) {
        ::kill(options_.own_group ? -pid_ : pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    for (int *fd : {&out_fd_, &err_fd_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    result.started = start_error_.empty();
    result.start_error = start_error_;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    return result;
}

Result run(const std::vector<std::string> &argv, const Options &options)
{
    return Child(argv, options).wait();
}

std::filesystem::path running_program()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::string sibling_program(const std::string &name)
{
    std::error_code ec;
    const std::filesystem::path beside = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / name;
    return !ec && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : name;
}

} // namespace child
