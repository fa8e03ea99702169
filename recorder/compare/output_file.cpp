#include "compare/output_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

OutputFile::OutputFile(std::string path) : path_(std::move(path)), temp_(path_ + ".tmp-" + std::to_string(getpid()))
{
    file_ = std::fopen(temp_.c_str(), "w");
    if (file_ == nullptr)
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
}

OutputFile::~OutputFile()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        std::remove(temp_.c_str());
    }
}

void OutputFile::commit()
{
    std::FILE *file = file_;
    if (file == nullptr)
        throw std::logic_error("an output file committed twice: " + path_);
    file_ = nullptr;
    // fclose reports only its own flush: an earlier failed write stays in the stream's error flag.
    const bool stream_ok = std::ferror(file) == 0;
    const bool written = std::fclose(file) == 0 && stream_ok;
    if (!written || std::rename(temp_.c_str(), path_.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temp_.c_str());
        throw std::runtime_error("cannot write " + path_ + ": " + reason);
    }
}
