#include "why/why.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <stdexcept>
#include <unordered_map>

#include "common/pg.h"
#include "compare/build_pairing.h"

namespace why {

using recorded::Build;
using recorded::Index;
using recorded::none;

namespace {

// Columns: 0 instance, 1 kind, 2 prerequisite, 3 remade, 4 note.  By the
// OID range alone, as the prerequisites are read (recorded_build.cpp).
const char *const reason_query = "SELECT RSN_INST, RSN_KIND, RSN_PREREQ, RSN_REMADE, RSN_NOTE FROM ZTR_REASON"
                                 " WHERE RSN_INST BETWEEN $1 AND $2 ORDER BY RSN_INST, RSN_POS";

/// "dir/name" of an instance relative to the build's top make directory.
std::string relative_path(const Build &build, const recorded::Instance &inst)
{
    const std::string dir = pairing::relative_dir(inst.dir, build.root);
    return dir.empty() ? inst.name : dir + "/" + inst.name;
}

bool has_kind(const std::vector<Reason> &reasons, std::string_view kind)
{
    return std::any_of(reasons.begin(), reasons.end(), [&](const Reason &r) { return r.kind == kind; });
}

/// A first cause: what a chain of remade files ends in.
struct Cause {
    std::string kind; ///< changed, missing, forced, what-if, always, double-colon, commands, phony, unknown, unrecorded
    std::string path; ///< the file it is about, relative; empty for forced
    auto operator<=>(const Cause &) const = default;
};

using CauseId = std::uint32_t;

/// The reasons of a build followed down to their first causes.
class Analysis {
public:
    /// `earlier` is the build of --since (or null); `previous` the build whose
    /// executed commands a recipe that decides by itself is compared with.
    Analysis(const Build &build, const Reasons &reasons, const Build *earlier, const Build *previous)
        : build_(build), reasons_(reasons), earlier_(earlier), previous_(previous), paths_(build.insts.size()),
          causes_(build.insts.size()), state_(build.insts.size(), 0)
    {
        for (Index i = 0; i < build.insts.size(); ++i) {
            paths_[i] = relative_path(build, build.insts[i]);
            by_path_[paths_[i]].push_back(i);
            const std::string &digest = build.insts[i].digest;
            if (!digest.empty())
                digest_.try_emplace(paths_[i], digest);
        }
        for (const std::vector<Reason> &list : reasons)
            for (const Reason &r : list)
                if (r.prereq != none && !r.note.empty())
                    notes_.try_emplace(relative_path(build, build.insts[r.prereq]), r.note);
        if (earlier)
            for (const recorded::Instance &inst : earlier->insts)
                if (!inst.digest.empty())
                    earlier_digest_.try_emplace(relative_path(*earlier, inst), inst.digest);
        if (previous)
            for (const recorded::Instance &inst : previous->insts)
                if (inst.executed)
                    previous_commands_.try_emplace(relative_path(*previous, inst), inst.exec_sum);
    }

    const Build &build() const { return build_; }
    const std::string &path(Index i) const { return paths_[i]; }
    const std::vector<Reason> &reasons(Index i) const { return reasons_[i]; }
    const Cause &cause(CauseId c) const { return causes_list_[c]; }

    /// Commands ran for `i` (its reasons are known or missing).
    bool ran(Index i) const { return build_.insts[i].executed || !reasons_[i].empty(); }
    /// A file remade by its commands: they ran and changed it.
    bool rebuilt(Index i) const
    {
        return ran(i) && !build_.insts[i].phony && !has_kind(reasons_[i], "unchanged");
    }

    /// The instances named by `file`: its relative path, or an OID.
    std::vector<Index> instances_of(const std::string &file) const
    {
        std::string path = file;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (path.starts_with("./"))
            path.erase(0, 2);
        auto found = by_path_.find(path);
        if (found != by_path_.end())
            return found->second;
        if (!file.empty() && file.find_first_not_of("0123456789") == std::string::npos) {
            const Index i = build_.inst_by_oid(std::strtoll(file.c_str(), nullptr, 10));
            if (i != none)
                return {i};
        }
        return {};
    }

    /// One step down from `i`: the remade instances its reasons lead to, and the first causes it holds itself.
    void step(Index i, std::vector<Index> &next, std::vector<CauseId> &direct)
    {
        const std::vector<Reason> &list = reasons_[i];
        if (list.empty()) {
            if (ran(i))
                direct.push_back(intern({"unrecorded", paths_[i]}));
            return;
        }
        bool real = false;
        for (const Reason &r : list) {
            if (r.kind == "newer") {
                real = true;
                const std::vector<Index> makers = r.remade ? remade_as(r.prereq, i) : std::vector<Index>{};
                if (makers.empty())
                    direct.push_back(intern({"changed", prereq_path(r)}));
                next.insert(next.end(), makers.begin(), makers.end());
            } else if (r.kind == "missing" && has_kind(list, "newer")) {
                real = true; // an intermediate file: its newer prerequisites are the answer
            } else if (r.kind == "missing" || r.kind == "double-colon" || r.kind == "unknown" ||
                       r.kind == "unrecorded" || r.kind == "phony") {
                real = true;
                direct.push_back(intern({r.kind, paths_[i]}));
            } else if (r.kind == "forced") {
                real = true;
                direct.push_back(intern({"forced", ""}));
            } else if (r.kind == "what-if") {
                real = true;
                direct.push_back(intern({"what-if", prereq_path(r)}));
            }
        }
        if (real)
            return;
        // Only what is always out of date, and the file was also made by a
        // make with a real reason: this recipe ran that make (a FORCE rule
        // around a sub-make), whose reasons are the answer.
        if (const std::vector<Index> makers = remade_as(i, i, true); !makers.empty()) {
            next.insert(next.end(), makers.begin(), makers.end());
            return;
        }
        // The recipe decided by itself.
        // Commands that differ from the earlier build's are the better answer.
        if (commands_differ(i)) {
            direct.push_back(intern({"commands", paths_[i]}));
            return;
        }
        for (const Reason &r : list)
            if (r.kind == "always")
                direct.push_back(intern({"always", prereq_path(r)}));
    }

    /// The first causes of `i`, sorted.
    const std::vector<CauseId> &causes(Index i)
    {
        if (state_[i] == 2)
            return causes_[i];
        if (state_[i] == 1)
            return empty_; // a cycle of remade files: what it leads to is found on the way in
        state_[i] = 1;
        std::vector<Index> next;
        std::vector<CauseId> found;
        step(i, next, found);
        for (Index j : next) {
            const std::vector<CauseId> &below = causes(j);
            found.insert(found.end(), below.begin(), below.end());
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        causes_[i] = std::move(found);
        state_[i] = 2;
        return causes_[i];
    }

    /// For each first cause of `from`, the instances from `from` down to
    /// the nearest one that holds it itself, `from` first: one walk, breadth first.
    std::map<CauseId, std::vector<Index>> chains(Index from)
    {
        std::unordered_map<Index, Index> came_from{{from, none}};
        std::map<CauseId, std::vector<Index>> found;
        std::queue<Index> todo;
        todo.push(from);
        while (!todo.empty()) {
            const Index i = todo.front();
            todo.pop();
            std::vector<Index> next;
            std::vector<CauseId> direct;
            step(i, next, direct);
            for (CauseId c : direct) {
                if (found.contains(c))
                    continue;
                std::vector<Index> &path = found[c];
                for (Index at = i; at != none; at = came_from[at])
                    path.push_back(at);
                std::reverse(path.begin(), path.end());
            }
            for (Index j : next)
                if (came_from.try_emplace(j, i).second)
                    todo.push(j);
        }
        return found;
    }

    /// For --since: the file of a "changed" cause has the same content as in the earlier build.
    bool content_unchanged(const Cause &c) const
    {
        if (!earlier_ || c.kind != "changed")
            return false;
        auto now = digest_.find(c.path);
        auto before = earlier_digest_.find(c.path);
        return now != digest_.end() && before != earlier_digest_.end() && now->second == before->second;
    }

    /// The words that say what a first cause is.
    std::string describe(const Cause &c) const
    {
        const std::string since = earlier_ ? " since '" + earlier_->label + "'" : "";
        if (c.kind == "changed") {
            std::string text = c.path + ": changed outside the build" + notes_of(c.path);
            if (earlier_) {
                auto now = digest_.find(c.path);
                auto before = earlier_digest_.find(c.path);
                if (now == digest_.end() || before == earlier_digest_.end())
                    text += ", content cannot be told" + since;
                else
                    text += now->second == before->second ? ", content unchanged" + since : ", content changed" + since;
            }
            return text;
        }
        if (c.kind == "missing")
            return c.path + ": did not exist before the build";
        if (c.kind == "forced")
            return "-B: every target forced";
        if (c.kind == "what-if")
            return c.path + ": assumed new (-W)";
        if (c.kind == "always")
            return c.path + ": always out of date";
        if (c.kind == "double-colon")
            return c.path + ": double-colon rule without prerequisites";
        if (c.kind == "commands")
            return c.path + ": executed commands differ from those of '" + previous_->label + "'";
        if (c.kind == "phony")
            return c.path + ": phony";
        if (c.kind == "unrecorded")
            return c.path + ": reasons missing (what make saw was not recorded)";
        return c.path + ": no reason found in what make saw";
    }

    /// One reason of an instance in words.
    std::string describe(const Reason &r) const
    {
        const std::string prereq = r.prereq == none ? std::string("?") : paths_[r.prereq];
        if (r.kind == "newer") {
            std::string text = "prerequisite " + prereq + " is newer";
            text += r.remade ? " (remade in this build)" : " (changed outside the build)";
            if (r.note == "future")
                text += ", dated in the future: clock skew";
            else if (r.note == "deleted")
                text += ", deleted during the build";
            if (!r.remade && earlier_ && content_unchanged({"changed", prereq}))
                text += ", content unchanged since '" + earlier_->label + "'";
            return text;
        }
        if (r.kind == "missing")
            return "did not exist before the build";
        if (r.kind == "phony")
            return "phony: its commands always run";
        if (r.kind == "forced")
            return "every target forced (-B)";
        if (r.kind == "double-colon")
            return "double-colon rule without prerequisites: always run";
        if (r.kind == "what-if")
            return "prerequisite " + prereq + " assumed new (-W)";
        if (r.kind == "always")
            return "prerequisite " + prereq + " is always out of date";
        if (r.kind == "makefile")
            return "one of its make's makefiles, remade before the rest";
        if (r.kind == "unchanged")
            return "its commands ran but left the file as it was";
        if (r.kind == "unrecorded")
            return "reasons missing: what make saw was not recorded";
        return "no reason found in what make saw";
    }

private:
    CauseId intern(Cause c)
    {
        auto [at, added] = cause_ids_.try_emplace(c, static_cast<CauseId>(causes_list_.size()));
        if (added)
            causes_list_.push_back(std::move(c));
        return at->second;
    }

    std::string prereq_path(const Reason &r) const { return r.prereq == none ? std::string("?") : paths_[r.prereq]; }

    /// The instances that remade the file of prerequisite `p` of `of`: its
    /// own when its make remade it, else those of other make processes
    /// (a sub-make's library, say).  An instance whose only reason is
    /// something always out of date (a FORCE rule that runs a sub-make)
    /// gives way to one with a real reason.
    std::vector<Index> remade_as(Index p, Index of, bool real_only = false) const
    {
        if (p == none)
            return {};
        std::vector<Index> all, real;
        auto found = by_path_.find(paths_[p]);
        if (found == by_path_.end())
            return {};
        for (Index j : found->second) {
            if (j == of || !rebuilt(j))
                continue;
            all.push_back(j);
            const auto &list = reasons_[j];
            if (list.empty() || std::any_of(list.begin(), list.end(), [](const Reason &r) {
                    return r.kind != "always" && r.kind != "makefile" && r.kind != "unchanged";
                }))
                real.push_back(j);
        }
        return real.empty() && !real_only ? all : real;
    }

    bool commands_differ(Index i) const
    {
        auto before = previous_commands_.find(paths_[i]);
        return before != previous_commands_.end() && before->second != build_.insts[i].exec_sum;
    }

    /// ", dated in the future" and the like, when a reason noted it for `path`.
    std::string notes_of(const std::string &path) const
    {
        auto found = notes_.find(path);
        if (found == notes_.end())
            return {};
        return found->second == "future" ? ", dated in the future (clock skew)" : ", deleted during the build";
    }

    const Build &build_;
    const Reasons &reasons_;
    const Build *earlier_;
    const Build *previous_;
    std::vector<std::string> paths_;
    std::unordered_map<std::string, std::vector<Index>> by_path_;
    std::unordered_map<std::string, std::string> digest_, earlier_digest_, previous_commands_;
    std::unordered_map<std::string, std::string> notes_; ///< path -> the first note a reason made of it
    std::map<Cause, CauseId> cause_ids_;
    std::vector<Cause> causes_list_;
    std::vector<std::vector<CauseId>> causes_;
    std::vector<char> state_; ///< 0 not yet, 1 being followed, 2 done
    const std::vector<CauseId> empty_;
};

/// Where the make process of `i` worked, relative to the top ("." for the top itself).
std::string make_dir(const Analysis &a, Index i)
{
    const recorded::Instance &inst = a.build().insts[i];
    if (inst.proc == none)
        return "?";
    const std::string dir = pairing::relative_dir(a.build().procs[inst.proc].dir, a.build().root);
    return dir.empty() ? "." : dir;
}

void write_instance(std::FILE *out, Analysis &a, Index i)
{
    std::fprintf(out, "%s (make in %s, OID %lld): ", a.path(i).c_str(), make_dir(a, i).c_str(),
                 a.build().insts[i].oid);
    if (!a.ran(i)) {
        std::fputs("not rebuilt: up to date\n", out);
        return;
    }
    const recorded::Instance &inst = a.build().insts[i];
    std::fputs(a.rebuilt(i) ? "rebuilt\n" : inst.phony ? "commands ran\n" : "not rebuilt\n", out);
    if (a.reasons(i).empty())
        std::fputs("  reasons missing: what make saw was not recorded\n", out);
    for (const Reason &r : a.reasons(i))
        std::fprintf(out, "  %s\n", a.describe(r).c_str());
    const std::map<CauseId, std::vector<Index>> chains = a.chains(i);
    if (chains.empty())
        return;
    std::fputs("  first causes:\n", out);
    for (const auto &[c, chain] : chains) {
        std::fprintf(out, "    %s\n      ", a.describe(a.cause(c)).c_str());
        for (std::size_t k = 0; k < chain.size(); ++k)
            std::fprintf(out, "%s%s", k ? " <- " : "", a.path(chain[k]).c_str());
        const Cause &cause = a.cause(c);
        if (!cause.path.empty() && cause.path != a.path(chain.back()))
            std::fprintf(out, " <- %s", cause.path.c_str());
        std::fputc('\n', out);
    }
}

/// The first causes of the whole build, ranked by the rebuilt targets each led to.
void write_build(std::FILE *out, Analysis &a, const recorded::Build *earlier)
{
    const Build &build = a.build();
    // A file made by two make processes (a parent's FORCE rule around the
    // sub-make that makes it) is one target.
    std::map<std::string, std::set<CauseId>> targets;
    for (Index i = 0; i < build.insts.size(); ++i)
        if (a.rebuilt(i)) {
            const std::vector<CauseId> &causes = a.causes(i);
            targets[a.path(i)].insert(causes.begin(), causes.end());
        }
    std::map<CauseId, std::vector<std::string>> led_to;
    std::size_t for_nothing = 0;
    for (const auto &[path, causes] : targets) {
        for (CauseId c : causes)
            led_to[c].push_back(path);
        if (earlier && !causes.empty() &&
            std::all_of(causes.begin(), causes.end(), [&](CauseId c) { return a.content_unchanged(a.cause(c)); }))
            ++for_nothing;
    }
    const std::size_t rebuilt = targets.size();
    std::vector<std::pair<CauseId, const std::vector<std::string> *>> ranked;
    for (const auto &[cause, paths] : led_to)
        ranked.emplace_back(cause, &paths);
    std::sort(ranked.begin(), ranked.end(), [&](const auto &x, const auto &y) {
        return x.second->size() != y.second->size() ? x.second->size() > y.second->size()
                                                    : a.cause(x.first) < a.cause(y.first);
    });
    std::fprintf(out, "build '%s': %zu target%s rebuilt", build.label.c_str(), rebuilt, rebuilt == 1 ? "" : "s");
    if (ranked.empty()) {
        std::fputs("\n", out);
    } else {
        std::fputs("; first causes, by the targets they led to:\n", out);
        constexpr std::size_t shown = 5;
        for (const auto &[cause, paths] : ranked) {
            std::fprintf(out, "  %zu  %s\n      ", paths->size(), a.describe(a.cause(cause)).c_str());
            for (std::size_t k = 0; k < std::min(shown, paths->size()); ++k)
                std::fprintf(out, "%s%s", k ? ", " : "", (*paths)[k].c_str());
            if (paths->size() > shown)
                std::fprintf(out, " and %zu more", paths->size() - shown);
            std::fputc('\n', out);
        }
    }
    if (earlier)
        std::fprintf(out, "targets rebuilt for nothing (content unchanged since '%s'): %zu\n", earlier->label.c_str(),
                     for_nothing);
    std::vector<bool> has_instances(build.procs.size(), false);
    for (const recorded::Instance &inst : build.insts)
        if (inst.proc != none)
            has_instances[inst.proc] = true;
    const std::size_t without = static_cast<std::size_t>(std::count(has_instances.begin(), has_instances.end(), false));
    if (without > 0)
        std::fprintf(out, "reasons missing: %zu make process%s printed no data base\n", without,
                     without == 1 ? "" : "es");
}

} // namespace

Reasons load_reasons(PGconn *conn, const Build &build)
{
    Reasons reasons(build.insts.size());
    const pg::Result res = pg::query(conn, reason_query, build.instance_range());
    const int rows = PQntuples(res.get());
    for (int r = 0; r < rows; ++r) {
        const Index i = build.inst_by_oid(std::strtoll(PQgetvalue(res.get(), r, 0), nullptr, 10));
        if (i == none)
            continue;
        Reason reason;
        reason.kind = pg::text(res, r, 1);
        if (!PQgetisnull(res.get(), r, 2))
            reason.prereq = build.inst_by_oid(std::strtoll(PQgetvalue(res.get(), r, 2), nullptr, 10));
        reason.remade = std::atoi(PQgetvalue(res.get(), r, 3)) != 0;
        reason.note = pg::text(res, r, 4);
        reasons[i].push_back(std::move(reason));
    }
    return reasons;
}

std::string previous_label(PGconn *conn, const std::string &label)
{
    const pg::Result res = pg::query(conn, R"(
        SELECT p.BLD_LABEL FROM ZTR_BUILD b JOIN ZTR_BUILD p ON p.BLD_TOPDIR = b.BLD_TOPDIR AND p.BLD_START < b.BLD_START
         WHERE b.BLD_LABEL = $1 ORDER BY p.BLD_START DESC LIMIT 1)",
                                     {label});
    return PQntuples(res.get()) == 0 ? std::string() : pg::text(res, 0, 0);
}

std::string first_causes(const Build &build, const Reasons &reasons, const Build *earlier)
{
    char *data = nullptr;
    std::size_t size = 0;
    auto close = [&](std::FILE *stream) {
        std::fclose(stream);
        std::free(data);
    };
    const std::unique_ptr<std::FILE, decltype(close)> out(open_memstream(&data, &size), close);
    if (!out)
        throw std::runtime_error("cannot write the first causes: out of memory");
    Analysis analysis(build, reasons, earlier, earlier);
    write_build(out.get(), analysis, earlier);
    std::fflush(out.get());
    return std::string(data, size);
}

bool write_answer(std::FILE *out, const Options &options, const Build &build, const Reasons &reasons,
                  const Build *earlier, const Build *previous)
{
    Analysis analysis(build, reasons, earlier, previous);
    if (!build.complete)
        std::fprintf(out, "note: the build '%s' was recorded incomplete: reasons only for what ran\n",
                     build.label.c_str());
    if (options.files.empty()) {
        write_build(out, analysis, earlier);
        return true;
    }
    bool all_known = true;
    for (const std::string &file : options.files) {
        const std::vector<Index> found = analysis.instances_of(file);
        if (found.empty()) {
            std::fprintf(out, "%s: not a file of the build '%s'\n", file.c_str(), build.label.c_str());
            all_known = false;
        }
        for (Index i : found)
            write_instance(out, analysis, i);
    }
    return all_known;
}

} // namespace why
