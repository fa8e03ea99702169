// relplot on huge and hostile inputs (CTest label "stress"): very wide and
// very deep trees, a token of 10 MB and random bytes.
#include <signal.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "relplot_e2e.h"

using namespace relplot_e2e;

namespace {

TEST_F(Relplot, AMillionFilesInOneDirectory)
{
    const RunResult r = convert(wide_rsf(1000000));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(read_file(out) == wide_dot(1000000));
}

TEST_F(Relplot, DeepChainsOfDirectories)
{
    RunResult r = convert(chain_rsf(2000));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(read_file(out) == chain_dot(2000));

    // 100,000 levels make some 15 GB of indentation: only the run is checked.
    write_file(in, chain_rsf(100000));
    r = run_program({bin_path("relplot"), in, "/dev/null"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, succeeded);
}

// Graphviz's dot reads no quoted string of 16 KB or more, so these DOT files
// are compared byte for byte but not rendered.
TEST_F(Relplot, ATokenOfTenMegabytesIsKeptWhole)
{
    const std::string big(10 << 20, 'n');
    const std::string quotes(10 << 20, '"');
    std::string escaped;
    for (std::size_t i = 0; i < quotes.size(); ++i)
        escaped += "\\\"";
    const Case cases[] = {
        {"a name", "CONTAIN\t/\t" + big + "\n",
         dot_file(root_cluster("\t\t\"" + big + "\"[shape=box,label=\"" + big + "\"];\n"))},
        {"a label", "FILE\tf\t" + big + "\nCONTAIN\t/\tf\n",
         dot_file(root_cluster("\t\t\"f\"[label=\"" + big + "\"" + plain + "];\n"))},
        {"an edge end of quotes", "INVOKE\ta\t" + quotes + "\n",
         dot_file("\t\"a\"->\"" + escaped + "\"[style=dotted];\n")},
    };
    for (const auto &c : cases) {
        const RunResult r = convert(c.rsf);
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out, succeeded) << c.what;
        EXPECT_TRUE(read_file(out) == c.want) << c.what;
    }

    const RunResult r = convert(big + " a b\n");
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_TRUE(r.out == "ERROR: unrecognized relation: " + big + "\n");
}

// `size` bytes from a fixed seed; `keep` says which bytes may appear.
template <class Keep>
std::string random_bytes(std::mt19937 &random, std::size_t size, Keep keep)
{
    std::string bytes;
    while (bytes.size() < size) {
        const char c = static_cast<char>(random() & 0xff);
        if (keep(c))
            bytes += c;
    }
    return bytes;
}

TEST_F(Relplot, BinaryGarbageIsRefusedWithAMessage)
{
    std::mt19937 random(8);
    for (int round = 0; round < 8; ++round) {
        const RunResult r = convert(random_bytes(random, 1 << 20, [](char) { return true; }));
        EXPECT_EQ(r.term_signal, SIGABRT) << "round " << round << ": exit " << r.exit_code;
        EXPECT_EQ(r.out.rfind("ERROR: ", 0), 0u) << "round " << round << ": " << r.out.substr(0, 200);
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "round " << round << ": one message line";
        EXPECT_EQ(read_file(out), "") << "round " << round;
    }
}

// Random names, of any byte but white space and NUL, in records of the
// relations that cannot refuse them.
TEST_F(Relplot, RandomBytesAsNamesMakeValidDot)
{
    const char *const relations[] = {"FILE",   "PHONY",    "TARGET", "GOAL", "EXECUTED", "DBLCLN",
                                     "INVOKE", "DEPENDON", "SAME",   "DIFF", "CONTAIN"};
    const auto name_byte = [](char c) { return c != 0 && c != ' ' && (c < '\t' || c > '\r'); };
    std::mt19937 random(8);
    std::string rsf;
    for (int record = 0; record < 3000; ++record) {
        const std::string relation = relations[random() % std::size(relations)];
        const std::string subject = relation == "CONTAIN" ? "/" : random_bytes(random, 8 + random() % 32, name_byte);
        rsf += relation + "\t" + subject + "\t" + random_bytes(random, 8 + random() % 32, name_byte) + "\n";
    }
    const RunResult r = convert(rsf);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, succeeded);
    // Names that are no UTF-8 draw dot's warnings, but it must read the file.
    const RunResult rendered = run_program({DAVER_DOT, "-Tsvg", "-o", "/dev/null", out});
    EXPECT_EQ(rendered.exit_code, 0) << rendered.err.substr(0, 2000);
    EXPECT_EQ(rendered.err.find("rror"), std::string::npos) << rendered.err.substr(0, 2000);
}

} // namespace
