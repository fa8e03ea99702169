// Unit tests of the query module's string helpers, query texts and printers.
#include "query.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(XTrim, RemovesOnlyBlanksAtBothEnds)
{
    const struct {
        const char *in, *want;
    } cases[] = {
        {"", ""},
        {"    ", ""},
        {"  a b  ", "a b"},
        {"\tword ", "\tword"},
        {"word\t", "word\t"},
        {" x", "x"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(xtrim(c.in), c.want) << '"' << c.in << '"';
}

TEST(XStrcmp, ComparesTrimmedTextsInByteOrder)
{
    EXPECT_EQ(xstrcmp(nullptr, nullptr), 0);
    EXPECT_EQ(xstrcmp(nullptr, "a"), 1);
    EXPECT_EQ(xstrcmp("a", nullptr), 1);
    EXPECT_EQ(xstrcmp("CC   ", "   CC"), 0);
    EXPECT_LT(xstrcmp("CC", "CFLAGS"), 0);
    EXPECT_GT(xstrcmp("LANG", "CFLAGS"), 0);
    EXPECT_LT(xstrcmp("Z", "a"), 0) << "upper case sorts before lower case";
    EXPECT_NE(xstrcmp("a\t", "a"), 0) << "a tab is not trimmed";
    EXPECT_NE(xstrcmp("abc", "ABC"), 0);
    EXPECT_LT(xstrcmp("ab", "abc"), 0);
    EXPECT_GT(xstrcmp("\xe9", "z"), 0) << "bytes compare as unsigned, as strcmp does";
}

TEST(XStrncpy, CopiesAtMostLenCharacters)
{
    EXPECT_EQ(xstrncpy("abcdef", 0), "");
    EXPECT_EQ(xstrncpy("abcdef", 3), "abc");
    EXPECT_EQ(xstrncpy("ab", 5), "ab");
}

const char *const oid_query = "SELECT A FROM T\t\tWHERE OID = %s\t AND X = Y";
const char *const quoted_query = "SELECT OID FROM T WHERE V = '%s' AND N = '%s'\t AND D = '%s' ";

TEST(QueryText, ValuesAreSubstitutedAsTypedForTheMessage)
{
    EXPECT_EQ(substitute_query(oid_query, {"007"}), "SELECT A FROM T\t\tWHERE OID = 007\t AND X = Y");
    EXPECT_EQ(substitute_query(quoted_query, {"v1", "it's.c", "src"}),
              "SELECT OID FROM T WHERE V = 'v1' AND N = 'it's.c'\t AND D = 'src' ");
    EXPECT_EQ(substitute_query(oid_query, {"1; DROP TABLE T"}), "SELECT A FROM T\t\tWHERE OID = 1; DROP TABLE T\t AND X = Y");
}

TEST(FailureLine, FoldsTheMessageIntoOneLineNamingTheReport)
{
    const struct {
        const char *msg, *error, *line;
    } cases[] = {
        {"There no such file, the data file may not be up-to-date", "",
         "procshow: There no such file, the data file may not be up-to-date (details in r.txt)\n"},
        {"SELECT OID \t\t\t FROM T\t\t\tWHERE OID = 1\n2", "ERROR:  bad\nLINE 1: SELECT\n",
         "procshow: SELECT OID FROM T WHERE OID = 1 2: ERROR: bad (details in r.txt)\n"},
        {"Failed to build a connection", "connection to server failed: No such file\n\t",
         "procshow: Failed to build a connection: connection to server failed: No such file (details in r.txt)\n"},
        {" \t", "\n", "procshow: (details in r.txt)\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(failure_line("procshow", c.msg, c.error, "r.txt"), c.line) << c.msg;
    // The report's name comes from the command line and may hold a line end too.
    EXPECT_EQ(failure_line("procshow", "x", "", "out\nr.txt"), "procshow: x (details in out r.txt)\n");
}

TEST(QueryText, PlaceholdersBecomeParameters)
{
    EXPECT_EQ(parameterize_query(oid_query), "SELECT A FROM T\t\tWHERE OID = $1\t AND X = Y");
    EXPECT_EQ(parameterize_query(quoted_query), "SELECT OID FROM T WHERE V = $1 AND N = $2\t AND D = $3 ");
}

// Captures what the printers write to `outfp`.
class Printer : public testing::Test {
protected:
    void SetUp() override { outfp = open_memstream(&buf_, &len_); }
    void TearDown() override
    {
        if (outfp != nullptr)
            std::fclose(outfp);
        outfp = nullptr;
        std::free(buf_);
        buf_ = nullptr;
    }
    std::string written()
    {
        std::fflush(outfp);
        return std::string(buf_, len_);
    }

private:
    char *buf_ = nullptr;
    size_t len_ = 0;
};

std::string chars(char first, int count)
{
    std::string s;
    for (int i = 0; i < count; ++i)
        s += static_cast<char>(first + i % 26);
    return s;
}

TEST_F(Printer, VariableDisplayNameRule)
{
    const struct {
        const char *name, *shown;
    } cases[] = {
        {"CC        ", "CC"},          // blank followed by a blank: up to the blank
        {"ABCDEFGH  ", "ABCDEFGH  "},  // first blank among the last three: whole name
        {"ab cde    ", "ab c"},        // a single blank: it and one more character
        {"NOSPACE", "NOSPACE"},        // no blank at all: whole name
        {"a", "a"},
        {"", ""},
    };
    for (const auto &c : cases) {
        print_var(1, c.name, "v", " ");
    }
    std::string want;
    for (const auto &c : cases)
        want += std::string("  1 ") + c.shown + "=v\n";
    EXPECT_EQ(written(), want);
}

TEST_F(Printer, VariableWrapsAtSixtyCharacters)
{
    const std::string value = chars('a', 130);
    print_var(2, "PATH      ", value.c_str(), "1>");
    // Header "1> 2 PATH=" is 10 characters: 50 value characters fit after it.
    EXPECT_EQ(written(), "1> 2 PATH=" + value.substr(0, 50) + "\n\t" + value.substr(50, 59) + "\n\t" + value.substr(109) + "\n");
}

TEST_F(Printer, VariableLineBoundaries)
{
    const std::string fifty = chars('a', 50);
    print_var(2, "PATH      ", fifty.c_str(), "1>");
    print_var(2, "PATH      ", (fifty + "Z").c_str(), "1>");
    print_var(3, "EMPTY     ", "", "2<");
    print_var(1, "CC        ", "gcc", " ");
    EXPECT_EQ(written(), "1> 2 PATH=" + fifty + "\n" +
                             "1> 2 PATH=" + fifty + "\n\tZ\n" +
                             "2< 3 EMPTY=\n" +
                             "  1 CC=gcc\n");
}

TEST_F(Printer, VariableWithHeaderLongerThanTheLine)
{
    const std::string name = chars('A', 70);
    print_var(4, name.c_str(), "xy", " ");
    EXPECT_EQ(written(), "  4 " + name + "=\n\txy\n");
}

TEST_F(Printer, VariableHeaderAroundTheLineWidth)
{
    // " 1 " + name + "=" with a name of n characters is n + 5 long.
    for (const int header_len : {59, 60, 61, 75}) {
        const std::string name = chars('A', header_len - 5);
        const std::string header = "  1 " + name + "=";
        ASSERT_EQ(header.size(), static_cast<size_t>(header_len));
        const bool room = header_len < 60;
        const struct {
            const char *value;
            std::string want;
        } cases[] = {
            {"", header + "\n"},
            {"a", room ? header + "a\n" : header + "\n\ta\n"},
            {"ab", room ? header + "a\n\tb\n" : header + "\n\tab\n"},
        };
        for (const auto &c : cases) {
            Printer::TearDown();
            Printer::SetUp();
            print_var(1, name.c_str(), c.value, " ");
            EXPECT_EQ(written(), c.want) << header_len << " \"" << c.value << '"';
        }
    }
}

TEST_F(Printer, VariableValueOfAnyLengthIsWrittenWhole)
{
    for (const int header_len : {7, 30, 60, 90}) {
        for (int value_len = 0; value_len <= 250; ++value_len) {
            Printer::TearDown();
            Printer::SetUp();
            const std::string name = chars('A', header_len - 5), value = chars('a', value_len);
            print_var(1, name.c_str(), value.c_str(), " ");
            const std::string out = written();
            const std::string header = "  1 " + name + "=";
            ASSERT_EQ(out.substr(0, header.size()), header);
            // Undo the layout: drop the header and each line break with the
            // tab that starts the next line.
            std::string rebuilt;
            size_t line_start = 0;
            for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', line_start)) {
                const std::string line = out.substr(line_start, end - line_start);
                if (line_start == 0) {
                    rebuilt += line.substr(header.size());
                } else {
                    ASSERT_EQ(line[0], '\t') << header_len << '/' << value_len;
                    ASSERT_GT(line.size(), 1u) << "a continuation line carries at least one character";
                    rebuilt += line.substr(1);
                }
                EXPECT_LE(line.size(), std::max<size_t>(60, header.size())) << header_len << '/' << value_len;
                line_start = end + 1;
            }
            ASSERT_EQ(line_start, out.size()) << "every line ends with a newline";
            EXPECT_EQ(rebuilt, value) << header_len << '/' << value_len;
        }
    }
}

TEST_F(Printer, VariableNullNameAndValueReadAsEmpty)
{
    print_var(3, nullptr, nullptr, " ");
    print_var(3, "X", nullptr, "2<");
    EXPECT_EQ(written(), "  3 =\n2< 3 X=\n");
}

TEST_F(Printer, VariableValueNewlinesAreCopied)
{
    print_var(1, "A  ", "x\ny", " ");
    EXPECT_EQ(written(), "  1 A  =x\ny\n");
}

TEST_F(Printer, CommandLayouts)
{
    const std::string first = chars('a', 130), second = chars('k', 20), sixty = chars('m', 60);
    const struct {
        const char *cmd;
        std::string want;
    } cases[] = {
        {nullptr, " NONE.\n"},
        {"", ""},
        {"\n", "\t\n"},
        {"\nls", "\t\n\tls\n"},
        {"a\n\nb", "\ta\n\t\n\tb\n"},
        {"make all\n", "\tmake all\n"},
    };
    for (const auto &c : cases) {
        Printer::TearDown();
        Printer::SetUp();
        print_cmd(c.cmd);
        EXPECT_EQ(written(), c.want) << (c.cmd ? c.cmd : "(null)");
    }
    Printer::TearDown();
    Printer::SetUp();
    print_cmd((first + "\n" + second + "\n").c_str());
    print_cmd((sixty + "\n").c_str());
    print_cmd((sixty + "x").c_str());
    EXPECT_EQ(written(), "\t" + first.substr(0, 60) + "\n\t" + first.substr(60, 60) + "\n\t" + first.substr(120) +
                             "\n\t" + second + "\n" +
                             "\t" + sixty + "\n" +
                             "\t" + sixty + "\n\tx\n");
}

} // namespace
