#include "spool/paths.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace spool {

std::string value_of(const std::map<std::string, std::string> &keys, const std::string &key)
{
    auto found = keys.find(key);
    return found == keys.end() ? std::string() : found->second;
}

std::vector<std::string> command_words(const std::string &text)
{
    std::vector<std::string> words;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t blank = std::min(text.find(' ', start), text.size());
        if (blank > start)
            words.push_back(text.substr(start, blank - start));
        start = blank + 1;
    }
    return words;
}

namespace {

/// True when `path` is lexically normal as it stands: no empty, "." or
/// ".." part (the root's slash aside) and no slash at its end.
bool plain(std::string_view path)
{
    if (path.empty())
        return false;
    std::size_t start = path.front() == '/' ? 1 : 0;
    if (start == path.size())
        return start == 1; // "/" alone
    for (;;) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == path.size())
            return true;
        start = slash + 1;
    }
}

/// Where a make whose command line is `cmdline` worked when it started in
/// `startdir`: each -C DIR (-CDIR, --directory=DIR) taken in turn.  Only
/// for a make that left no data base (whose CURDIR says it); words are
/// split at blanks, as cmdline joined them.
std::string working_directory(const std::string &startdir, const std::string &cmdline)
{
    const std::vector<std::string> words = command_words(cmdline);
    std::filesystem::path dir = startdir;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--")
            break;
        if (word == "-C" && i + 1 < words.size())
            dir /= words[++i];
        else if (word.starts_with("-C") && word.size() > 2)
            dir /= word.substr(2);
        else if (word.starts_with("--directory="))
            dir /= word.substr(12);
    }
    return normal_path(dir.string());
}

} // namespace

std::string process_directory(const std::map<std::string, std::string> &keys, std::string_view curdir)
{
    if (!curdir.empty())
        return std::string(curdir);
    return working_directory(value_of(keys, "startdir"), value_of(keys, "cmdline"));
}

std::pair<std::string, std::string> instance_location(const std::string &workdir, const std::string &name)
{
    std::string_view trimmed = name;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.remove_suffix(1);
    // Most names need no normalising: the file system library's is slow
    // for the hundreds of thousands of instances of a large build.
    const bool absolute = !trimmed.empty() && trimmed.front() == '/';
    if (plain(trimmed) && trimmed != "/" && (absolute || (plain(workdir) && workdir.front() == '/'))) {
        std::string full = absolute ? std::string(trimmed) : joined_path(workdir, std::string(trimmed));
        const std::size_t slash = full.rfind('/');
        return {slash == 0 ? std::string("/") : full.substr(0, slash), full.substr(slash + 1)};
    }
    const std::filesystem::path path = (std::filesystem::path(workdir) / trimmed).lexically_normal();
    return {path.parent_path().string(), path.filename().string()};
}

std::string joined_path(const std::string &dir, const std::string &name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string normal_path(const std::string &path)
{
    if (plain(path))
        return path;
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

} // namespace spool
