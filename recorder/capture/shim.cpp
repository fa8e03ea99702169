#include "capture/shim.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "capture/capture_env.h"
#include "capture/make_start.h"
#include "common/child.h"
#include "common/files.h"
#include "spool/spool.h"

extern char **environ;

namespace fs = std::filesystem;

namespace shim {
namespace {

std::string getenv_string(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

/// Creates the spool folder of a new make process under procs/ and returns
/// its ID: the process id, with a suffix when a process of the same id was
/// recorded earlier in the build.
std::string new_proc_id(const fs::path &spool)
{
    fs::path procs = spool / spool::procs_dir;
    fs::create_directories(procs);
    std::string base = std::to_string(getpid());
    for (int attempt = 1;; ++attempt) {
        std::string id = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (mkdir((procs / id).c_str(), 0777) == 0)
            return id;
        if (errno != EEXIST)
            throw std::runtime_error("cannot create " + (procs / id).string() + ": " + std::strerror(errno));
    }
}

/// The signals that the shim passes on to make.
constexpr int forwarded_signals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int signal_count = sizeof forwarded_signals / sizeof forwarded_signals[0];

/// Signals received while make runs, one slot per forwarded signal: 0
/// none, 1 from the terminal (make had it too), 2 sent by a process.
volatile sig_atomic_t received[signal_count];

void note_signal(int sig, siginfo_t *info, void *)
{
    for (int i = 0; i < signal_count; ++i)
        if (forwarded_signals[i] == sig)
            received[i] = info && info->si_code == SI_KERNEL ? 1 : 2;
}

void note_child(int) {}

/// Catches the forwarded signals while it lives (those not ignored: an
/// ignored one stays ignored for make too), and restores them afterwards.
/// They and SIGCHLD stay blocked except while the shim waits in
/// wait_for_signal(), so that none can come between a look at `received`
/// and the wait, and be passed on only when make has ended.
class SignalCatcher {
public:
    SignalCatcher()
    {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGCHLD);
        for (int i = 0; i < signal_count; ++i)
            sigaddset(&blocked, forwarded_signals[i]);
        sigprocmask(SIG_BLOCK, &blocked, &old_mask_);
        for (int i = 0; i < signal_count; ++i) {
            received[i] = 0;
            sigaction(forwarded_signals[i], nullptr, &old_[i]);
            if (old_[i].sa_handler == SIG_IGN)
                continue;
            struct sigaction action {};
            action.sa_sigaction = note_signal;
            action.sa_flags = SA_SIGINFO;
            sigemptyset(&action.sa_mask);
            sigaction(forwarded_signals[i], &action, nullptr);
        }
        // The default action of SIGCHLD drops it: a handler makes it end the wait.
        struct sigaction child {};
        child.sa_handler = note_child;
        sigemptyset(&child.sa_mask);
        sigaction(SIGCHLD, &child, &old_child_);
    }
    ~SignalCatcher()
    {
        for (int i = 0; i < signal_count; ++i)
            sigaction(forwarded_signals[i], &old_[i], nullptr);
        sigaction(SIGCHLD, &old_child_, nullptr);
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    SignalCatcher(const SignalCatcher &) = delete;
    SignalCatcher &operator=(const SignalCatcher &) = delete;

    /// The signal mask the shim had before: make starts with it.
    const sigset_t &old_mask() const { return old_mask_; }
    /// Waits until a signal is handled: a forwarded one or SIGCHLD.
    void wait_for_signal() const
    {
        sigset_t waiting = old_mask_;
        sigdelset(&waiting, SIGCHLD);
        sigsuspend(&waiting);
    }

private:
    struct sigaction old_[signal_count];
    struct sigaction old_child_;
    sigset_t old_mask_;
};

/// A signal mask line of /proc/PID/status ("SigPnd:\t0000000000000002").
unsigned long long status_mask(const std::string &status, const char *field)
{
    std::size_t at = status.find(std::string("\n") + field + ":");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + std::strlen(field) + 2, nullptr, 16);
}

/// True when `sig` is pending in make: the one sure sign that make has it.
/// A signal sent to the whole process group reaches make and the shim both,
/// and one still pending needs no second; any other state proves nothing
/// (make blocks its fatal signals while it starts and reaps jobs, and has
/// no handlers while it starts), so the signal is sent.  A make that has
/// handled it already and gets it again dies of it all the same.
bool make_has_signal(pid_t make, int sig)
{
    std::ifstream in("/proc/" + std::to_string(make) + "/status");
    std::stringstream text;
    text << in.rdbuf();
    std::string status = "\n" + text.str();
    unsigned long long bit = 1ULL << (sig - 1);
    if (status.size() < 2)
        return true; // make is gone
    return ((status_mask(status, "SigPnd") | status_mask(status, "ShdPnd")) & bit) != 0;
}

/// Passes the signals received since the last call on to make, unless make
/// has had them already.  Returns true when any was received.
bool forward_signals(pid_t make)
{
    bool any = false;
    for (int i = 0; i < signal_count; ++i) {
        int how = received[i];
        if (!how)
            continue;
        received[i] = 0;
        any = true;
        if (how == 1 || make <= 0)
            continue; // the terminal signals make's process group: make has it; or make is gone
        // The same kill() may still be on its way to make: give it a moment.
        timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        if (!make_has_signal(make, forwarded_signals[i]))
            kill(make, forwarded_signals[i]);
    }
    return any;
}

} // namespace

std::string wall_clock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[64];
    std::snprintf(text, sizeof text, "%lld.%06ld", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
    return text;
}

std::string join_words(const std::vector<std::string> &words)
{
    std::string joined;
    for (const auto &word : words)
        joined += (joined.empty() ? "" : " ") + word;
    return joined;
}

std::optional<std::string> find_make(const std::string &path_value, const std::string &skip)
{
    std::error_code error;
    fs::path self = fs::canonical("/proc/self/exe", error);
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = path_value.find(':', start);
        std::string dir = path_value.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        fs::path candidate = fs::absolute(fs::path(dir.empty() ? "." : dir) / "make", error);
        if (dir != skip && access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate, error) &&
            fs::canonical(candidate, error) != self)
            return candidate.string();
        if (colon == std::string::npos)
            return std::nullopt;
        start = colon + 1;
    }
}

bool statically_linked(const std::string &program)
{
    std::ifstream in(program, std::ios::binary);
    unsigned char ident[EI_NIDENT] = {};
    if (!in.read(reinterpret_cast<char *>(ident), sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return false;
    // Both classes: the header and program headers differ only in width.
    auto interpreter_named = [&](auto header, auto program_header) {
        in.seekg(0);
        if (!in.read(reinterpret_cast<char *>(&header), sizeof header))
            return true;
        for (unsigned i = 0; i < header.e_phnum; ++i) {
            in.seekg(static_cast<std::streamoff>(header.e_phoff + i * header.e_phentsize));
            if (!in.read(reinterpret_cast<char *>(&program_header), sizeof program_header))
                return true;
            if (program_header.p_type == PT_INTERP)
                return true;
        }
        return false;
    };
    if (ident[EI_CLASS] == ELFCLASS64)
        return !interpreter_named(Elf64_Ehdr{}, Elf64_Phdr{});
    if (ident[EI_CLASS] == ELFCLASS32)
        return !interpreter_named(Elf32_Ehdr{}, Elf32_Phdr{});
    return false;
}

std::string shim_program()
{
    const fs::path self = child::running_program();
    const fs::path lean = self.parent_path() / "tracemake-shim";
    return access(lean.c_str(), X_OK) == 0 ? lean.string() : self.string();
}

std::string preload_path()
{
    const fs::path dir = child::running_program().parent_path() / capture::preload_relative_dir;
    return (dir / capture::preload_name).lexically_normal().string();
}

namespace {

/// The arrays that make_start allocates, freed when they go.
void free_arguments(const char **argv) { std::free(argv); }
using Arguments = std::unique_ptr<const char *[], decltype(&free_arguments)>;
using MakeEnvironment = std::unique_ptr<char *[], decltype(&make_start::free_environment)>;

/// Starts the real make with the signal mask `mask`; when it cannot be
/// started, takes the process's folder out of the spool again and throws.
pid_t start_make(const std::string &real_make, const char *const argv[], char *const env[], const sigset_t &mask,
                 const fs::path &proc_dir)
{
    pid_t pid = -1;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int spawn_error =
        posix_spawn(&pid, real_make.c_str(), nullptr, &attributes, const_cast<char *const *>(argv), env);
    posix_spawnattr_destroy(&attributes);
    if (spawn_error != 0) {
        std::error_code ignored;
        fs::remove_all(proc_dir, ignored);
        throw std::runtime_error("cannot start " + real_make + ": " + std::strerror(spawn_error));
    }
    return pid;
}

/// Waits until make has ended, passing signals on to it meanwhile; how it ended.
Outcome wait_for_make(pid_t pid, const SignalCatcher &catcher)
{
    Outcome outcome;
    int wait_status = 0;
    for (;;) {
        if (forward_signals(pid))
            outcome.interrupted = true;
        const pid_t waited = waitpid(pid, &wait_status, WNOHANG);
        if (waited == pid)
            break;
        if (waited < 0 && errno != EINTR) {
            wait_status = 0x7f00; // cannot happen for our own child; reads as status 127
            break;
        }
        catcher.wait_for_signal();
    }
    // make is reaped, its pid free for another process: only note what came.
    if (forward_signals(-1))
        outcome.interrupted = true;
    if (WIFSIGNALED(wait_status)) {
        outcome.term_signal = WTERMSIG(wait_status);
        outcome.status = 128 + outcome.term_signal;
    } else {
        outcome.status = WEXITSTATUS(wait_status);
    }
    return outcome;
}

/// Writes proc.tsv once make has run.  A failure to record from here on
/// must not change the build's result, only be told, and kept in
/// proc.tsv, which makes the stored build incomplete.
void write_record(const fs::path &proc_dir, std::map<std::string, std::string> &proc)
{
    if (char digests[4200]; make_start::digests_missing(proc_dir.c_str(), digests, sizeof digests)) {
        proc["lost"] = std::string(make_start::digests_lost) + digests;
        std::fprintf(stderr, "%s%s\n", make_start::record_not_whole, proc["lost"].c_str());
    }
    try {
        spool::write_keys(proc_dir / spool::proc_file, proc);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "tracemake: recording %s: %s\n", proc_dir.c_str(), failure.what());
    }
}

} // namespace

Outcome run_make(const std::vector<std::string> &argv)
{
    const fs::path spool = getenv_string(capture::env_spool);
    const std::string real_make = getenv_string(capture::env_real_make);
    const std::string shim_path = getenv_string(capture::env_shim);
    if (spool.empty() || real_make.empty() || shim_path.empty())
        throw std::runtime_error("the environment names no recording (TRACEMAKE_SPOOL, TRACEMAKE_REAL_MAKE, TRACEMAKE_SHIM)");

    // What can fail comes before the process's folder, which would
    // otherwise stay empty in the spool when the shim falls back to make.
    const std::string startdir = fs::current_path().string();
    const std::string preload = preload_path();
    std::vector<char *> words;
    for (const std::string &word : argv)
        words.push_back(const_cast<char *>(word.c_str()));
    words.push_back(nullptr);
    const std::string shown = make_start::shown_argv0(words.data(), shim_path.c_str(), environ);
    const Arguments make_argv(make_start::arguments(words.data(), shown.c_str(), shim_path.c_str(), environ),
                              free_arguments);
    std::map<std::string, std::string> proc;
    const std::string id = new_proc_id(spool);
    const fs::path proc_dir = spool / spool::procs_dir / id;
    const MakeEnvironment make_env(make_start::environment(environ, id.c_str(), preload.c_str()),
                                   make_start::free_environment);
    const std::unique_ptr<char, decltype(&std::free)> cmdline(make_start::command_line(words.data(), shown.c_str()),
                                                              std::free);
    if (!make_argv || !make_env || !cmdline)
        throw std::bad_alloc();
    proc["parent"] = getenv_string(capture::env_proc);
    proc["parent_target"] = getenv_string(capture::target_variable);
    proc["startdir"] = startdir;
    proc["argv0"] = shown;
    proc["cmdline"] = cmdline.get();

    SignalCatcher catcher;
    proc["start"] = wall_clock();
    const pid_t pid = start_make(real_make, make_argv.get(), make_env.get(), catcher.old_mask(), proc_dir);
    proc["pid"] = std::to_string(pid);
    const Outcome outcome = wait_for_make(pid, catcher);
    proc["end"] = wall_clock();
    proc["status"] = std::to_string(outcome.status);
    write_record(proc_dir, proc);
    return outcome;
}

void end_like(const Outcome &outcome)
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (outcome.term_signal) {
        signal(outcome.term_signal, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, outcome.term_signal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(outcome.term_signal);
    }
    std::exit(outcome.status);
}

int shim_main(int argc, char *argv[])
{
    std::vector<std::string> args(argv, argv + argc);
    if (std::atoi(getenv_string(capture::env_depth).c_str()) >= capture::depth_limit) {
        // Neither recorded nor run: running it would only go deeper.
        std::fprintf(stderr,
                     "tracemake: make has started make through the recorder %d deep: is the make that tracemake "
                     "runs (%s) a script that runs `make` again?  Give --make the real make\n",
                     capture::depth_limit, getenv_string(capture::env_real_make).c_str());
        return 2;
    }
    if (!getenv_string(capture::env_spool).empty()) {
        try {
            end_like(run_make(args));
        } catch (const std::exception &error) {
            // The build matters more than its record: run make unrecorded.
            std::fprintf(stderr, "tracemake: this make is not recorded: %s\n", error.what());
        }
    }
    std::string real_make = getenv_string(capture::env_real_make);
    if (real_make.empty())
        real_make = find_make(getenv_string("PATH"), fs::path(argv[0]).parent_path().string()).value_or("");
    if (real_make.empty()) {
        std::fprintf(stderr, "tracemake: no make found in PATH\n");
        return 127;
    }
    execv(real_make.c_str(), argv);
    std::fprintf(stderr, "tracemake: cannot start %s: %s\n", real_make.c_str(), std::strerror(errno));
    return 127;
}

} // namespace shim
