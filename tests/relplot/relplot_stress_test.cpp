// relplot on huge and hostile inputs (CTest label "stress"): very wide and
// very deep trees, a token of 10 MB, random bytes, and large files read
// from and written to regular files and pipes alike.
#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "relplot_e2e.h"

using namespace relplot_e2e;

namespace {

// About 10 MB of every relation in every layout: CRLF and tab lines,
// records across lines, SAME pairs with children, layers, DIFF, DBLCLN,
// and a last record cut short.
std::string mixed_rsf()
{
    std::string rsf = "LAYERNAME old 0\nLAYERNAME new 1\n";
    for (int d = 0; d < 300; ++d)
        rsf += "CONTAIN / /d" + std::to_string(d) + "\n";
    for (int i = 0; i < 150000; ++i) {
        const std::string f = "f" + std::to_string(i);
        const std::string dir = "/d" + std::to_string(i % 300);
        rsf += "FILE\t" + f + "\tname" + std::to_string(i) + ".c\r\nCONTAIN " + dir + " " + f + "\n";
        if (i % 3 == 0)
            rsf += "TARGET\t" + f + "\t-\nEXECUTED " + f + " -\n";
        if (i % 7 == 0 && i > 0)
            rsf += "DEPENDON\n" + f + "\n   f" + std::to_string(i - 1) + "\n";
        if (i % 11 == 0) {
            const std::string l = "L" + std::to_string(i);
            rsf += "CONTAIN " + dir + " " + l + "\nLAYER " + l + (i % 2 != 0 ? " old\n" : " new\n");
        }
        if (i % 13 == 0) {
            const std::string g = "g" + std::to_string(i);
            rsf += "CONTAIN /d299 " + g + "\nSAME " + f + " " + g + "\nCONTAIN " + g + " k" + std::to_string(i) + "\n";
        }
        if (i % 17 == 0)
            rsf += "DBLCLN " + f + " " + std::to_string(i % 300) + "\nINVOKE " + f + " f" + std::to_string(i / 2) + "\n";
        if (i % 500 == 0)
            rsf += "DIFF " + dir + " -\nPHONY " + f + " -\nGOAL " + f + " -\n";
    }
    return rsf + "PHONY f5";
}

// Converts `rsf` read through a named pipe.
RunResult convert_through_pipe(const std::string &rsf, const std::string &fifo, const std::string &dot)
{
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A run that stops reading early must not end the test by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << rsf; });
    RunResult r = run_program({bin_path("relplot"), fifo, dot});
    writer.join();
    return r;
}

// Converts `rsf` into a named pipe; returns the run, with what came through
// the pipe in `dot`.
RunResult convert_into_pipe(const std::string &in, const std::string &fifo, std::string &dot)
{
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] {
        std::ifstream pipe(fifo, std::ios::binary);
        dot.assign(std::istreambuf_iterator<char>(pipe), std::istreambuf_iterator<char>());
    });
    RunResult r = run_program({bin_path("relplot"), in, fifo});
    reader.join();
    std::filesystem::remove(fifo);
    return r;
}

// Many edges (100,000 more): between SAME partners, layered nodes and plain
// files, and a name that needs escapes.  `conflict` adds an edge between the
// layers early in the file, so late in the edge lines.
std::string many_edges_rsf(bool conflict)
{
    std::string rsf = conflict ? "DEPENDON L11 L22" : "";
    for (int i = 0; i < 100000; ++i) {
        const std::string f = "f" + std::to_string(i);
        switch (i % 4) {
        case 0: rsf += "\nDEPENDON " + f + " g" + std::to_string(13 * (i % 1000)); break;
        case 1: rsf += "\nINVOKE L" + std::to_string(11 * (i % 500)) + " " + f; break;
        case 2: rsf += "\nDEPENDON L" + std::to_string(22 * (i % 300)) + " L" + std::to_string(22 * (i % 200)); break;
        default: rsf += "\nINVOKE \"quoted\\name\" " + f; break;
        }
    }
    return rsf + "\n" + mixed_rsf();
}

TEST_F(Relplot, ManyEdgesWrittenToAFileMatchThoseThroughAPipe)
{
    for (bool conflict : {false, true}) {
        const std::string what = conflict ? "with a layer conflict" : "without a conflict";
        write_file(in, many_edges_rsf(conflict));
        const RunResult to_file = run_program({bin_path("relplot"), in, out});
        std::string through_pipe;
        const RunResult to_pipe = convert_into_pipe(in, dir.file("out.fifo"), through_pipe);
        EXPECT_EQ(to_file.exit_code, to_pipe.exit_code) << what;
        EXPECT_EQ(to_file.term_signal, to_pipe.term_signal) << what;
        EXPECT_EQ(to_file.out, conflict ? "Error: conflict layer information\n" : succeeded) << what;
        EXPECT_EQ(to_file.out, to_pipe.out) << what;
        const std::string written = read_file(out);
        EXPECT_GT(written.size(), std::size_t{4} << 20) << what;
        EXPECT_TRUE(written == through_pipe) << what << ": " << written.size() << " bytes to the file, "
                                             << through_pipe.size() << " through the pipe";
    }
}

TEST_F(Relplot, ALargeFileConvertsAsThroughAPipe)
{
    const std::string rsf = mixed_rsf();
    ASSERT_GT(rsf.size(), std::size_t{8} << 20) << "many chunks of input";
    // A NUL byte late in the file: the same record is refused either way.
    std::string refused = rsf;
    refused.insert(refused.size() - 100000, 1, '\0');
    for (const std::string *input : {&rsf, static_cast<const std::string *>(&refused)}) {
        const RunResult from_file = convert(*input);
        const RunResult from_pipe = convert_through_pipe(*input, dir.file("in.fifo"), dir.file("pipe.dot"));
        std::filesystem::remove(dir.file("in.fifo"));
        EXPECT_EQ(from_file.exit_code, from_pipe.exit_code);
        EXPECT_EQ(from_file.term_signal, from_pipe.term_signal);
        EXPECT_EQ(from_file.out, from_pipe.out);
        EXPECT_TRUE(read_file(out) == read_file(dir.file("pipe.dot")));
    }
    const RunResult r = convert(rsf);
    EXPECT_EQ(r.out, succeeded);
    EXPECT_GT(read_file(out).size(), rsf.size());
    EXPECT_EQ(convert(refused).out.rfind("ERROR: record ", 0), 0u);
}

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
