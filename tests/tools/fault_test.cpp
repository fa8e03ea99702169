// Faults around a query tool's run, the same cases for each of the six
// tools: the server going away, a lookup held back until it is cancelled,
// a user without read rights, no server at all, and a report that cannot
// be written completely.  Whatever happens, what was written stays, the
// run ends with die's diagnostic, and the status says the run failed.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "private_cluster.h"
#include "test_support.h"
#include "tool_queries.h"

using namespace testsupport;

namespace {

/// Arguments of one run after the program name ("{report}" and "{list}"
/// stand for the paths of the report and of the list), and changescan's list.
struct Invocation {
    std::vector<std::string> args;
    std::string list = {};
};

/// What the fault cases know of one tool.
struct ToolRun {
    std::string program;
    Invocation normal;       ///< a run of two lookups or more that succeeds
    std::string first_query; ///< die's message when normal's first lookup is rejected

    Invocation large;         ///< a run whose report outgrows a page (4 KiB)
    Invocation large_failing; ///< a run that writes as much, then fails
    std::string failure;      ///< die's message line for large_failing

    // A later lookup of `normal` is held back by a lock on the rows of
    // ZTR_FILEINST whose gate_column is gate_value (an SQL literal).
    std::string gate_column, gate_value;
    Invocation before_gate;  ///< a run that writes what normal writes before that lookup
    std::string gated_query; ///< die's message for that lookup
    std::string stop_mode;   ///< how the server is stopped while it waits
};

void PrintTo(const ToolRun &tool, std::ostream *os)
{
    *os << tool.program;
}

std::string repeat(const std::string &text, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += text;
    return s;
}

const std::string no_environment = "There no required environment definition";
const std::string no_such_file = "There no such file, the data file may not be up-to-date";

// OIDs 7001 and 7002 (db/test/70_faults.sql) carry texts long enough to
// outgrow a page in every report.
const ToolRun tool_runs[] = {
    {"envshow", {{"{report}", "1001", "1002"}}, query_with(envshow_query, {"1001"}),
     {{"{report}", "7001", "1001"}}, {{"{report}", "7001", "1999"}}, no_environment,
     "OID", "1002", {{"{report}", "1001"}}, query_with(envshow_query, {"1002"}), "fast"},
    {"recipeshow", {{"{report}", "2001", "2006"}}, query_with(recipeshow_query, {"2001"}),
     {{"{report}", "7001", "2001"}}, {{"{report}", "7001", "2999"}}, no_such_file,
     "OID", "2006", {{"{report}", "2001"}}, query_with(recipeshow_query, {"2006"}), "immediate"},
    {"procshow", {{"{report}", "3001", "3031"}}, query_with(procshow_query, {"3001"}),
     {{"{report}", "7001", "3001"}}, {{"{report}", "7001", "3999"}}, no_such_file,
     "OID", "3031", {{"{report}", "3001"}}, query_with(procshow_query, {"3031"}), "fast"},
    // The five-argument form: the second comparison starts with 4003.
    {"envdiff", {{"{report}", "4001", "4003", "4002", "4004"}}, query_with(envdiff_query, {"4001"}),
     {{"{report}", "7001", "4001"}}, {{"{report}", "7001", "7001", "4001", "4999"}}, no_environment,
     "OID", "4003", {{"{report}", "4001", "4002"}}, query_with(envdiff_query, {"4003"}), "immediate"},
    // rulediff writes its one block after both lookups: nothing comes
    // before the held-back lookup, and a failing run writes nothing first.
    {"rulediff", {{"{report}", "5001", "5002"}}, query_with(rulediff_query, {"5001"}),
     {{"{report}", "7001", "7002"}}, {{"{report}", "5999", "5001"}}, "Target doesn't exist",
     "OID", "5002", {}, query_with(rulediff_query, {"5002"}), "fast"},
    {"changescan", {{"{list}", "{report}", "old", "new"}, "util.c src src\npair.c lib lib\n"},
     query_with(changescan_query, {"old", "util.c", "src"}),
     {{"{list}", "{report}", "old", "new"}, repeat("pair.c lib lib\n", 100)},
     {{"{list}", "{report}", "old", "new"}, repeat("pair.c lib lib\n", 100) + "bad\xff.c src src\n"},
     query_with(changescan_query, {"old", "bad\xff.c", "src"}),
     "INST_NAME", "'pair.c'", {{"{list}", "{report}", "old", "new"}, "util.c src src\n"},
     query_with(changescan_query, {"old", "pair.c", "lib"}), "immediate"},
};

/// The application name under which the tools run here, to find their sessions.
const std::string tool_application = "daver-fault-test";

class ToolFault : public testing::TestWithParam<ToolRun> {
protected:
    TempDir dir;
    std::string report = dir.file("report.txt");

    const ToolRun &tool() const { return GetParam(); }

    /// Runs `how` with its report at `report_path` (the fixture's report
    /// when empty) and the environment entries `env`.
    RunResult run(const Invocation &how, const std::vector<std::string> &env = {}, const std::string &report_path = "")
    {
        return run_program(argv_of(how, report_path), options(env));
    }

    std::vector<std::string> argv_of(const Invocation &how, const std::string &report_path = "")
    {
        const std::string list = dir.file("list.txt");
        write_file(list, how.list);
        return tool_argv(tool().program, how.args, report_path.empty() ? report : report_path, list);
    }

    static RunOptions options(std::vector<std::string> env) { return tool_options(std::move(env), tool_application); }

    std::string written() const { return read_file(report); }

    /// die's one line on standard error: the program, what failed and the
    /// report that holds the details.
    void expect_failure_line(const RunResult &r, const std::string &what, const std::string &report_path)
    {
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.err.starts_with(tool().program + ": " + what)) << r.err;
        EXPECT_TRUE(r.err.ends_with(" (details in " + report_path + ")\n")) << r.err;
    }

    /// What a run of `normal` writes before its held-back lookup: the
    /// report without its final "\n", and standard output.
    struct Kept {
        std::string report, out;
    };
    // In `cluster`, puts the rows of the tool's held-back lookup behind a
    // gate and closes it with a lock that `db` holds until its transaction
    // ends (or its server stops).  Returns what was written before that lookup.
    Kept close_gate(const PrivateCluster &cluster, PgSession &db);

    // A report at `path`, on a device or file system without room: a
    // complete run and a failing one both end with a failing status and a
    // word on standard error.
    void expect_no_room(const std::string &path);
};

std::string tool_name(const testing::TestParamInfo<ToolRun> &info)
{
    return info.param.program;
}

INSTANTIATE_TEST_SUITE_P(QueryTools, ToolFault, testing::ValuesIn(tool_runs), tool_name);

// Moves the rows of ZTR_FILEINST whose `column` is `value` into a partition
// of their own, ztr_fileinst_gate.  A lookup of those rows must lock that
// partition when it is planned; a lookup of other rows prunes it away and
// never touches it.  So a lock on the gate holds back exactly the lookups
// of those rows, even inside a transaction that has read the table before.
void build_gate(PgSession &db, const std::string &column, const std::string &value)
{
    db.exec("ALTER TABLE ZTR_FILEINST RENAME TO ztr_fileinst_rows;"
            "CREATE TABLE ZTR_FILEINST (LIKE ztr_fileinst_rows) PARTITION BY LIST (" + column + ");"
            "CREATE TABLE ztr_fileinst_gate PARTITION OF ZTR_FILEINST FOR VALUES IN (" + value + ");"
            "CREATE TABLE ztr_fileinst_rest PARTITION OF ZTR_FILEINST DEFAULT;"
            "INSERT INTO ZTR_FILEINST SELECT * FROM ztr_fileinst_rows;"
            "DROP TABLE ztr_fileinst_rows;");
}

ToolFault::Kept ToolFault::close_gate(const PrivateCluster &cluster, PgSession &db)
{
    build_gate(db, tool().gate_column, tool().gate_value);
    Kept kept;
    if (!tool().before_gate.args.empty()) {
        const RunResult r = run(tool().before_gate, cluster.env());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        kept = {written(), r.out};
        if (kept.report.ends_with("\n"))
            kept.report.pop_back();
        else
            ADD_FAILURE() << "a report without its final line end:\n" << kept.report;
    }
    db.exec("BEGIN; LOCK TABLE ztr_fileinst_gate IN ACCESS EXCLUSIVE MODE");
    return kept;
}

// Waits until a tool's session waits for the lock that `db` holds.  A tool
// that ends first, or a wait of more than two minutes, fails the test.
void wait_until_held_back(PgSession &db, const BackgroundRun &tool)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    // Inside a transaction the activity view keeps its first snapshot
    // unless it is cleared.
    const std::string held_back = "SELECT pg_stat_clear_snapshot(), count(*) FROM pg_stat_activity WHERE application_name = '" +
                                  tool_application + "' AND pg_backend_pid() = ANY (pg_blocking_pids(pid))";
    while (db.rows(held_back).at(0).at(1) == "0") {
        ASSERT_FALSE(tool.ended()) << "the tool ended before its lookup was held back";
        ASSERT_TRUE(std::chrono::steady_clock::now() < deadline) << "the tool's lookup was never held back";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// What a server's end looks like to a client that waits for an answer: a
// fast shutdown ends the session with a message, an immediate one drops it.
std::vector<std::string> stop_messages(const std::string &mode)
{
    if (mode == "fast")
        return {"FATAL:  terminating connection due to administrator command"};
    return {"server closed the connection unexpectedly", "Connection reset by peer"};
}

TEST_P(ToolFault, ServerStoppedBetweenTwoLookupsKeepsWhatWasWritten)
{
    PrivateCluster cluster;
    PgSession db(cluster.host());
    const Kept kept = close_gate(cluster, db);
    BackgroundRun running(argv_of(tool().normal), options(cluster.env()));
    wait_until_held_back(db, running);
    if (HasFatalFailure())
        return;
    cluster.halt(tool().stop_mode);
    const RunResult r = running.wait();

    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, kept.out) << "progress counts of the records done";
    const std::string text = written();
    const std::string head = kept.report + tool().gated_query + "\n\t";
    ASSERT_TRUE(text.starts_with(head)) << text;
    EXPECT_TRUE(text.ends_with("\n\n")) << text;
    const std::string error = text.substr(head.size());
    bool told = false;
    for (const auto &message : stop_messages(tool().stop_mode))
        told = told || error.starts_with(message);
    EXPECT_TRUE(told) << tool().stop_mode << " shutdown, but the report says:\n" << error;
}

TEST_P(ToolFault, StatementTimeoutCancelsAHeldBackLookup)
{
    PrivateCluster cluster;
    PgSession db(cluster.host());
    // The earlier lookups take a few milliseconds; the held-back one can
    // only end by the timeout.
    const Kept kept = close_gate(cluster, db);
    std::vector<std::string> env = cluster.env();
    env.push_back("PGOPTIONS=-c statement_timeout=500");
    const RunResult r = run(tool().normal, env);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, kept.out);
    EXPECT_EQ(written(), kept.report + tool().gated_query + "\n\tERROR:  canceling statement due to statement timeout\n\n\n");
}

/// A login role without any right on the trace tables, dropped with the object.
class RoleWithoutRights {
public:
    explicit RoleWithoutRights(const std::string &tag)
        : name_("daver_norights_" + tag + "_" + std::to_string(getpid()))
    {
        db_.exec("CREATE ROLE " + name_ + " LOGIN");
    }
    ~RoleWithoutRights() { db_.exec("DROP ROLE " + name_); }
    RoleWithoutRights(const RoleWithoutRights &) = delete;
    RoleWithoutRights &operator=(const RoleWithoutRights &) = delete;
    const std::string &name() const { return name_; }

private:
    PgSession db_;
    std::string name_;
};

TEST_P(ToolFault, UserWithoutReadRightsGetsTheRejectedQuery)
{
    const RoleWithoutRights role(tool().program);
    const RunResult r = run(tool().normal, {"PGUSER=" + role.name()});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string text = written();
    EXPECT_TRUE(text.starts_with(tool().first_query + "\n\tERROR:  permission denied for table ztr_")) << text;
    EXPECT_TRUE(text.ends_with("\n\n\n")) << text;
    expect_failure_line(r, "SELECT ", report);
    EXPECT_NE(r.err.find(": ERROR: permission denied for table ztr_"), std::string::npos) << r.err;
}

TEST_P(ToolFault, UnreachableServerLeavesTheConnectionDiagnostic)
{
    const RunResult r = run(tool().normal, {"PGHOST=" + dir.file("nowhere")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    const std::string text = written();
    EXPECT_TRUE(text.starts_with("Failed to build a connection\n\t")) << text;
    EXPECT_NE(text.find(dir.file("nowhere")), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\n\n")) << text;
    expect_failure_line(r, "Failed to build a connection: connection to server on socket", report);
}

/// A small tmpfs on a fresh folder, filled until `room` bytes are left;
/// unmounted with the object.  Mounting needs the right to mount.
class SmallFileSystem {
public:
    explicit SmallFileSystem(std::size_t room)
    {
        if (mount("daver-test", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0) {
            why_not_ = std::strerror(errno);
            return;
        }
        mounted_ = true;
        struct statvfs fs {};
        if (statvfs(dir_.path().c_str(), &fs) != 0)
            throw std::runtime_error("statvfs failed");
        write_file(file("filler"), std::string(fs.f_bavail * fs.f_bsize - room, 'f'));
    }
    ~SmallFileSystem()
    {
        if (mounted_)
            umount2(dir_.path().c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return mounted_; }
    const std::string &why_not() const { return why_not_; }
    std::string file(const std::string &name) const { return dir_.file(name); }

private:
    TempDir dir_;
    bool mounted_ = false;
    std::string why_not_;
};

// Expects the failure of a run whose report could not take die's
// diagnostic: the diagnostic on standard error instead.
void expect_diagnostic_on_stderr(const RunResult &r, const std::string &message)
{
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("the report could not be written completely"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n" + message + "\n\t"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n\n")) << r.err;
}

void ToolFault::expect_no_room(const std::string &path)
{
    RunResult r = run(tool().normal, {}, path);
    EXPECT_NE(r.exit_code, 0) << path;
    EXPECT_NE(r.err.find("the report could not be written completely"), std::string::npos) << path << "\n" << r.err;

    r = run(tool().large_failing, {}, path);
    expect_diagnostic_on_stderr(r, tool().failure);
}

TEST_P(ToolFault, ReportOnAFullDeviceFails)
{
    expect_no_room("/dev/full");
}

TEST_P(ToolFault, ReportOnAFullFileSystemFails)
{
    const SmallFileSystem fs(0);
    if (!fs.mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here (" << fs.why_not() << "); /dev/full stands in for it";
    expect_no_room(fs.file("report.txt"));
    EXPECT_EQ(read_file(fs.file("report.txt")), "");
}

TEST_P(ToolFault, ReportThatFillsUpMidwayKeepsWhatFitted)
{
    constexpr std::size_t room = 4096;
    const SmallFileSystem fs(room);
    if (!fs.mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here (" << fs.why_not() << ")";
    const std::string cramped = fs.file("report.txt");

    // A run that would write more than the room: what fitted is the start
    // of the report, and the status says the rest is missing.
    RunResult r = run(tool().large);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string whole = written();
    r = run(tool().large, {}, cramped);
    EXPECT_NE(r.exit_code, 0);
    std::string text = read_file(cramped);
    EXPECT_LT(text.size(), whole.size());
    EXPECT_EQ(text.size(), std::min(whole.size(), room)) << "the report keeps all that fitted";
    EXPECT_TRUE(whole.starts_with(text)) << "the report is not the start of the whole one";

    // A run that fails after it filled the room: the diagnostic goes to
    // standard error exactly when it could not reach the report.
    r = run(tool().large_failing);
    ASSERT_EQ(r.exit_code, 1);
    whole = written();
    r = run(tool().large_failing, {}, cramped);
    text = read_file(cramped);
    EXPECT_EQ(text.size(), std::min(whole.size(), room)) << "the report keeps all that fitted";
    EXPECT_TRUE(whole.starts_with(text)) << "the report is not the start of the whole one";
    if (text.size() < whole.size()) {
        expect_diagnostic_on_stderr(r, tool().failure);
    } else {
        EXPECT_EQ(r.exit_code, 1);
        expect_failure_line(r, tool().failure, cramped);
    }
}

} // namespace
