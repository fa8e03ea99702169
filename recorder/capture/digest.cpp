#include "capture/digest.h"

#include <set>
#include <stdexcept>
#include <string>

#include "common/files.h"
#include "common/sha256.h"
#include "spool/paths.h"
#include "spool/spool.h"

namespace digest {

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
        std::error_code error;
        if (!done.insert(path).second || !std::filesystem::is_regular_file(path, error))
            continue;
        try {
            lines += spool::join_record({path, sha256::file_hex(path)});
        } catch (const std::runtime_error &) {
            // A file that cannot be read has no digest; the rest of the build's still count.
        }
    }
    files::replace(proc_dir / spool::digest_file, lines);
}

} // namespace digest
