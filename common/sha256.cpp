#include "common/sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <nettle/sha2.h>

#include <cerrno>
#include <cstring>
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

std::string fd_hex(int fd, const std::string &name)
{
    // Read piece by piece: the files of a build may be larger than memory would like.
    sha256_ctx context;
    sha256_init(&context);
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        if (got == 0)
            return hex_of(context);
        sha256_update(&context, static_cast<std::size_t>(got), buffer.data());
    }
}

std::string file_hex(const std::filesystem::path &file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    return fd_hex(fd, file.string());
}

} // namespace sha256
