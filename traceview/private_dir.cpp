#include "private_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "common/files.h"

namespace traceview {

namespace {

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
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        fail("cannot create a scratch file");
    ::close(fd);
    path_ = pattern;
}

ScratchFile::~ScratchFile() { ::unlink(path_.c_str()); }

void ScratchFile::write(const std::string &content) const
{
    files::write(path_, content);
}

std::string ScratchFile::read(std::size_t cap, bool &truncated) const
{
    std::string text = files::read_head(path_, cap + 1);
    truncated = text.size() > cap;
    text.resize(std::min(text.size(), cap));
    return text;
}

} // namespace traceview
