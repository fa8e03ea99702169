#include "private_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/files.h"

namespace traceview {

ScratchFile::ScratchFile(const PrivateDir &dir, const char *stem)
{
    std::string pattern = (dir.path() / (std::string(stem) + "-XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot create a scratch file: ") + std::strerror(errno));
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
