#include "common/sha256.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(Sha256, KnownDigestsOfTextAndFiles)
{
    struct Case {
        std::string text, hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"hello\n", "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03"},
        // Longer than the 64 KiB pieces a file is read in.
        {std::string(100000, 'a'), "6d1cf22d7cc09b085dfc25ee1a1f3ae0265804c607bc2074ad253bcc82fd81ee"},
    };
    testsupport::TempDir dir;
    for (const Case &c : cases) {
        EXPECT_EQ(sha256::hex(c.text), c.hex) << c.text.size();
        testsupport::write_file(dir.file("f"), c.text);
        EXPECT_EQ(sha256::file_hex(dir.path() / "f"), c.hex) << c.text.size();
    }
}

TEST(Sha256, AFileThatCannotBeReadHasNoDigest)
{
    testsupport::TempDir dir;
    EXPECT_THROW(sha256::file_hex(dir.path() / "missing"), std::runtime_error);
    EXPECT_THROW(sha256::file_hex(dir.path()), std::runtime_error);
}

} // namespace
