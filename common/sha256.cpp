#include "common/sha256.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

namespace sha256 {

namespace {

std::string hex_of(sha256_ctx &context)
{
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace

std::string hex(std::string_view text)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, text.size(), reinterpret_cast<const std::uint8_t *>(text.data()));
    return hex_of(context);
}

std::string file_hex(const std::filesystem::path &file)
{
    // Read piece by piece: the files of a build may be larger than memory would like.
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> in(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!in)
        throw std::runtime_error("cannot open " + file.string());
    sha256_ctx context;
    sha256_init(&context);
    std::vector<unsigned char> buffer(1 << 16);
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0)
        sha256_update(&context, got, buffer.data());
    if (std::ferror(in.get()))
        throw std::runtime_error("cannot read " + file.string());
    return hex_of(context);
}

} // namespace sha256
