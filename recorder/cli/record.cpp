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
#include "capture/end_digests.h"
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

/// Reads the words after `record`; throws std::invalid_argument saying what is wrong.
RecordOptions parse(const Args &args)
{
    RecordOptions options;
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
            throw std::invalid_argument("unknown or incomplete option '" + word + "'");
    }
    if (options.label.empty())
        throw std::invalid_argument("--label LABEL is required");
    if (i + 1 >= args.size())
        throw std::invalid_argument("the make command is missing after '--'");
    options.command.assign(args.begin() + i + 1, args.end());
    return options;
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
        chosen = shim::find_make(path ? path : "").value_or("");
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

/// What a recording holds while make runs: the real make, the spool and
/// the folder of the shim that PATH finds as `make`.
struct Recording {
    std::string real_make;
    std::unique_ptr<OwnedDir> spool, shim_dir;
};

/// Checks the server, finds the real make and makes the recording's folders, and notes what
/// the build's record says of them and of the command; throws when any of
/// it cannot be done.
Recording set_up(const RecordOptions &options, std::map<std::string, std::string> &build)
{
    store::check_server(options.label, options.replace);
    Recording recording;
    recording.real_make = real_make_for(options);
    if (shim::statically_linked(recording.real_make))
        std::fprintf(stderr,
                     "tracemake: %s is statically linked: the recorder cannot enter it, so the data bases, "
                     "commands and file statuses of its make processes are not recorded\n",
                     recording.real_make.c_str());
    recording.spool = std::make_unique<OwnedDir>(spool_folder(options));
    if (!options.keep_spool.empty())
        recording.spool->keep();
    // Without the table each make process hashes its files itself: slower, as whole.
    end_digests::create_table(recording.spool->path().c_str());
    recording.shim_dir = std::make_unique<OwnedDir>(make_temp_dir("tracemake-shim"));
    fs::create_symlink(shim::shim_program(), recording.shim_dir->path() / "make");
    build["topdir"] = fs::current_path().string();
    build["preload"] = shim::preload_path();
    const char *user_path = std::getenv("PATH");
    build["label"] = options.label;
    build["replace"] = options.replace ? "1" : "0";
    build["command"] = shim::join_words(options.command);
    build["path"] = user_path ? user_path : "";
    build["shimdir"] = recording.shim_dir->path().string();
    return recording;
}

/// Sets what every make of the build finds in its environment; the top
/// make is started by this process, as the shim.
void enter_recording(const RecordOptions &options, const Recording &recording)
{
    const std::string shim_path = (recording.shim_dir->path() / "make").string();
    const char *user_path = std::getenv("PATH");
    setenv("PATH", (recording.shim_dir->path().string() + (user_path ? ":" + std::string(user_path) : "")).c_str(), 1);
    setenv(capture::env_spool, recording.spool->path().c_str(), 1);
    setenv(capture::env_real_make, recording.real_make.c_str(), 1);
    setenv(capture::env_shim, shim_path.c_str(), 1);
    setenv(capture::env_argv0, options.command[0].c_str(), 1);
    unsetenv(capture::env_proc);
    unsetenv(capture::env_depth);
    unsetenv(capture::target_variable);
}

/// Writes the build's keys into the spool and stores the spool; when that
/// fails, keeps the spool and tells how to store it later.  False then.
bool store_recording(const std::string &label, OwnedDir &spool, const std::map<std::string, std::string> &build)
{
    std::string failure;
    try {
        spool::write_keys(spool.path() / spool::build_file, build);
        const LoadInterruptNotice notice(label, spool.path());
        store::Stored stored;
        store::load_spool(spool.path(), &stored);
        std::fprintf(stderr, "tracemake: %s\n", store::describe(stored).c_str());
        return true;
    } catch (const std::exception &error) {
        failure = error.what();
    }
    spool.keep();
    std::fprintf(stderr,
                 "tracemake: the build '%s' was not stored: %s\n"
                 "tracemake: its record is kept in %s; store it with: tracemake load %s\n",
                 label.c_str(), failure.c_str(), spool.path().c_str(), spool.path().c_str());
    return false;
}

} // namespace

int cmd_record(const Args &args)
{
    RecordOptions options;
    try {
        options = parse(args);
    } catch (const std::invalid_argument &wrong) {
        std::fprintf(stderr, "tracemake record: %s\nusage: tracemake record --label LABEL [--replace] [--make PATH] "
                             "[--keep-spool DIR] -- make [ARGS...]\n",
                     wrong.what());
        return status_trouble;
    }
    std::map<std::string, std::string> build;
    Recording recording;
    try {
        recording = set_up(options, build);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tracemake: %s\ntracemake: the build was not run\n", error.what());
        return status_trouble;
    }
    enter_recording(options, recording);

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
    // The make processes' shared digests served the build; the load does not read them.
    std::error_code ignored;
    fs::remove(recording.spool->path() / capture::digest_table_file, ignored);
    build["complete"] = outcome.interrupted || outcome.term_signal ? "0" : "1";

    const bool stored = store_recording(options.label, *recording.spool, build);
    if (outcome.term_signal) {
        recording.spool.reset();
        recording.shim_dir.reset();
        shim::end_like(outcome);
    }
    if (!stored && outcome.status == 0)
        return status_not_stored;
    return outcome.status;
}
