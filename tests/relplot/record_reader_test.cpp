// Unit tests of the RSF record reader: whatever the block size, it hands out
// the tokens a plain white-space split finds, three to a record.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record_reader.h"

using namespace std::string_literals;

namespace {

using Record = std::vector<std::string>; // op, opa1, opa2, then "NUL" when flagged

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// What the reader must give: the white-space split of `text`, three tokens a
// record, a short last record keeping the later tokens of the one before.
std::vector<Record> expected_records(const std::string &text)
{
    std::vector<std::string> tokens;
    std::string token;
    bool in_token = false;
    for (char c : text + " ") {
        if (is_space(c)) {
            if (in_token)
                tokens.push_back(token);
            token.clear();
            in_token = false;
        } else {
            token += c;
            in_token = true;
        }
    }
    std::vector<Record> records;
    Record last = {"", "", ""};
    for (std::size_t i = 0; i < tokens.size(); i += 3) {
        bool nul = false;
        for (std::size_t k = 0; k < 3 && i + k < tokens.size(); ++k) {
            const std::string &t = tokens[i + k];
            nul = nul || t.find('\0') != std::string::npos;
            last[k] = t.substr(0, t.find('\0')); // read as a C string
        }
        Record r = last;
        if (nul)
            r.push_back("NUL");
        records.push_back(r);
    }
    return records;
}

std::vector<Record> read_records(const std::string &text, std::size_t block)
{
    std::FILE *in = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), in);
    std::rewind(in);
    std::vector<Record> records;
    {
        RecordReader reader(in, block);
        for (auto batch = reader.next_records(); !batch.empty(); batch = reader.next_records()) {
            for (const RsfRecord &got : batch) {
                Record r = {got.op, got.opa1, got.opa2};
                if (got.holds_nul)
                    r.push_back("NUL");
                records.push_back(r);
            }
        }
        // The end stays the end.
        EXPECT_TRUE(reader.next_records().empty());
    }
    std::fclose(in);
    return records;
}

TEST(RecordReader, SplitsAsPlainWhiteSpaceWhateverTheBlockSize)
{
    const std::string long_token(3000, 'x');
    const std::string inputs[] = {
        "",
        " \n\t\r\v\f ",
        "FILE\tf1\tmain.c\nCONTAIN\t/\tf1\n",
        "FILE\tf1\tmain.c\r\nCONTAIN\t/\tf1\r\n",
        "FILE\tf1\nmain.c\nCONTAIN /\n\n   f1",
        "CONTAIN\t/src\tf1\nROOT\t/src",
        "CONTAIN\t/src\tf1\nROOT",
        "CONTAIN\t/",
        "ROOT",
        "CONTAIN / a\0b\nCONTAIN / a\0c\n"s,
        "PHONY f -\nPHONY g \0"s,
        "A\x01" "b c\x1f d\x7f\xff e f\n",
        "CONTAIN / " + long_token + "\nFILE " + long_token + " " + long_token + "x\nROOT " + long_token,
        "a b c d e f g h i j k l m n o p q r s t u v w x y z 0 1 2 3 4 5 6 7 8 9",
    };
    for (const std::string &text : inputs) {
        const std::vector<Record> want = expected_records(text);
        for (std::size_t block : {2, 3, 5, 7, 16, 64, 1 << 16})
            EXPECT_EQ(read_records(text, block), want) << "block " << block << ", input: " << text.substr(0, 60);
    }
}

// Text of tokens and white space whose runs often cross the reader's 64-byte
// blocks, with the rare control byte, byte above 127 or NUL inside a token.
std::string random_text(std::mt19937 &random, std::size_t size)
{
    static const char spaces[] = " \t\n\v\f\r";
    static const char odd[] = {'\x01', '\x1f', '\x7f', '\xff', '\0', '\x08', '\x0e'};
    std::string text;
    while (text.size() < size) {
        const int shape = static_cast<int>(random() % 8);
        const std::size_t token = shape == 0 ? 40 + random() % 100 : 1 + random() % 12;
        for (std::size_t i = 0; i < token; ++i)
            text += random() % 50 == 0 ? odd[random() % sizeof odd] : static_cast<char>('a' + random() % 26);
        const std::size_t gap = shape == 1 ? 30 + random() % 90 : 1 + random() % 3;
        for (std::size_t i = 0; i < gap; ++i)
            text += spaces[random() % 6];
    }
    return text;
}

TEST(RecordReader, SplitsRandomTextAsPlainWhiteSpace)
{
    std::mt19937 random(2026);
    for (int round = 0; round < 40; ++round) {
        const std::string text = random_text(random, 200 + random() % 6000);
        const std::vector<Record> want = expected_records(text);
        for (std::size_t block : {64, 100, 1000, 1 << 16})
            EXPECT_EQ(read_records(text, block), want) << "round " << round << ", block " << block;
    }
}

TEST(RecordReader, ReadsAStreamOfManyChunks)
{
    // About 2.5 MB in chunks of 4 KB: short records and the tokens they take
    // over cross many chunk boundaries.
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "CONTAIN\t/dir" + std::to_string(i % 97) + "\tf" + std::to_string(i) + "\n";
    text += "ROOT\t/dir1";
    const std::vector<Record> want = expected_records(text);
    ASSERT_EQ(want.size(), 100001u);
    EXPECT_EQ(read_records(text, 4096), want);
}

} // namespace
