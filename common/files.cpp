#include "common/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace files {

namespace {

// A file descriptor closed by its owner.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    /// Closes the descriptor; false when the close reports a failed write.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// Reads `fd` to its end or to `limit` bytes; false on a read error (reading a folder, an I/O error).
bool read_all(int fd, std::string &text, std::size_t limit)
{
    char chunk[65536];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - text.size()));
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> read_up_to(const std::filesystem::path &file, std::size_t limit)
{
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd.get() < 0)
        throw std::runtime_error("cannot open " + file.string());
    std::string text;
    if (!read_all(fd.get(), text, limit))
        throw std::runtime_error("cannot read " + file.string());
    return text;
}

} // namespace

std::optional<std::string> read_if_present(const std::filesystem::path &file)
{
    return read_up_to(file, std::string().max_size());
}

std::string read_head(const std::filesystem::path &file, std::size_t limit)
{
    if (auto text = read_up_to(file, limit))
        return std::move(*text);
    throw std::runtime_error("cannot open " + file.string());
}

std::string read(const std::filesystem::path &file)
{
    return read_head(file, std::string().max_size());
}

void write(const std::filesystem::path &file, std::string_view content)
{
    Fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool ok = fd.get() >= 0;
    while (ok && !content.empty()) {
        const ssize_t n = ::write(fd.get(), content.data(), content.size());
        ok = n >= 0 || errno == EINTR;
        if (n > 0)
            content.remove_prefix(static_cast<std::size_t>(n));
    }
    if (!ok || !fd.close())
        throw std::runtime_error("cannot write " + file.string());
}

void replace(const std::filesystem::path &file, std::string_view content)
{
    std::filesystem::path temporary = file;
    temporary += ".new";
    try {
        write(temporary, content);
        std::filesystem::rename(temporary, file);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
}

TempDir::TempDir(const std::string &stem)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error(std::string("cannot create a private folder: ") + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace files
