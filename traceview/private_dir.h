// Private scratch space for the files that the children of the server write
// and read: one folder of mode 0700 per server, and single files created in
// it by mkstemp, each removed when its owner goes.
#pragma once

#include <filesystem>
#include <string>

#include "common/files.h"

namespace traceview {

/// The server's own folder, removed with everything in it when the object goes.
struct PrivateDir : files::TempDir {
    PrivateDir() : files::TempDir("traceview-") {}
};

/// A new empty file made by mkstemp in `dir`, removed when the object goes.
class ScratchFile {
public:
    /// `stem` starts the file's name (letters only: it is no user input).
    ScratchFile(const PrivateDir &dir, const char *stem);
    ~ScratchFile();
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const std::string &path() const { return path_; }
    /// Replaces the file's content; throws std::runtime_error on failure.
    void write(const std::string &content) const;
    /// The whole content, at most `cap` bytes; `truncated` tells whether more was there.
    std::string read(std::size_t cap, bool &truncated) const;

private:
    std::string path_;
};

} // namespace traceview
