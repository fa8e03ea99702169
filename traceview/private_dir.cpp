#include "private_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace traceview {

namespace {

// A file descriptor closed by its owner.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

PrivateDir::PrivateDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "traceview-XXXXXX").string();
    // mkdtemp creates the folder with mode 0700: no other user reads or plants files in it.
    if (::mkdtemp(pattern.data()) == nullptr)
        fail("cannot create a private folder");
    path_ = pattern;
}

PrivateDir::~PrivateDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScratchFile::ScratchFile(const PrivateDir &dir, const char *stem)
{
    std::string pattern = (dir.path() / (std::string(stem) + "-XXXXXX")).string();
    Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.fd < 0)
        fail("cannot create a scratch file");
    path_ = pattern;
}

ScratchFile::~ScratchFile() { ::unlink(path_.c_str()); }

void ScratchFile::write(const std::string &content) const
{
    Fd fd(::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0)
        fail("cannot open " + path_);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd.fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write " + path_);
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string ScratchFile::read(std::size_t cap, bool &truncated) const
{
    truncated = false;
    Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0)
        fail("cannot open " + path_);
    std::string text;
    std::vector<char> chunk(65536);
    for (;;) {
        const ssize_t n = ::read(fd.fd, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot read " + path_);
        }
        if (n == 0)
            break;
        const std::size_t room = cap - text.size();
        if (static_cast<std::size_t>(n) > room) {
            text.append(chunk.data(), room);
            truncated = true;
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace traceview
