// SHA-256 digests in lower-case hex, as the spool and the page's layout cache keep them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sha256 {

/// The digest of `text`.
std::string hex(std::string_view text);
/// The digest of the content of `file`; throws std::runtime_error when it cannot be read.
std::string file_hex(const std::filesystem::path &file);
/// The digest of what is left to read of the open file `fd` (named `name`
/// in the message); throws std::runtime_error when it cannot be read.
std::string fd_hex(int fd, const std::string &name);

} // namespace sha256
