// Why make ran the commands of a target: decided after the build from what
// make itself saw, its data base (prerequisites, order-only, phony,
// double-colon), the status of each file at make's first look
// (status.tsv), the commands it ran and its -B / -W options.  The rows go
// to ZTR_REASON (db/schema.sql documents the kinds).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "makedb/makedb.h"

namespace rows {
struct Process;
}

namespace make_reasons {

/// A modification time: seconds and nanoseconds since the epoch.
using Mtime = std::pair<std::int64_t, std::int32_t>;

/// One file's status in one make process; nullopt where there was no such file.
struct FileStatus {
    std::optional<Mtime> first; ///< at make's first status call on it
    std::optional<Mtime> last;  ///< when make ended
};

/// A make process's statuses by absolute, lexically normal path.
using Statuses = std::unordered_map<std::string, FileStatus>;

/// The statuses of status.tsv records (path, first, last); a path's first record counts.
Statuses read_statuses(const std::vector<std::vector<std::string>> &records);

/// What make decided by, strongest first in a target's list.
enum class Kind {
    missing,      ///< the target did not exist (an intermediate file: its newer prerequisites follow)
    phony,        ///< a phony target
    forced,       ///< -B: every target remade
    double_colon, ///< a double-colon rule without prerequisites
    newer,        ///< a prerequisite newer than the target (or remade)
    what_if,      ///< a prerequisite named by -W
    always,       ///< a prerequisite that is always out of date (phony, or no recipe and no file)
    makefile,     ///< the target is one of its make's makefiles, which make remakes first
    unchanged,    ///< the commands ran but left the file as it was: not rebuilt
    unknown,      ///< nothing that make saw explains it
    unrecorded,   ///< what make saw was not recorded (an older spool): reasons missing
};

/// The word stored in RSN_KIND.
const char *kind_name(Kind kind);

/// One reason of one target.
struct Reason {
    Kind kind;
    std::string prereq;    ///< the prerequisite's name as its make knows it, for newer, what_if, always
    bool remade = false;   ///< newer: the prerequisite was itself remade in this build
    std::string note;      ///< "future" (dated after its make ended), "deleted" (gone when it ended), or empty
};

/// The files whose commands ran in the build and changed them, by absolute normal path.
using RemadePaths = std::unordered_set<std::string>;

/// The absolute normal path of `name` for a make that works in `dir`.
std::string path_of(const std::string &dir, const std::string &name);

/// Adds to `remade` the files whose commands `proc` ran and that changed (or may have).
void add_remade(const rows::Process &proc, RemadePaths &remade);

/// Decides the reasons of the targets of one make process.
class Decider {
public:
    Decider(const rows::Process &proc, const RemadePaths &remade);
    /// The reasons of `file`, whose commands ran, strongest first; never empty.
    std::vector<Reason> decide(const makedb::File &file) const;

private:
    /// When the file at `path` was last made, as far as make saw: its first
    /// status, or its status at the end when it was remade meanwhile.
    std::optional<Mtime> newest(const std::string &path) const;
    /// The reasons that `file`'s prerequisites give against the time `against`
    /// (none for newer ones when it is unknown): newer, then what-if, then always.
    std::vector<Reason> prerequisite_reasons(const makedb::File &file, const std::optional<Mtime> &against) const;
    /// The earliest first time among the files that have `name` as a prerequisite.
    std::optional<Mtime> oldest_dependent(const std::string &name) const;

    const rows::Process &proc_;
    const RemadePaths &remade_;
    std::unordered_map<std::string_view, const makedb::File *> files_;
    std::unordered_multimap<std::string_view, const makedb::File *> dependents_; ///< prerequisite -> its targets
    std::unordered_set<std::string> what_if_, makefiles_;
    bool always_make_ = false;
    std::optional<Mtime> end_; ///< when the make ended
};

} // namespace make_reasons
