// Hostile text where the tools take values: OIDs of the five OID tools,
// words of changescan's list and its version labels.  The values go to the
// server as parameters, never as statement text: after every string of the
// corpus the tables are what they were, no object or role was created, no
// program was started, and the server logged no statement from the tools
// other than their own fixed ones.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "private_cluster.h"
#include "test_support.h"
#include "tool_queries.h"

using namespace testsupport;

namespace {

/// Where a corpus string goes: the arguments after the program name and
/// changescan's list, in which "{value}" stands for the string and
/// "{report}" and "{list}" for the paths.
struct Target {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::string list;
    std::string query; ///< the tool's query text
    int status;        ///< the exit status of a run with a corpus string
};

void PrintTo(const Target &target, std::ostream *os)
{
    *os << target.name;
}

// A valid OID comes first, so that a lookup has been made in the same
// transaction when the hostile one arrives.
const Target targets[] = {
    {"envshow", "envshow", {"{report}", "1001", "{value}"}, "", envshow_query, 1},
    {"recipeshow", "recipeshow", {"{report}", "2001", "{value}"}, "", recipeshow_query, 1},
    {"procshow", "procshow", {"{report}", "3001", "{value}"}, "", procshow_query, 1},
    {"envdiff", "envdiff", {"{report}", "4001", "{value}"}, "", envdiff_query, 1},
    {"rulediff", "rulediff", {"{report}", "5001", "{value}"}, "", rulediff_query, 1},
    // Words are split at white space; every piece is a word of its own.
    {"changescan_words", "changescan", {"{list}", "{report}", "old", "new"},
     "util.c src src\n{value}\t{value}\t{value}\nutil.c src src\n", changescan_query, 0},
    {"changescan_labels", "changescan", {"{list}", "{report}", "{value}", "{value}"}, "util.c src src\n",
     changescan_query, 0},
};

/// A file that a program started by an injected COPY ... TO PROGRAM would create.
const std::string marker_name = "injected";

// Stacked statements, comments, quotes of every kind, casts, COPY to a
// program, dollar quoting, backslashes, unicode escapes and look-alikes,
// format directives, line ends.  "@marker@" is replaced by the marker's path.
const std::vector<std::string> corpus = {
    "1; DROP TABLE ZTR_VARIABLE",
    "1; DELETE FROM ZTR_FILEINST; --",
    "0 OR 1=1",
    "1 UNION SELECT 'a', 'b', 'c'",
    "1); CREATE TABLE injected (x int); --",
    "1 /* a comment */; TRUNCATE ZTR_MAKEPROC",
    "1 -- the rest is a comment",
    "' OR '1'='1",
    "'; UPDATE ZTR_FILEINST SET INST_NAME = 'x'; --",
    "\"; DROP TABLE ZTR_FILEINST; --",
    "1::text; DROP TABLE ZTR_MAKEPROC",
    "CAST(1 AS bigint); INSERT INTO ZTR_MAKEPROC VALUES (9, 'x')",
    "1; COPY (SELECT 1) TO PROGRAM 'touch @marker@'",
    "'; COPY ZTR_FILEINST TO PROGRAM 'touch @marker@'; --",
    "$$; DROP TABLE ZTR_VARIABLE; $$",
    "$q$ ' $q$; DELETE FROM ZTR_VARIABLE; --",
    "\\'; DROP TABLE ZTR_FILEINST; --",
    "E'\\x27; DROP TABLE ZTR_FILEINST; --",
    "U&'\\0027'; DROP TABLE ZTR_FILEINST; --",
    "1; SET log_statement = 'none'; DROP TABLE ZTR_VARIABLE",
    "1; CREATE ROLE injected SUPERUSER LOGIN",
    "1\n; DROP TABLE ZTR_FILEINST",
    "1\t;\tDROP\tTABLE\tZTR_FILEINST",
    "%s%s%n%x '%s'",
    "1; \\! touch @marker@",
    "' || pg_read_file('/etc/passwd') || '",
    "\xef\xbc\x87; DROP TABLE ZTR_FILEINST; --",   // a full-width apostrophe
    "\xca\xbc OR 1=1; DELETE FROM ZTR_VARIABLE",    // a modifier letter apostrophe
    "",
    "0x10; DROP TABLE ZTR_FILEINST",
};

/// `query` as the tools send it: each "%s", and each quoted '%s', becomes
/// the next numbered parameter.
std::string as_sent(std::string query)
{
    for (auto at = query.find("'%s'"); at != std::string::npos; at = query.find("'%s'"))
        query.replace(at, 4, "%s");
    int number = 0;
    for (auto at = query.find("%s"); at != std::string::npos; at = query.find("%s"))
        query.replace(at, 2, "$" + std::to_string(++number));
    return query;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

/// Everything an injected statement could have changed: the three tables,
/// the relations of every schema but the system's, the roles.
std::string database_state(PgSession &db)
{
    return db.table_digest("ZTR_FILEINST") + " " + db.table_digest("ZTR_MAKEPROC") + " " +
           db.table_digest("ZTR_VARIABLE") + " " +
           db.value("SELECT string_agg(nspname || '.' || relname, ',' ORDER BY nspname, relname) FROM pg_class c "
                    "JOIN pg_namespace n ON n.oid = c.relnamespace "
                    "WHERE nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast')") +
           " " + db.value("SELECT string_agg(rolname, ',' ORDER BY rolname) FROM pg_roles");
}

const std::string tool_application = "daver-injection-test";

class Injection : public testing::TestWithParam<Target> {
protected:
    TempDir dir;
    std::string report = dir.file("report.txt");
    std::string list = dir.file("list.txt");

    const Target &target() const { return GetParam(); }

    RunResult run(const std::string &value, const PrivateCluster &cluster)
    {
        write_file(list, replace_all(target().list, "{value}", value));
        std::vector<std::string> argv = tool_argv(target().program, target().args, report, list);
        for (std::size_t i = 1; i < argv.size(); ++i)
            argv[i] = replace_all(argv[i], "{value}", value);
        return run_program(argv, tool_options(cluster.env(), tool_application));
    }
};

std::string target_name(const testing::TestParamInfo<Target> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(QueryTools, Injection, testing::ValuesIn(targets), target_name);

TEST_P(Injection, CorpusChangesNothingAndRunsOnlyTheToolsStatements)
{
    PrivateCluster cluster(log_every_statement);
    PgSession db(cluster.host());
    const std::string before = database_state(db);
    const std::string marker = cluster.host() + "/" + marker_name;

    for (const auto &hostile : corpus) {
        const std::string value = replace_all(hostile, "@marker@", marker);
        const RunResult r = run(value, cluster);
        EXPECT_EQ(r.exit_code, target().status) << value << "\n" << r.err;
        if (target().status != 0) {
            // The value was refused as a parameter of the tool's own query.
            const std::string diagnostic = query_with(target().query, {value}) + "\n\tERROR:  ";
            EXPECT_NE(read_file(report).find(diagnostic), std::string::npos) << value << "\n" << read_file(report);
        }
    }

    EXPECT_EQ(database_state(db), before);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "an injected program ran";

    // Every statement of the tools' sessions is one of their own: the
    // transaction's two and the one query (changescan: prepared).
    const std::set<std::string> own = {"statement: BEGIN", "statement: END",
                                       "execute <unnamed>: " + as_sent(target().query),
                                       "execute changescan: " + as_sent(target().query)};
    std::size_t begins = 0;
    for (const auto &entry : cluster.server_log(db)) {
        if (entry.application != tool_application)
            continue;
        if (entry.severity == "LOG") {
            EXPECT_TRUE(own.count(entry.message)) << "logged for a tool: " << entry.message;
            begins += entry.message == "statement: BEGIN";
        } else {
            EXPECT_EQ(entry.severity, "ERROR") << entry.message;
            EXPECT_EQ(entry.query, as_sent(target().query)) << entry.message;
        }
    }
    EXPECT_EQ(begins, corpus.size()) << "one transaction for each run";
}

} // namespace
