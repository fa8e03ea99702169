// Spools made from real make runs, loaded into a cluster of the tests' own
// (loads must not disturb the rows that the other tests read), and the rows
// checked; the faults of a load; list, find and load as the user runs them;
// and the query tools on recorded rows.
#include "load/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "common/sha256.h"
#include "makedb/makedb.h"
#include "spool/paths.h"
#include "../make_run.h"
#include "common/pg.h"
#include "private_cluster.h"
#include "spool/spool.h"

using namespace testsupport;

namespace {

using Files = std::map<std::string, std::string>;
using Keys = std::map<std::string, std::string>;

const char *const top_makefile = R"(CFLAGS = -O2
.PHONY: all sub
all: sub prog | out
sub: ; @echo $(MAKE) -C sub
prog: main.c
	cp main.c prog
prog: CFLAGS += -g
prog: override LDFLAGS = -s
out: ; mkdir -p out
it's: ; touch "it's"
)";
const char *const sub_makefile = "lib:\n\ttouch lib\n";
// SHA-256 of "hello\n", the content of main.c and so of prog.
const char *const hello_sha256 = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";

/// A spool of a two-process build (top make and a sub-make in sub/) made
/// from real make runs: the top one the way the recorder runs it.
class BuildSpool {
public:
    BuildSpool() : project_(Files{{"Makefile", top_makefile}, {"main.c", "hello\n"}, {"sub/Makefile", sub_makefile}})
    {
        const std::string shimdir = (spool_.path() / "shim").string();
        std::filesystem::create_directories(shimdir);
        std::filesystem::create_symlink("/usr/bin/make", shimdir + "/make");
        const std::string top_db = project_.database_text(
            {"--eval=export TRACEMAKE_TARGET = $@"},
            {"PATH=" + shimdir + ":" + std::getenv("PATH"), "TRACEMAKE_SPOOL=" + spool_.path().string()},
            shimdir + "/make");
        const std::string sub_db = project_.database_text({"-C", "sub"});
        build_ = {{"label", "b1"}, {"replace", "0"}, {"topdir", project_.path().string()}, {"command", "make"},
                  {"start", "1765136182.250000"}, {"end", "1765136183.5"}, {"status", "0"}, {"complete", "1"},
                  {"shimdir", shimdir}, {"preload", "/nonexistent/libtracemake.so"}};
        // The top make's keys as an older recorder wrote them, with user_p.
        add_process("1", {{"parent", ""}, {"startdir", project_.path().string()}, {"cmdline", "make"},
                          {"start", "1765136182.3"}, {"end", "1765136183.4"}, {"status", "0"}, {"argv0", "make"},
                          {"user_p", "0"}},
                    top_db, {{"sub", shimdir + "/make -C sub"}, {"prog", "cp main.c prog"}});
        add_process("2", {{"parent", "1"}, {"parent_target", "sub"}, {"startdir", project_.path().string()},
                          {"cmdline", "make -C sub"}, {"start", "1765136182.5"}, {"end", "1765136182.9"},
                          {"status", "0"}, {"argv0", "make"}},
                    sub_db, {{"lib", "touch lib"}});
        write_build();
    }

    const std::filesystem::path &dir() const { return spool_.path(); }
    const std::filesystem::path &project() const { return project_.path(); }
    /// Changes keys of build.tsv.
    void set_build(const Keys &keys)
    {
        for (const auto &[key, value] : keys)
            build_[key] = value;
        write_build();
    }
    std::filesystem::path proc_dir(const std::string &id) const { return spool_.path() / spool::procs_dir / id; }

private:
    void add_process(const std::string &id, const Keys &keys, const std::string &db,
                     const std::vector<std::vector<std::string>> &executed)
    {
        const auto dir = proc_dir(id);
        std::filesystem::create_directories(dir);
        spool::write_keys(dir / spool::proc_file, keys);
        write_file((dir / spool::database_file).string(), db);
        std::string lines;
        for (const auto &record : executed)
            lines += spool::join_record(record);
        write_file((dir / spool::exec_file).string(), lines);
        write_digests(dir, db, keys);
    }
    /// digests.tsv as make's library writes it: each existing file of the data base, hashed.
    static void write_digests(const std::filesystem::path &dir, const std::string &db, const Keys &keys)
    {
        const makedb::Database parsed = makedb::parse(db);
        const std::string workdir = spool::process_directory(keys, makedb::curdir(&parsed));
        std::string lines;
        for (const makedb::File &file : parsed.files) {
            const auto [where, name] = spool::instance_location(workdir, file.name);
            const std::string path = spool::joined_path(where, name);
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
                continue;
            const std::string mtime = std::to_string(info.st_mtim.tv_sec) + "." +
                                      std::string(9 - std::to_string(info.st_mtim.tv_nsec).size(), '0') +
                                      std::to_string(info.st_mtim.tv_nsec);
            lines += spool::join_record({path, sha256::file_hex(path), mtime});
        }
        write_file((dir / spool::digest_file).string(), lines);
    }
    void write_build() { spool::write_keys(spool_.path() / spool::build_file, build_); }

    TempDir spool_;
    MakeProject project_;
    Keys build_;
};

/// A cluster of this suite's own, which libpq's defaults point at.
class Store : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        cluster_ = new PrivateCluster();
        setenv("PGHOST", cluster_->host().c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        delete cluster_;
        cluster_ = nullptr;
    }
    void SetUp() override
    {
        session_.exec("DELETE FROM ZTR_PREREQ WHERE PRQ_INST >= 1000000; DELETE FROM ZTR_TARGETVAR WHERE TV_INST >= 1000000;"
                      "DELETE FROM ZTR_BUILD;"
                      "DELETE FROM ZTR_VARIABLE WHERE VAR_PROC >= 1000000;"
                      "DELETE FROM ZTR_FILEINST WHERE OID >= 1000000; DELETE FROM ZTR_MAKEPROC WHERE OID >= 1000000");
    }
    /// The OID of the instance `name` of label `label` in the top make.
    std::string instance(const std::string &label, const std::string &name)
    {
        return session_.value("SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION = '" + label + "' AND INST_NAME = " +
                              quoted(name) + " AND INST_DIR NOT LIKE '%/sub'");
    }
    static std::string quoted(const std::string &text)
    {
        std::string sql = "'";
        for (char c : text)
            sql += c == '\'' ? std::string("''") : std::string(1, c);
        return sql + "'";
    }
    /// How many rows of label `label` each table holds.
    std::vector<std::vector<std::string>> counts(const std::string &label)
    {
        return session_.rows(
            "SELECT (SELECT count(*) FROM ZTR_BUILD WHERE BLD_LABEL = '" + label + "'),"
            " (SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = '" + label + "'),"
            " (SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = '" + label + "'),"
            " (SELECT count(*) FROM ZTR_VARIABLE, ZTR_MAKEPROC WHERE VAR_PROC = ZTR_MAKEPROC.OID AND PS_VERSION = '" +
            label + "'),"
            " (SELECT count(*) FROM ZTR_PREREQ, ZTR_FILEINST WHERE PRQ_INST = ZTR_FILEINST.OID AND INST_VERSION = '" +
            label + "')");
    }

    static PrivateCluster *cluster_;
    PgSession session_{cluster_->host()};
};

PrivateCluster *Store::cluster_ = nullptr;

TEST_F(Store, SpoolBecomesRowsOfOneBuild)
{
    BuildSpool spool;
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    const std::string top = session_.value("SELECT BLD_TOPPROC FROM ZTR_BUILD WHERE BLD_LABEL = 'b1'");
    const std::string project = spool.project().string();
    EXPECT_EQ(session_.rows("SELECT BLD_TOPDIR, BLD_CMDLINE, BLD_STATUS, BLD_COMPLETE, BLD_START = "
                            "to_timestamp(1765136182.25), BLD_END = to_timestamp(1765136183.5) FROM ZTR_BUILD"),
              (std::vector<std::vector<std::string>>{{project, "make", "0", "1", "t", "t"}}));

    // The sub-make hangs under the top make's instance "sub" whose recipe started it.
    EXPECT_EQ(session_.rows("SELECT OID = " + top + ", PS_CMDLINE, PS_PARENT = " + top + ", PS_PARENTINST = " +
                            instance("b1", "sub") + ", PS_SEQ, PS_DIR, PS_STATUS, PS_VERSION FROM ZTR_MAKEPROC "
                            "WHERE PS_VERSION = 'b1' ORDER BY PS_START"),
              (std::vector<std::vector<std::string>>{{"t", "make", "<NULL>", "<NULL>", "<NULL>", project, "0", "b1"},
                                                     {"f", "make -C sub", "t", "t", "0", project + "/sub", "0", "b1"}}));

    struct Case {
        std::string name, dir, cmdstxt, execmds, phony, target, dblcln, goal, digest;
    } cases[] = {
        {"all", project, "<NULL>", "<NULL>", "1", "1", "0", "1", "<NULL>"},
        {"sub", project, " @echo $(MAKE) -C sub", "make -C sub", "1", "1", "0", "0", "<NULL>"},
        {"prog", project, "cp main.c prog", "cp main.c prog", "0", "1", "0", "0", hello_sha256},
        {"main.c", project, "<NULL>", "<NULL>", "0", "0", "0", "0", hello_sha256},
        {"it's", project, " touch \"it's\"", "<NULL>", "0", "1", "0", "0", "<NULL>"},
        {"Makefile", project, "<NULL>", "<NULL>", "0", "0", "0", "0", ""},
        {"lib", project + "/sub", "touch lib", "touch lib", "0", "1", "0", "1", ""},
    };
    for (const Case &c : cases) {
        const auto row = session_.rows("SELECT INST_DIR, INST_CMDSTXT, INST_EXECMDS, INST_ISPHONY, INST_ISTARGET, "
                                       "INST_ISDBLCLN, INST_ISGOAL, INST_DIGEST FROM ZTR_FILEINST WHERE INST_NAME = " +
                                       quoted(c.name) + " AND INST_DIR = " + quoted(c.dir) + " AND INST_VERSION = 'b1'");
        ASSERT_EQ(row.size(), 1u) << c.name;
        EXPECT_EQ(row[0][0], c.dir) << c.name;
        EXPECT_EQ(row[0][1], c.cmdstxt) << c.name;
        EXPECT_EQ(row[0][2], c.execmds) << c.name;
        EXPECT_EQ((std::vector<std::string>(row[0].begin() + 3, row[0].begin() + 7)),
                  (std::vector<std::string>{c.phony, c.target, c.dblcln, c.goal}))
            << c.name;
        if (!c.digest.empty()) {
            EXPECT_EQ(row[0][7], c.digest) << c.name;
        }
    }
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = 'b1' AND INST_NAME LIKE '.%'"), "0");

    // Prerequisites in order, the order-only one marked.
    EXPECT_EQ(session_.rows("SELECT b.INST_NAME, PRQ_POS, PRQ_ORDERONLY FROM ZTR_PREREQ, ZTR_FILEINST b "
                            "WHERE PRQ_INST = " + instance("b1", "all") + " AND PRQ_PREREQ = b.OID ORDER BY PRQ_POS"),
              (std::vector<std::vector<std::string>>{{"sub", "0", "0"}, {"prog", "1", "0"}, {"out", "2", "1"}}));

    // Variables: as the data base had them, nothing of the recorder's.
    EXPECT_EQ(session_.rows("SELECT VAR_VALUE, VAR_SOURCE FROM ZTR_VARIABLE WHERE VAR_PROC = " + top +
                            " AND VAR_NAME = 'CFLAGS'"),
              (std::vector<std::vector<std::string>>{{"-O2", "2"}}));
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_VARIABLE, ZTR_MAKEPROC WHERE VAR_PROC = ZTR_MAKEPROC.OID "
                             "AND PS_VERSION = 'b1' AND (VAR_NAME LIKE 'TRACEMAKE%' OR VAR_VALUE LIKE '%TRACEMAKE%' "
                             "OR VAR_VALUE LIKE '%" + spool.dir().string() + "%')"),
              "0");
    EXPECT_GT(std::stoi(session_.value("SELECT count(*) FROM ZTR_VARIABLE WHERE VAR_PROC = " + top)), 50);
    // Both data bases were printed by `make -p`: the flag is make's own and stays.
    EXPECT_EQ(session_.rows("SELECT VAR_VALUE FROM ZTR_VARIABLE, ZTR_MAKEPROC WHERE VAR_PROC = ZTR_MAKEPROC.OID "
                            "AND PS_VERSION = 'b1' AND VAR_NAME = 'MFLAGS' ORDER BY PS_START"),
              (std::vector<std::vector<std::string>>{{"-p"}, {"-pw"}}));
    // Target-specific variables: under their instance only.
    EXPECT_EQ(session_.rows("SELECT TV_NAME, TV_OP, TV_VALUE, TV_SOURCE FROM ZTR_TARGETVAR WHERE TV_INST = " +
                            instance("b1", "prog") + " ORDER BY TV_NAME"),
              (std::vector<std::vector<std::string>>{{"CFLAGS", "+=", "-g", "2"}, {"LDFLAGS", "=", "-s", "5"}}));
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_VARIABLE WHERE VAR_PROC = " + top + " AND VAR_NAME = 'LDFLAGS'"),
              "0");
}

// A server without "DAVER": the check says so before any build runs.
TEST(StoreServer, MissingDatabaseIsNamed)
{
    PrivateCluster cluster;
    {
        pg::Connection admin(PQsetdbLogin(cluster.host().c_str(), nullptr, nullptr, nullptr, "postgres", nullptr, nullptr));
        ASSERT_EQ(PQstatus(admin.get()), CONNECTION_OK);
        pg::query(admin.get(), "DROP DATABASE \"DAVER\"");
    }
    const std::string saved = std::getenv("PGHOST");
    setenv("PGHOST", cluster.host().c_str(), 1);
    const std::string message = message_of([] { store::check_server("b1", false); });
    setenv("PGHOST", saved.c_str(), 1);
    EXPECT_NE(message.find("cannot reach the trace database \"DAVER\""), std::string::npos) << message;
    EXPECT_NE(message.find("database \"DAVER\" does not exist"), std::string::npos) << message;
}

// A "DAVER" made for the query tools alone: the check names each table and
// column the recorder writes that it lacks, a dropped column included.
TEST(StoreServer, OlderSchemaIsNamedWhatItLacks)
{
    PrivateCluster cluster;
    {
        pg::Connection admin(PQsetdbLogin(cluster.host().c_str(), nullptr, nullptr, nullptr, "DAVER", nullptr, nullptr));
        ASSERT_EQ(PQstatus(admin.get()), CONNECTION_OK);
        pg::query(admin.get(), "DROP TABLE ZTR_PREREQ");
        pg::query(admin.get(), "ALTER TABLE ZTR_FILEINST DROP COLUMN INST_DIGEST");
    }
    const std::string saved = std::getenv("PGHOST");
    setenv("PGHOST", cluster.host().c_str(), 1);
    const std::string message = message_of([] { store::check_server("b1", false); });
    setenv("PGHOST", saved.c_str(), 1);
    EXPECT_NE(message.find("lacks what the recorder writes (ZTR_PREREQ, ZTR_FILEINST.INST_DIGEST)"), std::string::npos)
        << message;
}

TEST_F(Store, DigestsCarryTheModificationTimeAndOlderSpoolsStillLoad)
{
    const struct {
        std::string what;
        bool older;  // digests.tsv without the time, as older spools have it
    } cases[] = {{"digest and time", false}, {"digest alone", true}};
    for (const auto &c : cases) {
        BuildSpool spool;
        spool.set_build({{"replace", "1"}});
        const auto digests = spool.proc_dir("1") / spool::digest_file;
        if (c.older) {
            std::string lines;
            for (const auto &record : spool::read_records(digests))
                lines += spool::join_record({record.at(0), record.at(1)});
            write_file(digests.string(), lines);
        }
        ASSERT_NO_THROW(store::load_spool(spool.dir())) << c.what;
        const auto row = session_.rows("SELECT INST_DIGEST, EXTRACT(EPOCH FROM INST_MTIME) FROM ZTR_FILEINST "
                                       "WHERE INST_VERSION = 'b1' AND INST_NAME = 'main.c'");
        ASSERT_EQ(row.size(), 1u) << c.what;
        EXPECT_EQ(row[0][0], hello_sha256) << c.what;
        if (c.older) {
            EXPECT_EQ(row[0][1], "<NULL>");
            continue;
        }
        struct stat status {};
        ASSERT_EQ(::stat((spool.project() / "main.c").c_str(), &status), 0);
        const double expected = static_cast<double>(status.st_mtim.tv_sec) + status.st_mtim.tv_nsec / 1e9;
        EXPECT_NEAR(std::stod(row[0][1]), expected, 2e-6) << c.what;
    }
}

TEST_F(Store, AFileItsMakeNeverLookedAtGetsItsDigestWhileUnchangedSinceThatMakeEnded)
{
    // digests.tsv holds what make looked at; main.c is left out of it here.
    const struct {
        std::string what, end, digest;
    } cases[] = {
        {"unchanged since its make ended", "4102444800.5", hello_sha256},
        {"changed after its make ended", "1765136183.4", "<NULL>"},
    };
    for (const auto &c : cases) {
        BuildSpool spool;
        spool.set_build({{"replace", "1"}});
        const auto proc = spool.proc_dir("1");
        std::string lines;
        for (const auto &record : spool::read_records(proc / spool::digest_file))
            if (!record.at(0).ends_with("/main.c"))
                lines += spool::join_record(record);
        write_file((proc / spool::digest_file).string(), lines);
        auto keys = spool::read_keys(proc / spool::proc_file);
        keys["end"] = c.end;
        spool::write_keys(proc / spool::proc_file, keys);
        ASSERT_NO_THROW(store::load_spool(spool.dir())) << c.what;
        EXPECT_EQ(session_.value("SELECT INST_DIGEST FROM ZTR_FILEINST WHERE INST_VERSION = 'b1' AND INST_NAME = 'main.c'"),
                  c.digest)
            << c.what;
        EXPECT_EQ(session_.value("SELECT INST_DIGEST FROM ZTR_FILEINST WHERE INST_VERSION = 'b1' AND INST_NAME = 'prog'"),
                  hello_sha256)
            << c.what << ": a digest that make took stays";
    }
}

TEST_F(Store, ReusedLabelIsRefusedUnlessReplaced)
{
    BuildSpool spool;
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    const auto first = counts("b1");
    const std::string old_top = session_.value("SELECT BLD_TOPPROC FROM ZTR_BUILD");

    // A label that hand-made rows use (the test data's "v1") counts as recorded too.
    EXPECT_NE(message_of([] { store::check_server("v1", false); }).find("'v1' is recorded already"), std::string::npos);
    const std::string refused = message_of([&] { store::load_spool(spool.dir()); });
    EXPECT_NE(refused.find("'b1' is recorded already"), std::string::npos) << refused;
    EXPECT_EQ(counts("b1"), first);
    EXPECT_THROW(store::check_server("b1", false), std::runtime_error);
    EXPECT_NO_THROW(store::check_server("b1", true));
    EXPECT_NO_THROW(store::check_server("b2", false));

    spool.set_build({{"replace", "1"}});
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    EXPECT_EQ(counts("b1"), first);
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE OID = " + old_top), "0");
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_VARIABLE WHERE VAR_PROC = " + old_top), "0");
}

TEST_F(Store, ReplacingABuildLeavesTheRowsOfAnotherWhoseOidsLieAmongItsOwn)
{
    // Hand-made rows need not take their OIDs in blocks: "g" has an
    // instance between two of "h".  Replacing "h" takes all of its rows
    // keyed by instance and none of "g"'s.
    session_.exec("INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION) VALUES"
                  " (60100, 'a', '/h', 'h'), (60200, 'b', '/g', 'g'), (60300, 'c', '/h', 'h');"
                  "INSERT INTO ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY) VALUES"
                  " (60100, 60300, 0, 0), (60200, 60200, 0, 0), (60300, 60100, 0, 0);"
                  "INSERT INTO ZTR_REASON (RSN_INST, RSN_POS, RSN_KIND) VALUES"
                  " (60100, 0, 'missing'), (60200, 0, 'missing'), (60300, 0, 'missing');"
                  "INSERT INTO ZTR_TARGETVAR (TV_INST, TV_NAME, TV_OP, TV_VALUE) VALUES"
                  " (60100, 'V', '=', '1'), (60200, 'V', '=', '2'), (60300, 'V', '=', '3')");
    BuildSpool spool;
    spool.set_build({{"label", "h"}, {"replace", "1"}});
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    const std::pair<const char *, const char *> keyed[] = {
        {"ZTR_PREREQ", "PRQ_INST"}, {"ZTR_REASON", "RSN_INST"}, {"ZTR_TARGETVAR", "TV_INST"}};
    for (const auto &[table, column] : keyed)
        EXPECT_EQ(session_.value(std::string("SELECT string_agg(") + column + "::text, ',') FROM " + table +
                                 " WHERE " + column + " BETWEEN 60000 AND 60999"),
                  "60200")
            << table;
    EXPECT_EQ(session_.rows("SELECT INST_NAME, INST_VERSION FROM ZTR_FILEINST WHERE OID BETWEEN 60000 AND 60999"),
              (std::vector<std::vector<std::string>>{{"b", "g"}}));
    session_.exec("DELETE FROM ZTR_PREREQ WHERE PRQ_INST BETWEEN 60000 AND 60999;"
                  "DELETE FROM ZTR_REASON WHERE RSN_INST BETWEEN 60000 AND 60999;"
                  "DELETE FROM ZTR_TARGETVAR WHERE TV_INST BETWEEN 60000 AND 60999;"
                  "DELETE FROM ZTR_FILEINST WHERE OID BETWEEN 60000 AND 60999");
}

TEST_F(Store, OidsAreUniqueAcrossLoadsAndAboveHandMadeRows)
{
    session_.exec("INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_VERSION) VALUES (7000000, 'hand', 'hand')");
    BuildSpool spool;
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    spool.set_build({{"label", "b2"}});
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    const std::string all_oids = "SELECT OID FROM ZTR_MAKEPROC WHERE PS_VERSION IN ('b1', 'b2') UNION ALL "
                                 "SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION IN ('b1', 'b2')";
    EXPECT_EQ(session_.value("SELECT count(*) - count(DISTINCT OID) FROM (" + all_oids + ") t"), "0");
    EXPECT_EQ(session_.value("SELECT min(OID) > 7000000 FROM (" + all_oids + ") t"), "t");
    EXPECT_EQ(session_.value("SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = 'b2'"),
              session_.value("SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = 'b1'"));
    session_.exec("DELETE FROM ZTR_FILEINST WHERE OID = 7000000");
}

TEST_F(Store, IncompleteSpoolKeepsWhatIsKnown)
{
    BuildSpool spool;
    spool.set_build({{"complete", "0"}, {"status", "130"}, {"end", ""}});
    std::filesystem::remove(spool.proc_dir("2") / spool::database_file);
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    EXPECT_EQ(session_.rows("SELECT BLD_COMPLETE, BLD_STATUS, BLD_END FROM ZTR_BUILD"),
              (std::vector<std::vector<std::string>>{{"0", "130", "<NULL>"}}));
    // The sub-make left no data base: its directory comes from where it started and its -C.
    const std::string project = spool.project().string();
    EXPECT_EQ(session_.rows("SELECT PS_CMDLINE, PS_DIR, (SELECT count(*) FROM ZTR_FILEINST "
                            "WHERE INST_PROC = ZTR_MAKEPROC.OID) FROM ZTR_MAKEPROC WHERE PS_VERSION = 'b1' "
                            "ORDER BY PS_START"),
              (std::vector<std::vector<std::string>>{{"make", project, "7"}, {"make -C sub", project + "/sub", "0"}}));
}

TEST_F(Store, FailedLoadStoresNothing)
{
    BuildSpool spool;
    // A status that is no number fails the COPY of the second table.
    Keys keys = spool::read_keys(spool.proc_dir("2") / spool::proc_file);
    keys["status"] = "killed";
    spool::write_keys(spool.proc_dir("2") / spool::proc_file, keys);
    const std::string message = message_of([&] { store::load_spool(spool.dir()); });
    EXPECT_NE(message.find("the build 'b1' was not stored"), std::string::npos) << message;
    EXPECT_EQ(counts("b1"), (std::vector<std::vector<std::string>>{{"0", "0", "0", "0", "0"}}));

    EXPECT_NE(message_of([&] { store::load_spool(spool.dir() / "nothing"); }).find("not a spool"), std::string::npos);
}

TEST_F(Store, ASpoolFileThatCannotBeReadIsToldNotTakenForEmpty)
{
    // A data base that is missing is a make killed before its end (kept
    // above); one that is there but cannot be read must not become a make
    // process without variables stored as whole: the build is stored
    // incomplete.  A time that is no time is no missing one: nothing is stored.
    struct Case {
        const char *what;
        std::function<void(BuildSpool &)> spoil;
        const char *complete; ///< BLD_COMPLETE stored, or null when nothing may be
        std::string message;  ///< of the refusal, when nothing is stored
    } cases[] = {
        {"unreadable data base",
         [](BuildSpool &s) {
             std::filesystem::remove(s.proc_dir("2") / spool::database_file);
             std::filesystem::create_directory(s.proc_dir("2") / spool::database_file);
         },
         "0", ""},
        {"unreadable commands",
         [](BuildSpool &s) {
             std::filesystem::remove(s.proc_dir("1") / spool::exec_file);
             std::filesystem::create_directory(s.proc_dir("1") / spool::exec_file);
         },
         "0", ""},
        {"a make whose end was never noted",
         [](BuildSpool &s) {
             Keys keys = spool::read_keys(s.proc_dir("2") / spool::proc_file);
             keys.erase("end");
             keys.erase("status");
             spool::write_keys(s.proc_dir("2") / spool::proc_file, keys);
         },
         "0", ""},
        {"start that is no time", [](BuildSpool &s) { s.set_build({{"start", "yesterday"}}); }, nullptr,
         "cannot read the spool: not a time: 'yesterday'"},
    };
    for (const Case &c : cases) {
        SetUp();
        BuildSpool spool;
        c.spoil(spool);
        const std::string message = message_of([&] { store::load_spool(spool.dir()); });
        if (c.complete == nullptr) {
            EXPECT_NE(message.find("the build 'b1' was not stored: " + c.message), std::string::npos)
                << c.what << ": " << message;
            EXPECT_EQ(counts("b1"), (std::vector<std::vector<std::string>>{{"0", "0", "0", "0", "0"}})) << c.what;
        } else {
            EXPECT_EQ(message, "") << c.what;
            EXPECT_EQ(session_.rows("SELECT BLD_COMPLETE FROM ZTR_BUILD WHERE BLD_LABEL = 'b1'"),
                      (std::vector<std::vector<std::string>>{{c.complete}}))
                << c.what;
        }
    }
}

TEST_F(Store, ServerDownLeavesTheSpoolForALaterLoad)
{
    BuildSpool spool;
    {
        PrivateCluster halted;
        halted.halt("fast");
        setenv("PGHOST", halted.host().c_str(), 1);
        const std::string checked = message_of([] { store::check_server("b1", false); });
        const std::string message = message_of([&] { store::load_spool(spool.dir()); });
        setenv("PGHOST", cluster_->host().c_str(), 1);
        EXPECT_NE(checked.find("cannot reach the trace database \"DAVER\""), std::string::npos) << checked;
        EXPECT_NE(message.find("cannot reach the trace database \"DAVER\""), std::string::npos) << message;
    }
    EXPECT_NO_THROW(store::load_spool(spool.dir()));
    EXPECT_EQ(counts("b1")[0][0], "1");
}

TEST_F(Store, MissingTablesAreNamed)
{
    session_.exec("ALTER TABLE ZTR_PREREQ RENAME TO ZTR_PREREQ_AWAY");
    const std::string message = message_of([] { store::check_server("b1", false); });
    BuildSpool spool;
    const std::string load_message = message_of([&] { store::load_spool(spool.dir()); });
    session_.exec("ALTER TABLE ZTR_PREREQ_AWAY RENAME TO ZTR_PREREQ");
    EXPECT_NE(message.find("lacks what the recorder writes (ZTR_PREREQ)"), std::string::npos) << message;
    EXPECT_NE(load_message.find("ZTR_PREREQ"), std::string::npos) << load_message;
    EXPECT_EQ(counts("b1")[0][1], "0");
}

/// Standard output, standard error and status of a subcommand run in this process.
struct Output {
    int status;
    std::string out, err;
};

Output run_command(int (*command)(const Args &), const Args &args)
{
    TempDir dir;
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(1), saved_err = dup(2);
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    const int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(out, 1);
    dup2(err, 2);
    const int status = command(args);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    for (int fd : {saved_out, saved_err, out, err})
        close(fd);
    return {status, read_file(dir.file("out")), read_file(dir.file("err"))};
}

TEST_F(Store, ListFindAndLoadAsTheUserSeesThem)
{
    BuildSpool spool;
    const Output load = run_command(cmd_load, {spool.dir().string()});
    EXPECT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "tracemake: stored the build 'b1' from " + spool.dir().string() + "\n");
    const Output again = run_command(cmd_load, {spool.dir().string()});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is recorded already"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("the spool " + spool.dir().string() + " is kept"), std::string::npos) << again.err;

    const std::string vars = session_.value("SELECT count(*) FROM ZTR_VARIABLE, ZTR_MAKEPROC "
                                            "WHERE VAR_PROC = ZTR_MAKEPROC.OID AND PS_VERSION = 'b1'");
    const Output list = run_command(cmd_list, {});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out.substr(list.out.find('\n') + 1),
              "b1\tcomplete\t0\t" + session_.value("SELECT to_char(BLD_START, 'YYYY-MM-DD HH24:MI:SS TZ') FROM ZTR_BUILD") +
                  "\t2\t9\t" + vars + "\t" + spool.project().string() + "\tmake\n");

    const std::string project = spool.project().string();
    struct Case {
        Args args;
        std::vector<std::string> names; // in the order shown
    } cases[] = {
        {{"--label", "b1", "prog"}, {"prog"}},
        // "sub" as a name and in the sub-make's paths; ordered by directory and name.
        {{"--label", "b1", "sub"}, {"sub", "Makefile", "lib"}},
        {{"--label", "other", "prog"}, {}},
        {{"sub", "--label", "b1", "lib"}, {"lib"}},
        {{"--label", "b1", "it's"}, {"it's"}},
        {{"--label", "b1", "%"}, {}},
    };
    for (const Case &c : cases) {
        const Output found = run_command(cmd_find, c.args);
        EXPECT_EQ(found.status, 0) << c.args[0];
        std::vector<std::string> names;
        std::size_t at = found.out.find('\n') + 1;
        for (std::size_t end; (end = found.out.find('\n', at)) != std::string::npos; at = end + 1) {
            const auto fields = spool::split_record(found.out.substr(at, end - at));
            ASSERT_EQ(fields.size(), 5u);
            EXPECT_EQ(fields[1], "b1");
            EXPECT_EQ(session_.value("SELECT INST_NAME FROM ZTR_FILEINST WHERE OID = " + fields[0]), fields[3]);
            names.push_back(fields[3]);
        }
        EXPECT_EQ(names, c.names) << c.args.back();
    }
    const Output prog = run_command(cmd_find, {"--label", "b1", "prog"});
    EXPECT_NE(prog.out.find("\t" + project + "\tprog\ttarget\n"), std::string::npos) << prog.out;
    const Output all = run_command(cmd_find, {"--label", "b1", "/all"});
    EXPECT_NE(all.out.find("\tall\ttarget,phony,goal\n"), std::string::npos) << all.out;

    for (const auto &[command, args] : std::vector<std::pair<int (*)(const Args &), Args>>{
             {cmd_find, {}}, {cmd_find, {"--label", "b1"}}, {cmd_list, {"x"}}, {cmd_load, {}}})
        EXPECT_EQ(run_command(command, args).status, 2);
}

// The query tools read recorded rows as they read hand-made ones.
TEST_F(Store, QueryToolsShowRecordedRows)
{
    BuildSpool spool;
    ASSERT_NO_THROW(store::load_spool(spool.dir()));
    const std::string prog = instance("b1", "prog");
    TempDir out;
    RunOptions options;
    options.extra_env = {"PGHOST=" + cluster_->host()};
    struct Case {
        std::string tool;
        std::vector<std::string> shown;
    } cases[] = {
        {"envshow", {"  2 CFLAGS=-O2\n"}},
        {"recipeshow", {"\tcp main.c prog\n"}},
        {"procshow", {"make"}},
    };
    for (const Case &c : cases) {
        const RunResult run = run_program({bin_path(c.tool), out.file(c.tool), prog}, options);
        EXPECT_EQ(run.exit_code, 0) << c.tool << run.err;
        const std::string report = read_file(out.file(c.tool));
        for (const std::string &text : c.shown)
            EXPECT_NE(report.find(text), std::string::npos) << c.tool << ":\n" << report;
        EXPECT_EQ(report.find("TRACEMAKE"), std::string::npos) << c.tool;
    }
}

} // namespace
