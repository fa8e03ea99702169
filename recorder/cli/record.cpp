// `tracemake record`: runs the user's build through the make shim with a
// fresh spool, then stores the spool as one build.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>

#include "capture/capture_env.h"
#include "cli/commands.h"
#include "capture/shim.h"
#include "spool/spool.h"
#include "load/store.h"

namespace fs = std::filesystem;

namespace {

/// Status when the build succeeded but could not be stored (make itself
/// never ends with 3).
constexpr int status_not_stored = 3;
/// Status for a wrong command line or a server not fit to store the build.
constexpr int status_trouble = 2;

struct RecordOptions {
    std::string label;
    bool replace = false;
    std::string make;       ///< --make PATH, or empty
    std::string keep_spool; ///< --keep-spool DIR, or empty
    std::vector<std::string> command; ///< the make command, its first word as typed
};

/// A folder that is removed with its contents when the object goes, unless kept.
class OwnedDir {
public:
    explicit OwnedDir(fs::path path) : path_(std::move(path)) {}
    ~OwnedDir()
    {
        std::error_code ignored;
        if (!kept_)
            fs::remove_all(path_, ignored);
    }
    OwnedDir(const OwnedDir &) = delete;
    OwnedDir &operator=(const OwnedDir &) = delete;
    const fs::path &path() const { return path_; }
    void keep() { kept_ = true; }

private:
    fs::path path_;
    bool kept_ = false;
};

/// What is said when the load is interrupted; set before the handler is.
std::string load_interrupted_text;

void on_signal_during_load(int sig)
{
    // Only async-signal-safe calls: the text was made beforehand.
    ssize_t ignored = write(STDERR_FILENO, load_interrupted_text.data(), load_interrupted_text.size());
    (void)ignored;
    signal(sig, SIG_DFL);
    raise(sig);
}

/// While it lives, a signal that ends tracemake first says where the spool
/// is kept: the server rolls the unfinished load back, and the spool (which
/// the signal keeps from being removed) can be loaded again.
class LoadInterruptNotice {
public:
    LoadInterruptNotice(const std::string &label, const fs::path &spool)
    {
        load_interrupted_text = "tracemake: interrupted while storing the build '" + label +
                                "'; its record is kept in " + spool.string() +
                                ": unless `tracemake list` shows it, store it with: tracemake load " + spool.string() +
                                "\n";
        for (int i = 0; i < count; ++i) {
            old_[i] = signal(signals[i], SIG_IGN);
            if (old_[i] != SIG_IGN)
                signal(signals[i], on_signal_during_load);
        }
    }
    ~LoadInterruptNotice()
    {
        for (int i = 0; i < count; ++i)
            signal(signals[i], old_[i]);
    }
    LoadInterruptNotice(const LoadInterruptNotice &) = delete;
    LoadInterruptNotice &operator=(const LoadInterruptNotice &) = delete;

private:
    static constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};
    static constexpr int count = 3;
    sighandler_t old_[count];
};

/// A new private folder under TMPDIR (or /tmp) named after `stem`.
fs::path make_temp_dir(const std::string &stem)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + ".XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a folder like " + pattern + ": " + std::strerror(errno));
    return pattern;
}

/// Reads the words after `record`; returns an empty string or what is wrong.
std::string parse(const Args &args, RecordOptions &options)
{
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--"; ++i) {
        const std::string &word = args[i];
        auto value = [&](std::string &into) {
            if (i + 1 >= args.size())
                return false;
            into = args[++i];
            return true;
        };
        if (word == "--replace")
            options.replace = true;
        else if (!((word == "--label" && value(options.label)) || (word == "--make" && value(options.make)) ||
                   (word == "--keep-spool" && value(options.keep_spool))))
            return "unknown or incomplete option '" + word + "'";
    }
    if (options.label.empty())
        return "--label LABEL is required";
    if (i + 1 >= args.size())
        return "the make command is missing after '--'";
    options.command.assign(args.begin() + i + 1, args.end());
    return {};
}

/// The real make: --make, else the command's own first word when it is a
/// path, else the first make in PATH.
std::string real_make_for(const RecordOptions &options)
{
    std::string chosen = options.make;
    if (chosen.empty() && options.command[0].find('/') != std::string::npos)
        chosen = options.command[0];
    if (chosen.empty()) {
        const char *path = std::getenv("PATH");
        chosen = shim::find_make(path ? path : "");
    }
    if (chosen.empty() || access(chosen.c_str(), X_OK) != 0)
        throw std::runtime_error("no make to run" + (chosen.empty() ? std::string() : ": " + chosen));
    return fs::absolute(chosen).lexically_normal().string();
}

/// The spool folder: --keep-spool DIR (new or empty), else a private temp folder.
fs::path spool_folder(const RecordOptions &options)
{
    if (options.keep_spool.empty())
        return make_temp_dir("tracemake-spool");
    fs::path dir = fs::absolute(options.keep_spool).lexically_normal();
    fs::create_directories(dir);
    if (!fs::is_empty(dir))
        throw std::runtime_error("the spool folder " + dir.string() + " is not empty");
    return dir;
}

} // namespace

int cmd_record(const Args &args)
{
    RecordOptions options;
    if (std::string wrong = parse(args, options); !wrong.empty()) {
        std::fprintf(stderr, "tracemake record: %s\nusage: tracemake record --label LABEL [--replace] [--make PATH] "
                             "[--keep-spool DIR] -- make [ARGS...]\n",
                     wrong.c_str());
        return status_trouble;
    }
    if (std::string problem = store::check_server(options.label, options.replace); !problem.empty()) {
        std::fprintf(stderr, "tracemake: %s\ntracemake: the build was not run\n", problem.c_str());
        return status_trouble;
    }

    std::map<std::string, std::string> build;
    std::string real_make;
    std::unique_ptr<OwnedDir> spool, shim_dir;
    try {
        real_make = real_make_for(options);
        spool = std::make_unique<OwnedDir>(spool_folder(options));
        if (!options.keep_spool.empty())
            spool->keep();
        shim_dir = std::make_unique<OwnedDir>(make_temp_dir("tracemake-shim"));
        fs::create_symlink(shim::shim_program(), shim_dir->path() / "make");
        build["topdir"] = fs::current_path().string();
        build["preload"] = shim::preload_path();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tracemake: %s\ntracemake: the build was not run\n", error.what());
        return status_trouble;
    }
    const std::string shim_path = (shim_dir->path() / "make").string();
    const char *user_path = std::getenv("PATH");
    build["label"] = options.label;
    build["replace"] = options.replace ? "1" : "0";
    build["command"] = shim::join_words(options.command);
    build["path"] = user_path ? user_path : "";
    build["shimdir"] = shim_dir->path().string();

    // What every make of the build finds in its environment; the top make
    // is started by this process, as the shim.
    setenv("PATH", (shim_dir->path().string() + (user_path ? ":" + std::string(user_path) : "")).c_str(), 1);
    setenv(capture::env_spool, spool->path().c_str(), 1);
    setenv(capture::env_real_make, real_make.c_str(), 1);
    setenv(capture::env_shim, shim_path.c_str(), 1);
    setenv(capture::env_argv0, options.command[0].c_str(), 1);
    unsetenv(capture::env_proc);
    unsetenv(capture::target_variable);

    build["start"] = shim::wall_clock();
    shim::Outcome outcome;
    try {
        outcome = shim::run_make(options.command);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tracemake: %s\n", error.what());
        return status_trouble;
    }
    build["end"] = shim::wall_clock();
    build["status"] = std::to_string(outcome.status);
    build["complete"] = outcome.interrupted || outcome.term_signal ? "0" : "1";

    std::string failure;
    store::Stored stored;
    try {
        spool::write_keys(spool->path() / spool::build_file, build);
        const LoadInterruptNotice notice(options.label, spool->path());
        failure = store::load_spool(spool->path(), &stored);
    } catch (const std::exception &error) {
        failure = error.what();
    }
    if (failure.empty())
        std::fprintf(stderr, "tracemake: %s\n", store::describe(stored).c_str());
    if (!failure.empty()) {
        spool->keep();
        std::fprintf(stderr,
                     "tracemake: the build '%s' was not stored: %s\n"
                     "tracemake: its record is kept in %s; store it with: tracemake load %s\n",
                     options.label.c_str(), failure.c_str(), spool->path().c_str(), spool->path().c_str());
    }
    if (outcome.term_signal) {
        spool.reset();
        shim_dir.reset();
        shim::end_like(outcome);
    }
    if (!failure.empty() && outcome.status == 0)
        return status_not_stored;
    return outcome.status;
}
