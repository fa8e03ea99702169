#include "digest.h"

#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "makedb.h"
#include "rows.h"
#include "spool.h"

namespace digest {

namespace {

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const noexcept { EVP_MD_CTX_free(context); }
};

/// SHA-256 of a file's content in hex; empty when it cannot be read.
std::string sha256_of(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return {};
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0 && EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount())) != 1)
            return {};
    }
    if (in.bad())
        return {};
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), hash, &length) != 1)
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[hash[i] >> 4];
        text += hex[hash[i] & 15];
    }
    return text;
}

} // namespace

void write_digests(const std::filesystem::path &proc_dir)
{
    std::ifstream in(proc_dir / spool::database_file, std::ios::binary);
    if (!in)
        return;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const makedb::Database db = makedb::parse(text);
    std::string workdir = spool::read_keys(proc_dir / spool::proc_file)["startdir"];
    if (const makedb::Variable *curdir = db.variable("CURDIR"); curdir != nullptr && !curdir->value.empty())
        workdir = curdir->value;

    std::set<std::string> done;
    std::string lines;
    for (const makedb::File &file : db.files) {
        if (db.left_out(file))
            continue;
        const auto [dir, name] = rows::instance_location(workdir, file.name);
        const std::string path = rows::joined_path(dir, name);
        std::error_code error;
        if (!done.insert(path).second || !std::filesystem::is_regular_file(path, error))
            continue;
        if (const std::string hash = sha256_of(path); !hash.empty())
            lines += spool::join_record({path, hash});
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
