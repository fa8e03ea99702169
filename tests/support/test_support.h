// Helpers shared by the tests: running the built programs, temporary
// folders, files, and a libpq session on the test database.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/child.h"
#include "common/files.h"
#include "common/pg.h"

namespace testsupport {

/// How a program run ended and what it printed.
struct RunResult {
    int exit_code = -1;   ///< exit status, or -1 when ended by a signal
    int term_signal = 0;  ///< the signal that ended it, or 0
    std::string out;      ///< standard output
    std::string err;      ///< standard error
};

/// Options of run_program.
struct RunOptions {
    std::string stdin_path;               ///< file for standard input; /dev/null when empty
    std::string stdout_path;              ///< file for standard output instead of a pipe
    std::vector<std::string> extra_env;   ///< NAME=VALUE entries added to the environment
    std::filesystem::path cwd;            ///< working folder; the test's own when empty
};

/// Path of a built program in the build's bin folder.
std::string bin_path(const std::string &program);

/// Runs `argv` (argv[0] a path) to its end and collects its output.
///
/// A program of this build (one in the bin folder) is started under the
/// words of the environment variable DAVER_RUN_WRAPPER when it is set, e.g.
/// "valgrind --quiet --error-exitcode=99", so that a whole suite can run its
/// programs under a checker.  Other programs (scripts, servers) start as they are.
RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options = {});

/// A program started as run_program starts it, left running while the test
/// goes on.  Its output is collected by wait(); until then it may write no
/// more than a pipe holds (64 KiB on Linux) to either stream without blocking.
/// A program still running when the object goes away is killed.
class BackgroundRun {
public:
    explicit BackgroundRun(const std::vector<std::string> &argv, const RunOptions &options = {});
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun &) = delete;
    BackgroundRun &operator=(const BackgroundRun &) = delete;

    /// True once the program has ended (it is not reaped before wait()).
    bool ended() const;
    /// Sends `sig` to the program, as a user stopping a server would.
    void signal(int sig) const;
    /// Waits for the end of the program and returns how it ended.
    RunResult wait();

private:
    std::unique_ptr<child::Child> child_;
};

/// A fresh folder under the system's temp folder, removed with its contents.
struct TempDir : files::TempDir {
    TempDir() : files::TempDir("daver-test-") {}
    std::string file(const std::string &name) const { return (path() / name).string(); }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

/// The message of the std::exception that `call` throws, or "" when it throws none.
template <typename Call> std::string message_of(Call call)
{
    try {
        call();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

/// A connection to "DAVER" on the test server (libpq defaults: PGHOST, ...),
/// or on the server whose socket folder is `host`.
class PgSession {
public:
    PgSession();
    explicit PgSession(const std::string &host);

    /// Runs statements that return no rows; fails the test on an error.
    void exec(const std::string &sql);
    /// The rows of a query, each row its values as text (NULL as "<NULL>").
    std::vector<std::vector<std::string>> rows(const std::string &sql);
    /// The first value of the first row of a query.
    std::string value(const std::string &sql);
    /// A digest of a whole table in a fixed order, to show it is unchanged.
    std::string table_digest(const std::string &table);

private:
    pg::Connection conn_;
};

/// Points libpq's defaults (and so every program run) at the test cluster
/// whose folder the build names; called once by the test main.
void use_test_cluster();

} // namespace testsupport
