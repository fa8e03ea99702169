// Whole files read and written in one call, and private temp folders.  A
// file that cannot be read is an error (an exception), never an empty text;
// only a file that is not there at all may be told apart, for the callers
// to whom that is news.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace files {

/// The whole content of `file`; throws std::runtime_error ("cannot open
/// FILE", "cannot read FILE") when it cannot be had.
std::string read(const std::filesystem::path &file);
/// As read(), but nothing when `file` does not exist.
std::optional<std::string> read_if_present(const std::filesystem::path &file);
/// As read(), but no more than the first `limit` bytes.
std::string read_head(const std::filesystem::path &file, std::size_t limit);

/// Writes `content` as the whole of `file`; throws std::runtime_error ("cannot write FILE").
void write(const std::filesystem::path &file, std::string_view content);
/// Replaces `file` as one step: `content` is written under a name beside it
/// (FILE.new) and renamed into place, so that no reader sees half of it.
void replace(const std::filesystem::path &file, std::string_view content);

/// A fresh folder of mode 0700 (no other user reads or plants files in it)
/// under the system's temp folder, named `stem` and six random characters,
/// removed with everything in it when the object goes; throws
/// std::runtime_error when it cannot be made.
class TempDir {
public:
    explicit TempDir(const std::string &stem);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace files
