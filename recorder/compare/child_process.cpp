#include "compare/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

extern char **environ;

namespace child {

namespace {

/// posix_spawn's file actions, destroyed on every path.
class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions()
    {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t *get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

} // namespace

Outcome run(const std::vector<std::string> &argv, const std::string &log_path, const Limits &limits)
{
    Outcome outcome;
    FileActions actions;
    if (!actions.ok() ||
        posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), 1, 2) != 0) {
        outcome.error = "cannot prepare to start " + argv[0];
        return outcome;
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0) {
        outcome.error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return outcome;
    }
    // posix_spawn cannot set the child's limits; they are set on it at once,
    // before a program like dot has read its input, let alone laid it out.
    if (limits.memory_bytes != 0) {
        const rlimit as{limits.memory_bytes, limits.memory_bytes};
        prlimit(pid, RLIMIT_AS, &as, nullptr);
    }
    if (limits.cpu_seconds != 0) {
        const rlimit cpu{limits.cpu_seconds, limits.cpu_seconds + 1};
        prlimit(pid, RLIMIT_CPU, &cpu, nullptr);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.wall_seconds);
    int wstatus = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &wstatus, limits.wall_seconds != 0 ? WNOHANG : 0);
        if (got == pid)
            break;
        if (got < 0 && errno != EINTR) {
            outcome.error = "lost track of " + argv[0] + ": " + std::strerror(errno);
            return outcome;
        }
        if (got == 0 && std::chrono::steady_clock::now() >= deadline && !outcome.timed_out) {
            kill(pid, SIGKILL);
            outcome.timed_out = true;
        }
        if (got == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    outcome.started = true;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return outcome;
}

std::string sibling_program(const std::string &name)
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path beside = self.parent_path() / name;
        if (access(beside.c_str(), X_OK) == 0)
            return beside.string();
    }
    return name;
}

} // namespace child
