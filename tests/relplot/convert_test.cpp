// Unit tests of the conversion between two open streams: whatever kind of
// stream the DOT text goes to, it gets the same text, in order.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "relplot.h"
#include "test_support.h"

namespace {

// A graph of many edges, over a megabyte of DOT text: files in
// directories, DEPENDON and INVOKE edges, a SAME pair.
std::string many_edges_rsf()
{
    std::string rsf = "CONTAIN / d0\nCONTAIN / d1\nSAME d0 d1\n";
    for (int i = 0; i < 40000; ++i) {
        const std::string f = "f" + std::to_string(i);
        rsf += "FILE " + f + " n" + std::to_string(i) + ".c\nCONTAIN d" + std::to_string(i % 2) + " " + f + "\n";
        rsf += "DEPENDON " + f + " f" + std::to_string(i / 2) + "\nINVOKE d" + std::to_string(i % 2) + " " + f + "\n";
    }
    return rsf;
}

// The DOT text of `rsf` converted into `out`.
void convert(const std::string &rsf, FILE *out)
{
    FILE *in = fmemopen(const_cast<char *>(rsf.data()), rsf.size(), "r");
    ASSERT_NE(in, nullptr);
    convert_stream(in, out);
    release_graph();
    std::fclose(in);
}

TEST(ConvertStream, EveryKindOfFileGetsTheTextOfAMemoryStream)
{
    const std::string rsf = many_edges_rsf();
    char *text = nullptr;
    std::size_t length = 0;
    FILE *memory = open_memstream(&text, &length);
    ASSERT_NE(memory, nullptr);
    convert(rsf, memory);
    std::fclose(memory);
    const std::string want(text, length);
    std::free(text);
    ASSERT_GT(want.size(), std::size_t{1} << 20);

    testsupport::TempDir dir;
    const std::string path = dir.file("out.dot");
    const std::string before = "text already in the file\n";
    const struct {
        const char *what;
        const char *mode;
        std::string kept; // what the file holds before and keeps
    } cases[] = {
        {"a new file", "w", ""},
        {"a file written after a first line", "w", before},
        {"a file open for appending", "a", before},
    };
    for (const auto &c : cases) {
        testsupport::write_file(path, c.kept);
        FILE *out = std::fopen(path.c_str(), c.mode);
        ASSERT_NE(out, nullptr);
        if (c.mode[0] == 'w')
            std::fputs(c.kept.c_str(), out);
        convert(rsf, out);
        EXPECT_EQ(std::fclose(out), 0) << c.what;
        EXPECT_TRUE(testsupport::read_file(path) == c.kept + want) << c.what;
    }
}

} // namespace
