#include "load/make_reasons.h"

#include <charconv>
#include <filesystem>

#include "load/rows.h"
#include "spool/paths.h"

namespace make_reasons {

namespace {

/// A time of status.tsv ("SECONDS.NANOSECONDS") or of proc.tsv
/// ("SECONDS.MICROSECONDS"); nullopt for "-" and for what is no time.
std::optional<Mtime> parse_time(std::string_view text)
{
    const std::size_t dot = text.find('.');
    std::int64_t seconds = 0;
    const std::string_view whole = text.substr(0, dot);
    auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
    if (text.empty() || error != std::errc() || end != whole.data() + whole.size())
        return std::nullopt;
    std::int32_t nanoseconds = 0;
    if (dot != std::string_view::npos) {
        std::string digits(text.substr(dot + 1, 9));
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        digits.resize(9, '0');
        nanoseconds = std::stoi(digits);
    }
    return Mtime{seconds, nanoseconds};
}

/// The files that -W FILE (--what-if, --new-file, --assume-new) names on a command line.
std::vector<std::string> what_if_files(const std::string &cmdline)
{
    static const char *const long_names[] = {"--what-if", "--new-file", "--assume-new"};
    const std::vector<std::string> words = spool::command_words(cmdline);
    std::vector<std::string> files;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "--")
            break;
        if (word == "-W" && i + 1 < words.size()) {
            files.push_back(words[++i]);
            continue;
        }
        if (word.starts_with("-W") && !word.starts_with("--")) {
            files.push_back(word.substr(2));
            continue;
        }
        for (const char *name : long_names) {
            const std::string_view prefix = name;
            if (word == prefix && i + 1 < words.size())
                files.push_back(words[++i]);
            else if (word.starts_with(prefix) && word.size() > prefix.size() && word[prefix.size()] == '=')
                files.push_back(word.substr(prefix.size() + 1));
        }
    }
    return files;
}

/// True when make was given -B (--always-make): its MAKEFLAGS start with
/// the single-letter flags, B among them, and sub-makes inherit them.
bool always_make(const makedb::Database &db, const std::string &cmdline)
{
    if (const makedb::Variable *flags = db.variable("MAKEFLAGS")) {
        const std::string_view value = flags->value;
        const std::string_view letters = value.substr(0, value.find(' '));
        if (!letters.starts_with('-') && letters.find('B') != std::string_view::npos)
            return true;
    }
    for (const std::string &word : spool::command_words(cmdline)) {
        if (word == "--")
            break;
        if (word == "--always-make")
            return true;
    }
    return false;
}

bool same_file_as_before(const FileStatus &status)
{
    return status.first && status.last && *status.first == *status.last;
}

} // namespace

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::missing: return "missing";
    case Kind::phony: return "phony";
    case Kind::forced: return "forced";
    case Kind::double_colon: return "double-colon";
    case Kind::newer: return "newer";
    case Kind::what_if: return "what-if";
    case Kind::always: return "always";
    case Kind::makefile: return "makefile";
    case Kind::unchanged: return "unchanged";
    case Kind::unknown: return "unknown";
    case Kind::unrecorded: return "unrecorded";
    }
    return "unknown";
}

Statuses read_statuses(const std::vector<std::vector<std::string>> &records)
{
    Statuses statuses;
    for (const auto &record : records) {
        if (record.size() < 3 || record[0].empty())
            continue;
        statuses.try_emplace(spool::normal_path(record[0]), FileStatus{parse_time(record[1]), parse_time(record[2])});
    }
    return statuses;
}

std::string path_of(const std::string &dir, const std::string &name)
{
    const auto [where, base] = spool::instance_location(dir, name);
    return spool::joined_path(where, base);
}

void add_remade(const rows::Process &proc, RemadePaths &remade)
{
    for (const makedb::File *file : proc.files) {
        if (file->phony || !proc.executed.contains(file->name))
            continue;
        const std::string path = path_of(proc.dir, file->name);
        if (proc.statuses) {
            auto found = proc.statuses->find(path);
            if (found != proc.statuses->end() && same_file_as_before(found->second))
                continue;
        }
        remade.insert(path);
    }
}

Decider::Decider(const rows::Process &proc, const RemadePaths &remade) : proc_(proc), remade_(remade)
{
    for (const makedb::File *file : proc.files) {
        files_.emplace(file->name, file);
        for (const std::string &prereq : file->prereqs)
            dependents_.emplace(prereq, file);
    }
    if (!proc.db)
        return;
    const std::string cmdline = spool::value_of(proc.keys, "cmdline");
    always_make_ = always_make(*proc.db, cmdline);
    for (const std::string &name : what_if_files(cmdline))
        what_if_.insert(path_of(proc.dir, name));
    if (const makedb::Variable *list = proc.db->variable("MAKEFILE_LIST"))
        for (const std::string &name : spool::command_words(list->value))
            makefiles_.insert(path_of(proc.dir, name));
    end_ = parse_time(spool::value_of(proc.keys, "end"));
}

std::optional<Mtime> Decider::newest(const std::string &path) const
{
    auto found = proc_.statuses->find(path);
    if (found == proc_.statuses->end())
        return std::nullopt;
    std::optional<Mtime> time = found->second.first;
    // Remade after make first looked: make looks again once it is made.
    if (remade_.contains(path) && found->second.last && (!time || *found->second.last > *time))
        time = found->second.last;
    return time;
}

std::vector<Reason> Decider::prerequisite_reasons(const makedb::File &file, const std::optional<Mtime> &against) const
{
    std::vector<Reason> newer, what_if, always;
    std::unordered_set<std::string_view> seen;
    for (const std::string &name : file.prereqs) {
        if (!seen.insert(name).second)
            continue;
        const std::string prereq_path = path_of(proc_.dir, name);
        auto known = files_.find(name);
        const makedb::File *prereq = known == files_.end() ? nullptr : known->second;
        auto prereq_status = proc_.statuses->find(prereq_path);
        const bool noted = prereq_status != proc_.statuses->end();
        const bool remade = remade_.contains(prereq_path);
        if (what_if_.contains(prereq_path)) {
            what_if.push_back({Kind::what_if, name, false, {}});
            continue;
        }
        if (prereq && (prereq->phony || ((!noted || !prereq_status->second.first) && !prereq->recipe && !remade))) {
            always.push_back({Kind::always, name, false, {}});
            continue;
        }
        if (!prereq || !against)
            continue;
        const std::optional<Mtime> time = newest(prereq_path);
        // A remade file that is gone again (an intermediate file make
        // deleted) was new when make compared it.
        if (time ? *time <= *against : !remade)
            continue;
        Reason reason{Kind::newer, name, remade, {}};
        if (time && end_ && *time > *end_)
            reason.note = "future";
        else if (noted && prereq_status->second.first && !prereq_status->second.last)
            reason.note = "deleted";
        newer.push_back(std::move(reason));
    }
    newer.insert(newer.end(), what_if.begin(), what_if.end());
    newer.insert(newer.end(), always.begin(), always.end());
    return newer;
}

std::optional<Mtime> Decider::oldest_dependent(const std::string &name) const
{
    std::optional<Mtime> oldest;
    auto range = dependents_.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        auto found = proc_.statuses->find(path_of(proc_.dir, it->second->name));
        if (found != proc_.statuses->end() && found->second.first && (!oldest || *found->second.first < *oldest))
            oldest = found->second.first;
    }
    return oldest;
}

std::vector<Reason> Decider::decide(const makedb::File &file) const
{
    if (!proc_.statuses)
        return {{Kind::unrecorded, {}, false, {}}};
    const std::string path = path_of(proc_.dir, file.name);
    auto own = proc_.statuses->find(path);
    const FileStatus *status = own == proc_.statuses->end() ? nullptr : &own->second;

    std::vector<Reason> found;
    if (file.phony) {
        found.push_back({Kind::phony, {}, false, {}});
    } else if (always_make_) {
        found.push_back({Kind::forced, {}, false, {}});
    } else if (status && !status->first) {
        found.push_back({Kind::missing, {}, false, {}});
        // An intermediate file is made again only when its prerequisites
        // are newer than the file that needs it: those are its real reasons.
        for (Reason &reason : prerequisite_reasons(file, oldest_dependent(file.name)))
            if (reason.kind == Kind::newer)
                found.push_back(std::move(reason));
    } else if (file.double_colon && file.prereqs.empty()) {
        found.push_back({Kind::double_colon, {}, false, {}});
    } else {
        found = prerequisite_reasons(file, status ? status->first : std::nullopt);
        if (found.empty())
            found.push_back({Kind::unknown, {}, false, {}});
    }
    if (makefiles_.contains(path))
        found.push_back({Kind::makefile, {}, false, {}});
    if (!file.phony && status && same_file_as_before(*status))
        found.push_back({Kind::unchanged, {}, false, {}});
    return found;
}

} // namespace make_reasons
