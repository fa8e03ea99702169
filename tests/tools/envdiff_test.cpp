// End-to-end tests of envdiff against the test server (data: db/test/50_envdiff.sql).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comparison_checks.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const std::string rule = std::string(42, '=') + "\n";
const std::string no_environment = "There no required environment definition\n\t\n\n";

// One comparison block: heading, the variable records, closing lines.
std::string block(const std::string &name_a, const std::string &name_b, const std::string &records)
{
    return " \n" + rule + " Comparing Environment at " + name_a + " and that at " + name_b + "\n" + records + " \n" +
           rule + " \n";
}

class Envdiff : public testing::Test {
protected:
    TempDir dir;
    std::string report = dir.file("report.txt");

    RunResult envdiff(const std::vector<std::string> &oids, const RunOptions &options = {})
    {
        std::vector<std::string> argv = {bin_path("envdiff"), report};
        argv.insert(argv.end(), oids.begin(), oids.end());
        return run_program(argv, options);
    }

    // Expects a failed run whose report holds the diagnostic of the
    // rejected query for `oid` after `before`.
    void expect_failed_query(const RunResult &r, const std::string &oid, const std::string &before = "")
    {
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        expect_query_diagnostic(read_file(report), before, query_with(envdiff_query, {oid}));
    }
};

TEST_F(Envdiff, WorkedExample)
{
    const RunResult r = envdiff({"4001", "4002"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(report), " \n" + rule + " Comparing Environment at main.o and that at main.o\n"
                                                "1> 3 CFLAGS=-O2\n"
                                                "2< 3 CFLAGS=-g\n"
                                                "1> 1 LANG=C\n"
                                                "2< 3 SHELL=/bin/sh\n"
                                                " \n" +
                                     rule + " \n\n");
}

TEST_F(Envdiff, OneComparison)
{
    const struct {
        const char *what;
        std::string oid_a, oid_b, name_a, name_b, records;
    } cases[] = {
        {"an instance with itself", "4001", "4001", "main.o", "main.o", ""},
        {"two instances of one process", "4001", "4005", "main.o", "other.o", ""},
        {"worked example the other way round", "4002", "4001", "main.o", "main.o",
         "1> 3 CFLAGS=-g\n2< 3 CFLAGS=-O2\n2< 1 LANG=C\n1> 3 SHELL=/bin/sh\n"},
        {"blanks at the ends are equal; tabs and letter case differ", "4011", "4012", "blanks.o", "blanks.o",
         "1> 1 \tTNAME=t\n"
         "2< 1 MIXED=m\n"
         "1> 1 Mixed=m\n"
         "1> 1 TABBED=x\t\n"
         "2< 1 TABBED=x\n"
         "2< 1 TNAME=t\n"
         "1> 1 UPPER=abc\n"
         "2< 1 UPPER=ABC\n"},
        {"trimmed byte order: Z before a, leading blanks ignored", "4021", "4022", "order.o", "order.o",
         "1> 1 Zed=z1\n"
         "2< 1 Zed=z2\n"
         "1> 1 Zonly=z\n"
         "2< 1 aonly=a\n"
         "1> 1 beta=b1\n"
         "2< 1 beta=b2\n"},
        {"one name under several sources, paired in source order", "4031", "4032", "multi.o", "multi.o",
         "1> 3 CC=clang\n2< 4 CC=cc\n1> 5 CC=icc\n"},
        {"several sources the other way round", "4032", "4031", "multi.o", "multi.o",
         "1> 4 CC=cc\n2< 3 CC=clang\n2< 5 CC=icc\n"},
        {"an OID of any length: blanks around a number", "4001" + std::string(600, ' '), "  4002", "main.o",
         "main.o", "1> 3 CFLAGS=-O2\n2< 3 CFLAGS=-g\n1> 1 LANG=C\n2< 3 SHELL=/bin/sh\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = envdiff({c.oid_a, c.oid_b});
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(read_file(report), block(c.name_a, c.name_b, c.records) + "\n") << c.what;
    }
}

TEST_F(Envdiff, TwoComparisonsPairFirstWithThirdAndSecondWithFourth)
{
    const RunResult r = envdiff({"4001", "4003", "4002", "4004"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(report),
              block("main.o", "main.o", "1> 3 CFLAGS=-O2\n2< 3 CFLAGS=-g\n1> 1 LANG=C\n2< 3 SHELL=/bin/sh\n") +
                  block("util.o", "util.o", "1> 2 X=1\n2< 2 X=2\n1> 2 Y=only-a\n") + "\n");
}

TEST_F(Envdiff, ArgumentCountsThatCompareNothing)
{
    const std::vector<std::string> cases[] = {
        {"4001", "4002", "4003"},
        {"4001", "4002", "4003", "4004", "4005"},
        {"4001", "4002", "4003", "4004", "4005", "4011"},
    };
    for (const auto &oids : cases) {
        const RunResult r = envdiff(oids);
        EXPECT_EQ(r.exit_code, 0) << oids.size();
        EXPECT_EQ(r.out, "") << oids.size();
        EXPECT_EQ(read_file(report), "\n") << oids.size();
        EXPECT_NE(r.err.find("expected REPORT OID_A OID_B"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::to_string(oids.size() + 1) + " arguments"), std::string::npos) << r.err;
    }
}

TEST_F(Envdiff, ArgumentCountsThatCompareNothingStillConnect)
{
    RunOptions options;
    options.extra_env = {"PGHOST=" + dir.file("nowhere")};
    const RunResult r = envdiff({"4001", "4002", "4003"}, options);
    EXPECT_EQ(r.exit_code, 1);
    const std::string text = read_file(report);
    EXPECT_EQ(text.rfind("Failed to build a connection\n\t", 0), 0u) << text;
}

TEST_F(Envdiff, FailureInTheSecondComparisonKeepsTheFirstBlock)
{
    const std::string first =
        block("main.o", "main.o", "1> 3 CFLAGS=-O2\n2< 3 CFLAGS=-g\n1> 1 LANG=C\n2< 3 SHELL=/bin/sh\n");

    RunResult r = envdiff({"4001", "4999", "4002", "4004"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_file(report), first + no_environment);

    r = envdiff({"4001", "4003", "4002", "x4004"});
    expect_failed_query(r, "x4004", first);
    EXPECT_NE(read_file(report).find("invalid input syntax"), std::string::npos);
}

TEST_F(Envdiff, InstanceWithoutEnvironment)
{
    const struct {
        const char *what, *oid_a, *oid_b;
    } cases[] = {
        {"no such first instance", "4999", "4001"},
        {"no such second instance", "4001", "4999"},
        {"only unlisted sources", "4041", "4001"},
        {"no variables at all", "4001", "4042"},
        {"neither instance: the first is tested first", "4999", "not-a-number"},
    };
    for (const auto &c : cases) {
        const RunResult r = envdiff({c.oid_a, c.oid_b});
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(read_file(report), no_environment) << c.what;
    }
}

TEST_F(Envdiff, ArgumentsThatAreNotNumbersFailAndChangeNothing)
{
    PgSession db;
    const std::string variables = db.table_digest("ZTR_VARIABLE");
    const std::string instances = db.table_digest("ZTR_FILEINST");
    const std::string processes = db.table_digest("ZTR_MAKEPROC");
    const std::string cases[] = {
        "abc",
        "4001 OR 1=1",
        "4001; DELETE FROM ZTR_VARIABLE",
        "4001); DELETE FROM ZTR_FILEINST; --",
        "0 OR TRUE; DROP TABLE ZTR_MAKEPROC",
        "'4001'",
        "",
        std::string(1000, '9'),
    };
    for (const auto &oid : cases) {
        // As the first argument, and as the second after a valid first.
        expect_failed_query(envdiff({oid, "4002"}), oid);
        expect_failed_query(envdiff({"4001", oid}), oid);
    }
    EXPECT_EQ(db.table_digest("ZTR_VARIABLE"), variables);
    EXPECT_EQ(db.table_digest("ZTR_FILEINST"), instances);
    EXPECT_EQ(db.table_digest("ZTR_MAKEPROC"), processes);
}

TEST(EnvdiffCommandLine, Refused)
{
    expect_command_line_refusals("envdiff", "Can not open file", {"4001", "4002"});
}

} // namespace
