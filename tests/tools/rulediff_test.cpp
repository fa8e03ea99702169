// End-to-end tests of rulediff against the test server (data: db/test/60_rulediff.sql).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comparison_checks.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const std::string rule = std::string(42, '=') + "\n";
const std::string no_target = "Target doesn't exist\n\t\n\n";
const std::string both_same = " \nCommand text: SAME\n \nExecuted commands: SAME\n";

// One comparison block and the report's final line end; `a` and `b` are
// the instances as directory/name.
std::string report_of(const std::string &a, const std::string &b, const std::string &body)
{
    return " \n" + rule + "Comparing Target\n\t" + a + "\n\t" + b + "\n" + body + " \n" + rule + " \n\n";
}

// The three flag lines of an instance that has every flag set, as the
// first side writes them and as the second side does.
std::string all_flags_first(const std::string &t)
{
    return t + " is PHONY target\n" + t + " is a target in Makefile\n" + t + " has double colon rule\n";
}
std::string all_flags_second(const std::string &t)
{
    return t + " is PHONY target\n" + t + " is target in Makefile\n" + t + " has double colon rule\n";
}

class Rulediff : public testing::Test {
protected:
    TempDir dir;
    std::string report = dir.file("report.txt");

    RunResult rulediff(const std::vector<std::string> &oids)
    {
        std::vector<std::string> argv = {bin_path("rulediff"), report};
        argv.insert(argv.end(), oids.begin(), oids.end());
        return run_program(argv);
    }
};

TEST_F(Rulediff, WorkedExample)
{
    const std::string want = " \n" + rule +
                             "Comparing Target\n"
                             "\t/build/a/prog\n"
                             "\t/build/b/prog\n"
                             " \n"
                             "Command text: SAME\n"
                             " \n"
                             "Executed commands for /build/a/prog:\n"
                             "\tcc -o prog main.o\n"
                             " \n"
                             "Executed commands for /build/b/prog:\n"
                             " NONE.\n"
                             "/build/a/prog is a target in Makefile\n"
                             " \n" +
                             rule + " \n\n";
    RunResult r = rulediff({"5001", "5002"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(report), want);

    r = rulediff({"5001", "5002", "ignored", "5999"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(report), want) << "arguments after the second OID are ignored";
}

TEST_F(Rulediff, FlagLinesPerSide)
{
    const struct {
        const char *what, *oid_a, *oid_b;
        std::string a, b, flags;
    } cases[] = {
        {"0 against 1", "5010", "5011", "flags/zero", "flags/one", all_flags_second("flags/one")},
        {"1 against 0", "5011", "5010", "flags/one", "flags/zero", all_flags_first("flags/one")},
        {"1 against 2: both set", "5011", "5012", "flags/one", "flags/two", ""},
        {"NULL against 1", "5013", "5011", "flags/null", "flags/one", all_flags_second("flags/one")},
        {"a word against 1", "5014", "5011", "flags/word", "flags/one", all_flags_second("flags/one")},
        {"empty against NULL", "5015", "5013", "flags/empty", "flags/null", ""},
        {"-1 against 0", "5016", "5010", "flags/minus", "flags/zero", all_flags_first("flags/minus")},
        {"blank and 7 against NULL", "5017", "5013", "flags/blank7", "flags/null", all_flags_first("flags/blank7")},
        {"2^32 against 0", "5018", "5010", "flags/huge", "flags/zero", all_flags_first("flags/huge")},
        {"0x1 against 0: the digits stop at x", "5019", "5010", "flags/hex", "flags/zero", ""},
        {"+3 against a word", "5020", "5014", "flags/plus", "flags/word", all_flags_first("flags/plus")},
        {"different flags on each side", "5021", "5022", "flags/mixa", "flags/mixb",
         "flags/mixa is PHONY target\nflags/mixb is target in Makefile\nflags/mixb has double colon rule\n"},
        {"different flags the other way round", "5022", "5021", "flags/mixb", "flags/mixa",
         "flags/mixa is PHONY target\nflags/mixb is a target in Makefile\nflags/mixb has double colon rule\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = rulediff({c.oid_a, c.oid_b});
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(read_file(report), report_of(c.a, c.b, both_same + c.flags)) << c.what;
    }
}

TEST_F(Rulediff, CommandTexts)
{
    const struct {
        const char *what, *oid_a, *oid_b;
        std::string a, b, body;
    } cases[] = {
        {"an instance with itself", "5001", "5001", "/build/a/prog", "/build/a/prog", both_same},
        {"two NULL texts", "5030", "5030", "texts/nulltxt", "texts/nulltxt", both_same},
        {"two empty texts", "5031", "5031", "texts/emptytxt", "texts/emptytxt", both_same},
        {"NULL against empty", "5030", "5031", "texts/nulltxt", "texts/emptytxt",
         " \nCommand text for texts/nulltxt:\n NONE.\n"
         " \nCommand text for texts/emptytxt:\n"
         " \nExecuted commands for texts/nulltxt:\n NONE.\n"
         " \nExecuted commands for texts/emptytxt:\n"},
        {"letter case and a trailing blank", "5032", "5033", "texts/a", "texts/b",
         " \nCommand text for texts/a:\n\tgcc -c x.c\n\tgcc -o x x.o\n"
         " \nCommand text for texts/b:\n\tgcc -c x.c\n\tGCC -o x x.o\n"
         " \nExecuted commands for texts/a:\n\tmake all\n"
         " \nExecuted commands for texts/b:\n\tmake all \n"},
        {"a trailing line end", "5032", "5034", "texts/a", "texts/c",
         " \nCommand text for texts/a:\n\tgcc -c x.c\n\tgcc -o x x.o\n"
         " \nCommand text for texts/c:\n\tgcc -c x.c\n\tgcc -o x x.o\n"
         " \nExecuted commands: SAME\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = rulediff({c.oid_a, c.oid_b});
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(read_file(report), report_of(c.a, c.b, c.body)) << c.what;
    }
}

TEST_F(Rulediff, MissingTarget)
{
    const struct {
        const char *what, *oid_a, *oid_b;
    } cases[] = {
        {"no such first target", "5999", "5001"},
        {"no such second target", "5001", "5999"},
        {"neither: the first is tested first", "5999", "not-a-number"},
    };
    for (const auto &c : cases) {
        const RunResult r = rulediff({c.oid_a, c.oid_b});
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(read_file(report), no_target) << c.what;
    }
}

TEST_F(Rulediff, ArgumentsThatAreNotNumbersFailAndChangeNothing)
{
    PgSession db;
    const std::string instances = db.table_digest("ZTR_FILEINST");
    const std::string cases[] = {
        "abc",
        "5001 OR 1=1",
        "5001; DELETE FROM ZTR_FILEINST",
        "0 OR TRUE; DROP TABLE ZTR_FILEINST; --",
        "",
        std::string(1000, '9'),
    };
    for (const auto &oid : cases) {
        for (const auto &oids : {std::vector<std::string>{oid, "5999"}, std::vector<std::string>{"5001", oid}}) {
            const RunResult r = rulediff(oids);
            EXPECT_EQ(r.exit_code, 1) << oid;
            expect_query_diagnostic(read_file(report), "", query_with(rulediff_query, {oid}));
        }
    }
    EXPECT_EQ(db.table_digest("ZTR_FILEINST"), instances);
}

TEST(RulediffCommandLine, Refused)
{
    expect_command_line_refusals("rulediff", "Can not open file.\n", {"5001", "5002"});
}

} // namespace
