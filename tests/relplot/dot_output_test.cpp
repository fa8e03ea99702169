// Unit tests of the DOT text collector: whatever lands on a boundary of its
// buffer, the stream gets exactly the text put, in order.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "dot_output.h"
#include "test_support.h"

namespace {

// A stream into memory; text() is what reached it.
class MemoryStream {
public:
    MemoryStream() : fp_(open_memstream(&data_, &size_)) {}
    ~MemoryStream()
    {
        std::fclose(fp_);
        std::free(data_);
    }
    FILE *fp() const { return fp_; }
    std::string text()
    {
        std::fflush(fp_);
        return std::string(data_, size_);
    }

private:
    char *data_ = nullptr;
    std::size_t size_ = 0;
    FILE *fp_;
};

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// Fillers that leave the buffer (64 KB) empty, nearly full, just full or
// just past full before the piece under test.
const std::size_t fillers[] = {0, 1, 65533, 65534, 65535, 65536, 65537, 140000};

TEST(DotOutput, QuotedTextIsEscapedWholeAcrossTheBuffersEnd)
{
    const std::string texts[] = {"", "plain", "a\"b\\c", std::string(70000, 'x'), std::string(70000, '"'),
                                 std::string(3, '\\') + std::string(65535, 'q') + "\"\\"};
    for (std::size_t filler : fillers) {
        for (const std::string &text : texts) {
            MemoryStream stream;
            DotOutput &out = DotOutput::of(stream.fp());
            const std::string before(filler, 'f');
            out.put(before.data(), before.size());
            out.put_quoted(text.c_str());
            out.put('!');
            out.flush();
            EXPECT_TRUE(stream.text() == before + escaped(text) + "!")
                << "filler " << filler << ", text of " << text.size() << " bytes";
        }
    }
}

TEST(DotOutput, EveryPlaceOfAByteToEscapeIsFound)
{
    // A '"' or '\\' at every place of texts up to 24 bytes long, among bytes
    // that differ from those two in one bit only (which a looser test would
    // take for them).
    const std::string near = "\xa2\xdc!#[]\x02\x1c";
    std::vector<std::string> texts;
    for (std::size_t length = 0; length <= 24; ++length) {
        std::string plain;
        for (std::size_t i = 0; i < length; ++i)
            plain += near[i % near.size()];
        texts.push_back(plain);
        for (std::size_t at = 0; at < length; ++at) {
            for (char escape : {'"', '\\'}) {
                std::string text = plain;
                text[at] = escape;
                texts.push_back(text);
                text[length - 1 - at / 2] = '"';
                texts.push_back(text);
            }
        }
    }
    for (const std::string &text : texts) {
        MemoryStream stream;
        DotOutput &out = DotOutput::of(stream.fp());
        out.put_quoted(text.c_str());
        out.put('|');
        out.put_quoted(text.c_str());
        out.flush();
        const std::string want = escaped(text);
        EXPECT_TRUE(stream.text() == want + "|" + want) << testing::PrintToString(text);
    }
}

TEST(DotOutput, TabsNumbersAndLiteralsGoOutInOrder)
{
    for (std::size_t filler : fillers) {
        MemoryStream stream;
        DotOutput &out = DotOutput::of(stream.fp());
        const std::string before(filler, 'f');
        out.put(before.data(), before.size());
        out.put_tabs(-1);
        out.put_tabs(0);
        out.put_tabs(3);
        out.put(" ((");
        out.put_number(-128);
        out.put_number(127);
        out.put("))");
        out.put_tabs(70000);
        out.flush();
        EXPECT_TRUE(stream.text() == before + "\t\t\t ((-128127))" + std::string(70000, '\t')) << "filler " << filler;
    }
}

// Puts some 4 MB in lines of every kind of put into `out`, with a long text
// that goes straight through after everything before it; returns the text.
std::string put_many_lines(DotOutput &out)
{
    std::string want;
    for (int i = 0; i < 60000; ++i) {
        const std::string name = "f" + std::to_string(i) + (i % 7 == 0 ? "\"q\"" : "");
        out.put_tabs(i % 5);
        out.put('"');
        out.put_quoted(name.c_str());
        out.put("\"[label=\"");
        out.put_number(i % 300 - 150);
        out.put("\"];\n");
        want += std::string(static_cast<std::size_t>(i % 5), '\t') + '"' + escaped(name) + "\"[label=\"" +
                std::to_string(i % 300 - 150) + "\"];\n";
        if (i == 30000) {
            const std::string long_text(300000, 'L');
            out.put(long_text.data(), long_text.size());
            want += long_text;
        }
    }
    return want;
}

TEST(DotOutput, ManyBuffersFullKeepTheirOrder)
{
    MemoryStream stream;
    DotOutput &out = DotOutput::of(stream.fp());
    const std::string want = put_many_lines(out);
    out.flush();
    EXPECT_TRUE(stream.text() == want);
}

TEST(DotOutput, TextHeldForOneStreamReachesItBeforeAnotherStreamIsServed)
{
    MemoryStream first, second;
    DotOutput::of(first.fp()).put("one");
    EXPECT_EQ(first.text(), "") << "held until a flush";
    DotOutput::of(second.fp()).put("two");
    EXPECT_EQ(first.text(), "one");
    DotOutput::of(second.fp()).flush();
    EXPECT_EQ(second.text(), "two");
    EXPECT_EQ(first.text(), "one");
}

} // namespace
