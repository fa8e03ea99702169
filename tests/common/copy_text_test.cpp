// The COPY text escaping as the preloaded library writes it (C strings)
// and as the spool's reader and writer handle it (std::string): the same
// form, and every byte but NUL back as it went in.
#include "common/copy_text.h"

#include <string>

#include <gtest/gtest.h>

#include "spool/spool.h"

namespace {

/// What copy_text::escape writes for `text`, with the room it is promised.
std::string escaped(const std::string &text)
{
    std::string out(2 * text.size(), '\0');
    out.resize(static_cast<std::size_t>(copy_text::escape(out.data(), text.c_str()) - out.data()));
    return out;
}

TEST(CopyText, BothWritersWriteTheSameForm)
{
    struct Case {
        std::string value, field;
    } cases[] = {
        {"plain", "plain"},
        {"a\tb", "a\\tb"},
        {"line1\nline2\r\n", "line1\\nline2\\r\\n"},
        {"C:\\dir\\", "C:\\\\dir\\\\"},
        {"\\n is not a newline", "\\\\n is not a newline"},
        {"\t\t", "\\t\\t"},
        {"", ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(escaped(c.value), c.field) << c.value;
        EXPECT_EQ(spool::escape_field(c.value), c.field) << c.value;
        EXPECT_EQ(spool::unescape_field(c.field), c.value) << c.field;
    }
}

TEST(CopyText, EveryByteButNulRoundTrips)
{
    std::string all;
    for (int byte = 1; byte < 256; ++byte)
        all += static_cast<char>(byte);
    const std::string field = escaped(all + all);
    EXPECT_EQ(field.find_first_of("\t\n\r"), std::string::npos) << "one line holds one field";
    EXPECT_EQ(spool::unescape_field(field), all + all);
    EXPECT_EQ(spool::split_record(escaped(all) + "\t" + escaped("x\ty")),
              (std::vector<std::string>{all, "x\ty"}));
}

TEST(CopyText, EscapesThisWriterNeverWritesStandForTheirLetter)
{
    // PostgreSQL's other escapes (\b, \N, octal) are never written; the reader takes them literally.
    EXPECT_EQ(spool::unescape_field("\\b\\N\\0"), "bN0");
    EXPECT_EQ(spool::unescape_field("ends in \\"), "ends in \\");
    for (const char letter : {'t', 'n', 'r', '\\'})
        EXPECT_EQ(copy_text::escape_letter(copy_text::unescaped(letter)), letter);
}

} // namespace
