// An output file that appears whole or not at all: written under a
// temporary name beside it and renamed into place once complete, so a
// failed export never destroys what the file held before.
#pragma once

#include <cstdio>
#include <string>

class OutputFile {
public:
    /// Opens a temporary file beside `path`; throws std::runtime_error when it cannot.
    explicit OutputFile(std::string path);
    /// Removes the temporary file unless commit() succeeded.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    std::FILE *stream() const { return file_; }
    /// Closes the file and renames it into place; throws std::runtime_error when it cannot.
    void commit();

private:
    std::string path_, temp_;
    std::FILE *file_ = nullptr;
};
