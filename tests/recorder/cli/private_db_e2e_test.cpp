// tracemake on a machine where no trace server is named (no PG variables)
// and none answers on libpq's default: the private database under a
// temporary HOME is made, started, used, stopped and started again, and a
// named server still wins.  Every server a test starts is stopped when the
// test ends, however it ends.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/private_db.h"
#include "private_cluster.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const char made_line[] = "made a private trace database in ";
const char started_line[] = "started the private trace database in ";

std::size_t count_of(const std::string &text, const std::string &word)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

/// Every path below `dir`, to show that a refused folder was left alone.
std::set<std::string> tree(const fs::path &dir)
{
    std::set<std::string> paths;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        paths.insert(entry.path().string());
    return paths;
}

/// Stops, with the object, whatever server still runs in the private
/// folder (the finished cluster, or one left half made).
class ServerStopper {
public:
    explicit ServerStopper(fs::path folder) : folder_(std::move(folder)) {}
    ~ServerStopper()
    {
        for (const char *data : {"data", "data.new"}) {
            if (!fs::exists(folder_ / data / "postmaster.pid"))
                continue;
            std::vector<std::string> argv;
            if (geteuid() == 0)
                argv = {"runuser", "-u", "postgres", "--"};
            try {
                const fs::path bin = privatedb::server_programs({"/usr/lib/postgresql"}, std::getenv("PATH"), "");
                argv.push_back((bin / "pg_ctl").string());
            } catch (const privatedb::Error &) {
                continue;
            }
            for (const std::string &word : std::vector<std::string>{"-D", (folder_ / data).string(), "-m", "immediate", "-w", "stop"})
                argv.push_back(word);
            run_program(argv);
        }
    }
    ServerStopper(const ServerStopper &) = delete;
    ServerStopper &operator=(const ServerStopper &) = delete;

private:
    fs::path folder_;
};

/// A port on 127.0.0.1 that nothing listens on at the moment.
int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(address.sin_port);
}

/// The body of GET `target` from 127.0.0.1:`port`, or "" when nothing answers there.
std::string http_get(int port, const std::string &target)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nConnection: close\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
                reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

class PrivateDbE2e : public ::testing::Test {
protected:
    PrivateDbE2e() : home_(tmp_.path() / "home"), project_(tmp_.path() / "project"), stopper_(folder())
    {
        // The server runs as postgres when we are root: it must pass our folders.
        chmod(tmp_.path().c_str(), 0755);
        fs::create_directories(home_);
        fs::create_directories(project_);
        write_file((project_ / "Makefile").string(), "all: out\nout:\n\techo built > out\n");
        for (const std::string &name : privatedb::naming_variables)
            unsetenv(name.c_str());
        unsetenv("XDG_DATA_HOME");
        setenv("HOME", home_.c_str(), 1);
    }

    void SetUp() override
    {
        if (privatedb::default_server_answers())
            GTEST_SKIP() << "a server answers on libpq's default, so tracemake would use it";
    }

    fs::path folder() const { return home_ / ".local/share/daver"; }

    RunResult tracemake(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) const
    {
        std::vector<std::string> argv = {bin_path("tracemake")};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = project_;
        options.extra_env = env;
        return run_program(argv, options);
    }
    RunResult record(const std::string &label, const std::vector<std::string> &env = {}) const
    {
        fs::remove(project_ / "out");
        return tracemake({"record", "--label", label, "--", "make"}, env);
    }
    /// The labels recorded in the private database, sorted.
    std::vector<std::string> labels() const
    {
        PgSession session(folder().string());
        std::vector<std::string> out;
        for (const auto &row : session.rows("SELECT BLD_LABEL FROM ZTR_BUILD ORDER BY 1"))
            out.push_back(row.at(0));
        return out;
    }

    TempDir tmp_;
    fs::path home_, project_;
    ServerStopper stopper_;
};

TEST_F(PrivateDbE2e, FirstRecordMakesAndStartsItLaterOnesUseItAndItStartsAgainAfterStop)
{
    const RunResult first = record("one");
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(count_of(first.err, made_line + folder().string()), 1u) << first.err;
    EXPECT_TRUE(fs::exists(project_ / "out"));
    EXPECT_TRUE(fs::exists(folder() / ".s.PGSQL.5432"));
    struct stat st {};
    ASSERT_EQ(stat(folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(labels(), (std::vector<std::string>{"one"}));

    const RunResult second = record("two");
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.err.find("private"), std::string::npos) << second.err;
    EXPECT_EQ(labels(), (std::vector<std::string>{"one", "two"}));

    // The build never sees where its record goes.
    PgSession session(folder().string());
    EXPECT_EQ(session.value("SELECT count(*) FROM ZTR_VARIABLE WHERE VAR_NAME IN ('PGHOST', 'PGPORT')"), "0");
    const std::string oid = session.value("SELECT min(OID) FROM ZTR_FILEINST WHERE INST_VERSION = 'two' "
                                          "AND INST_NAME = 'out'");

    // The report tools read libpq's defaults: `db env` sets them.
    const fs::path report = tmp_.path() / "envshow.txt";
    const RunResult env = run_program({"/bin/bash", "-c", "eval \"$(\"$0\" db env)\" && \"$1\" \"$2\" \"$3\"",
                                       bin_path("tracemake"), bin_path("envshow"), report.string(), oid});
    ASSERT_EQ(env.exit_code, 0) << env.out << env.err;
    EXPECT_NE(read_file(report.string()).find("Environment at " + oid + " from "), std::string::npos)
        << read_file(report.string());

    const RunResult stop = tracemake({"db", "stop"});
    ASSERT_EQ(stop.exit_code, 0) << stop.err;
    const RunResult status = tracemake({"db", "status"});
    EXPECT_EQ(status.exit_code, 1);
    EXPECT_NE(status.out.find("state: stopped"), std::string::npos) << status.out;
    EXPECT_FALSE(fs::exists(folder() / ".s.PGSQL.5432"));

    const RunResult third = record("three");
    ASSERT_EQ(third.exit_code, 0) << third.err;
    EXPECT_EQ(count_of(third.err, started_line + folder().string()), 1u) << third.err;
    EXPECT_EQ(labels(), (std::vector<std::string>{"one", "three", "two"}));
    EXPECT_EQ(tracemake({"db", "status"}).exit_code, 0);
}

TEST_F(PrivateDbE2e, TraceviewStartsThePrivateDatabaseAndListsItsBuilds)
{
    ASSERT_EQ(record("seen").exit_code, 0);
    ASSERT_EQ(tracemake({"db", "stop"}).exit_code, 0);
    const int port = free_port();
    BackgroundRun traceview({bin_path("traceview"), "--port", std::to_string(port), "--label", "seen"});
    // It opens the build before it listens: ask until it answers.
    std::string labels;
    for (int i = 0; i < 3000 && labels.empty() && !traceview.ended(); ++i) {
        labels = http_get(port, "/api/labels");
        if (labels.empty())
            usleep(20000);
    }
    traceview.signal(SIGTERM);
    const RunResult r = traceview.wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.err, "traceview: " + (started_line + folder().string())), 1u) << r.err;
    EXPECT_NE(labels.find("\"seen\""), std::string::npos) << labels << r.err;
    EXPECT_EQ(r.err.find("cannot"), std::string::npos) << r.err;
}

TEST_F(PrivateDbE2e, TwoRecordsStartingAtOnceMakeItOnceAndAreBothStored)
{
    RunOptions options;
    options.cwd = project_;
    BackgroundRun a({bin_path("tracemake"), "record", "--label", "a", "--", "make", "-B"}, options);
    BackgroundRun b({bin_path("tracemake"), "record", "--label", "b", "--", "make", "-B"}, options);
    const RunResult ra = a.wait(), rb = b.wait();
    ASSERT_EQ(ra.exit_code, 0) << ra.err;
    ASSERT_EQ(rb.exit_code, 0) << rb.err;
    EXPECT_EQ(count_of(ra.err + rb.err, made_line), 1u) << ra.err << rb.err;
    EXPECT_EQ(count_of(ra.err + rb.err, started_line), 0u) << ra.err << rb.err;
    EXPECT_EQ(labels(), (std::vector<std::string>{"a", "b"}));
}

/// Writes `content` into `path` owned like `like`, as the server's own file would be.
void write_as_server(const fs::path &path, const std::string &content, const fs::path &like)
{
    write_file(path.string(), content);
    struct stat st {};
    ASSERT_EQ(stat(like.c_str(), &st), 0);
    ASSERT_EQ(chown(path.c_str(), st.st_uid, st.st_gid), 0);
    chmod(path.c_str(), 0600);
}

TEST_F(PrivateDbE2e, AServerThatCrashedLeavesALockAndASocketThatTheNextStartClears)
{
    ASSERT_EQ(record("before").exit_code, 0);
    // What a killed server leaves behind: its pid file, the socket's lock
    // file (both naming a process that is gone) and the socket itself.
    const fs::path pid_file = folder() / "data/postmaster.pid", socket_lock = folder() / ".s.PGSQL.5432.lock";
    const std::string pid_text = read_file(pid_file.string()), lock_text = read_file(socket_lock.string());
    ASSERT_EQ(tracemake({"db", "stop"}).exit_code, 0);
    ASSERT_FALSE(fs::exists(pid_file));
    // The server takes its pid file away just before it ends: the files
    // are stale once the process is gone.
    const pid_t server = std::stoi(pid_text);
    for (int i = 0; i < 6000 && kill(server, 0) == 0; ++i)
        usleep(10000);
    ASSERT_NE(kill(server, 0), 0) << "the stopped server's process " << server << " is still there";
    write_as_server(pid_file, pid_text, folder() / "data");
    write_as_server(socket_lock, lock_text, folder());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = (folder() / ".s.PGSQL.5432").string();
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);

    const RunResult after = record("after");
    ASSERT_EQ(after.exit_code, 0) << after.err;
    EXPECT_EQ(count_of(after.err, started_line), 1u) << after.err;
    EXPECT_EQ(labels(), (std::vector<std::string>{"after", "before"}));
}

TEST_F(PrivateDbE2e, ACreationThatRunsOutOfSpaceLeavesNothingHalfMadeAndTheNextOneSucceeds)
{
    // A limit on the size of the files written (2 MB, below one WAL segment)
    // fails initdb as a full disk would.
    const RunResult full = run_program(
        {"/bin/bash", "-c", "ulimit -f 2048 && cd \"$1\" && exec \"$0\" record --label full -- make",
         bin_path("tracemake"), project_.string()});
    EXPECT_EQ(full.exit_code, 2) << full.err;
    EXPECT_NE(full.err.find("initdb failed"), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("the build was not run"), std::string::npos) << full.err;
    EXPECT_FALSE(fs::exists(folder() / "data"));
    EXPECT_FALSE(fs::exists(folder() / "data.new"));

    const RunResult r = record("roomy");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.err, made_line), 1u) << r.err;
    EXPECT_EQ(labels(), (std::vector<std::string>{"roomy"}));
}

TEST_F(PrivateDbE2e, AFolderThatIsNotAClusterIsRefusedAndLeftAsItWas)
{
    const struct {
        const char *what;
        std::vector<std::string> files;
        const char *said;
    } cases[] = {
        {"a folder of other things", {"notes.txt"}, "it holds notes.txt"},
        {"a data folder without a cluster", {"data/base.txt"}, "is not a PostgreSQL cluster"},
    };
    for (const auto &c : cases) {
        fs::remove_all(folder());
        for (const auto &file : c.files) {
            fs::create_directories((folder() / file).parent_path());
            write_file((folder() / file).string(), "mine\n");
        }
        const std::set<std::string> before = tree(folder());
        const RunResult r = record("refused");
        EXPECT_EQ(r.exit_code, 2) << c.what;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("the build was not run"), std::string::npos) << c.what << ": " << r.err;
        EXPECT_FALSE(fs::exists(project_ / "out")) << c.what;
        EXPECT_EQ(tracemake({"db", "start"}).exit_code, 1) << c.what;
        EXPECT_EQ(tree(folder()), before) << c.what;
        EXPECT_EQ(read_file((folder() / c.files[0]).string()), "mine\n") << c.what;
    }
}

TEST_F(PrivateDbE2e, AsRootAFolderAboveClosedToTheServersUserIsOpenedToItAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root runs the server as another user";
    // As /root is: closed to everyone but its owner.
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0700), 0);
    const RunResult r = record("closed");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("may now pass " + tmp_.path().string() + " "), std::string::npos) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(tmp_.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07, 0u) << "others were let in";
    const RunResult nobody = run_program({"runuser", "-u", "nobody", "--", "test", "-x", tmp_.path().string()});
    EXPECT_NE(nobody.exit_code, 0) << "nobody may pass";
    EXPECT_EQ(labels(), (std::vector<std::string>{"closed"}));

    const RunResult again = record("again");
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(again.err.find("may now pass"), std::string::npos) << again.err;
}

TEST_F(PrivateDbE2e, AWrongCommandLineMakesNothing)
{
    const std::vector<std::string> wrong[] = {{"record", "--", "make"}, {"record", "--label", "x"},
                                              {"db", "restart"}, {"db"}};
    for (const auto &args : wrong) {
        const RunResult r = tracemake(args);
        EXPECT_EQ(r.exit_code, 2) << args[0] << " " << r.err;
        EXPECT_NE(r.err.find("usage"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(PrivateDbE2e, ANamedServerWinsOverThePrivateOne)
{
    PrivateCluster named;
    const std::vector<std::string> env = {"PGHOST=" + named.host(), "PGPORT=5432", "PGUSER=postgres"};
    const RunResult r = record("named", env);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const RunResult list = tracemake({"list"}, env);
    EXPECT_NE(list.out.find("\nnamed\t"), std::string::npos) << list.out;

    // A named server that does not answer is an error, not a reason to make another.
    const RunResult gone = record("gone", {"PGHOST=" + (tmp_.path() / "no-server").string()});
    EXPECT_EQ(gone.exit_code, 2);
    EXPECT_NE(gone.err.find("cannot reach the trace database"), std::string::npos) << gone.err;
    EXPECT_FALSE(fs::exists(folder()));
}

} // namespace
