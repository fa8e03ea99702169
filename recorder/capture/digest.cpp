#include "capture/digest.h"

#include <nettle/sha2.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "spool/paths.h"
#include "spool/spool.h"

namespace digest {

namespace {

/// SHA-256 of a file's content in hex; empty when it cannot be read.
std::string sha256_of(const std::filesystem::path &file)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> in(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!in)
        return {};
    sha256_ctx context;
    sha256_init(&context);
    std::vector<unsigned char> buffer(1 << 16);
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0)
        sha256_update(&context, got, buffer.data());
    if (std::ferror(in.get()))
        return {};
    unsigned char hash[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof hash, hash);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : hash) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

/// A file's modification time as seconds since the epoch with nanoseconds ("1765136182.123456789").
std::string modification_time(const struct stat &status)
{
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(status.st_mtim.tv_sec),
                  static_cast<long>(status.st_mtim.tv_nsec));
    return text;
}

} // namespace

void write_digests(const std::filesystem::path &proc_dir, const makedb::Database &db,
                   const std::map<std::string, std::string> &keys)
{
    const std::string workdir = spool::process_directory(keys, makedb::curdir(&db));

    std::set<std::string> done;
    std::string lines;
    for (const makedb::File &file : db.files) {
        if (db.left_out(file))
            continue;
        const auto [dir, name] = spool::instance_location(workdir, file.name);
        const std::string path = spool::joined_path(dir, name);
        struct stat status {};
        if (!done.insert(path).second || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (const std::string hash = sha256_of(path); !hash.empty())
            lines += spool::join_record({path, hash, modification_time(status)});
    }
    const auto target = proc_dir / spool::digest_file;
    auto temporary = target;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << lines;
        if (!out.flush()) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
}

} // namespace digest
