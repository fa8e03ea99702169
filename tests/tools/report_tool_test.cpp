// The end-to-end cases that envshow, recipeshow and procshow share.
#include "report_tool_test.h"

#include <filesystem>

namespace testsupport {

void PrintTo(const ReportTool &tool, std::ostream *os)
{
    *os << tool.program;
}

std::string tool_name(const testing::TestParamInfo<ReportTool> &info)
{
    return info.param.program;
}

std::string quiet_diagnostic(const std::string &msg)
{
    return msg + "\n\t\n\n";
}

RunResult ReportRun::run(const std::string &program, const std::vector<std::string> &oids, const RunOptions &options)
{
    std::vector<std::string> argv = {bin_path(program), report};
    argv.insert(argv.end(), oids.begin(), oids.end());
    return run_program(argv, options);
}

std::string ReportRun::report_of(const std::string &program, const std::vector<std::string> &oids)
{
    const RunResult r = run(program, oids);
    EXPECT_EQ(r.exit_code, 0) << program << "\n" << r.err;
    EXPECT_EQ(r.out, "") << program;
    EXPECT_EQ(r.err, "") << program;
    return written();
}

std::string ReportToolCommon::block_of(const std::string &oid)
{
    std::string text = report_of(tool().program, {oid});
    EXPECT_TRUE(text.ends_with(" \n\n")) << text;
    text.pop_back();
    return text;
}

namespace {

// Every table that a tool could touch, digested, to show it unchanged.
std::string database_digest(PgSession &db)
{
    return db.table_digest("ZTR_FILEINST") + db.table_digest("ZTR_MAKEPROC") + db.table_digest("ZTR_VARIABLE");
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST_P(ReportToolCommon, TooFewArgumentsCreateNothing)
{
    for (const auto &argv : {std::vector<std::string>{bin_path(tool().program)},
                             std::vector<std::string>{bin_path(tool().program), report}}) {
        const RunResult r = run_program(argv);
        EXPECT_EQ(r.exit_code, 0) << argv.size();
        EXPECT_EQ(r.out, tool().usage) << argv.size();
        EXPECT_FALSE(std::filesystem::exists(report)) << argv.size();
    }
}

TEST_P(ReportToolCommon, ReportThatCannotBeOpened)
{
    for (const std::string &path : {dir.file("no/such/report.txt"), dir.path().string(), std::string()}) {
        const RunResult r = run_program({bin_path(tool().program), path, tool().oid_a});
        EXPECT_EQ(r.exit_code, 1) << '"' << path << '"';
        EXPECT_EQ(r.out, "Can not open file") << '"' << path << '"';
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

TEST_P(ReportToolCommon, SeveralOidsGiveTheirBlocksInArgumentOrder)
{
    const std::string a = block_of(tool().oid_a), b = block_of(tool().oid_b);
    ASSERT_NE(a, b);
    EXPECT_EQ(report_of(tool().program, {tool().oid_a, tool().oid_b, tool().oid_a}), a + b + a + "\n");
}

TEST_P(ReportToolCommon, MissingOidEndsTheRunAfterEarlierBlocks)
{
    const std::string a = block_of(tool().oid_a);
    const RunResult r = run(tool().program, {tool().oid_a, tool().missing, tool().oid_b});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(written(), a + quiet_diagnostic(tool().no_rows));
}

TEST_P(ReportToolCommon, ArgumentsThatAreNotNumbersFailAndChangeNothing)
{
    const struct {
        std::string oid, error;
    } cases[] = {
        {"abc", "invalid input syntax for type bigint"},
        {"", "invalid input syntax for type bigint"},
        {"1; DROP TABLE ZTR_VARIABLE", "invalid input syntax for type bigint"},
        {"1 OR 1=1", "invalid input syntax for type bigint"},
        {tool().oid_a + ")", "invalid input syntax for type bigint"},
        {"0 UNION SELECT 'a', 'b', 'c'", "invalid input syntax for type bigint"},
        {std::string(600, '9'), "out of range for type bigint"},
        {"1\xff", "invalid byte sequence"},
    };
    PgSession db;
    const std::string before = database_digest(db);
    const std::string a = block_of(tool().oid_a);
    for (const auto &c : cases) {
        const RunResult r = run(tool().program, {tool().oid_a, c.oid, tool().oid_b});
        EXPECT_EQ(r.exit_code, 1) << c.oid;
        EXPECT_EQ(r.out, "") << c.oid;
        const std::string text = written();
        const std::string head = a + query_with(tool().query, {c.oid}) + "\n\tERROR:  ";
        EXPECT_TRUE(text.starts_with(head)) << c.oid << "\n" << text;
        EXPECT_NE(text.find(c.error, head.size()), std::string::npos) << c.oid << "\n" << text;
        EXPECT_TRUE(text.ends_with("\n\n")) << c.oid;
    }
    EXPECT_EQ(database_digest(db), before);
}

TEST_P(ReportToolCommon, OidOfAnyLengthIsUsedAsTyped)
{
    // Far longer than any fixed query buffer; the server reads it as the
    // plain number, and a tool that shows the OID shows it as typed.
    const std::string plain = report_of(tool().program, {tool().oid_a});
    const std::string padded = std::string(600, '0') + tool().oid_a;
    const std::string text = report_of(tool().program, {padded});
    EXPECT_EQ(replace_all(text, padded, tool().oid_a), plain);
}

} // namespace

} // namespace testsupport
