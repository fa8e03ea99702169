#include "compare/compare_summary.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

namespace summary {

namespace {

using recorded::Build;

/// One build's line: where, how and with what outcome it was made.
std::string describe(const Build &build)
{
    std::string text = "  " + build.label + ": " + build.root + ", `" + build.cmdline + "`, exit status " +
                       std::to_string(build.status) + ", " + std::to_string(build.insts.size()) + " instances\n";
    if (!build.complete)
        text += "    recorded INCOMPLETE: the build was stopped before its end; it shows only what was known then\n";
    return text;
}

/// What the summary shows of its lists: up to `limit` entries of each.
struct Cut {
    std::size_t limit;
    std::string whole;  ///< the file with everything; empty when this is it
    /// The line that counts what a list of `total` entries left out; "" when nothing.
    std::string rest(std::size_t total, const std::string &what = "") const
    {
        if (total <= limit)
            return "";
        return "  ... and " + std::to_string(total - limit) + " more" + (what.empty() ? "" : " " + what) +
               " (all of them in " + whole + ")\n";
    }
};

/// A titled list of files by path, cut at the limit; nothing when there are none.
void list_files(std::string &text, const std::string &title, const pairing::Pairing &pairs,
                const std::vector<std::uint32_t> &files, const Cut &cut)
{
    if (files.empty())
        return;
    text += title;
    for (std::size_t k = 0; k < files.size() && k < cut.limit; ++k)
        text += "  " + pairs.file_path(files[k]) + "\n";
    text += cut.rest(files.size());
}

/// The changed targets that depend, in the second build, on each changed
/// file that no rule makes: what changed after it.
class Dependents {
public:
    Dependents(const Build &b, const pairing::Pairing &pairs) : users_(pairs.file_count())
    {
        for (recorded::Index i = 0; i < b.insts.size(); ++i)
            for (recorded::Index k = b.prereq_start[i]; k < b.prereq_start[i + 1]; ++k)
                users_[pairs.file_b[b.prereqs[k]]].push_back(pairs.file_b[i]);
    }

    /// The changed files among those that depend on `f`, directly or through others.
    std::vector<std::uint32_t> changed_after(std::uint32_t f, const changes::ChangeSet &set) const
    {
        std::vector<bool> seen(users_.size(), false);
        std::vector<std::uint32_t> todo{f}, found;
        seen[f] = true;
        while (!todo.empty()) {
            const std::uint32_t g = todo.back();
            todo.pop_back();
            for (std::uint32_t user : users_[g]) {
                if (seen[user])
                    continue;
                seen[user] = true;
                todo.push_back(user);
                if (set.is_changed[user])
                    found.push_back(user);
            }
        }
        return found;
    }

private:
    std::vector<std::vector<std::uint32_t>> users_;
};

/// The files changed outside the build, each with the changed targets that depend on it.
void list_outside(std::string &text, const Build &b, const pairing::Pairing &pairs, const changes::ChangeSet &set,
                  const std::vector<reasons::Explained> &explained, const Cut &cut)
{
    std::vector<std::uint32_t> sources;
    for (const reasons::Explained &e : explained)
        if (!e.target)
            sources.push_back(e.file);
    if (sources.empty())
        return;
    const Dependents dependents(b, pairs);
    text += "changed outside the build (no rule makes them), with the changed targets that depend on them:\n";
    for (std::size_t k = 0; k < sources.size() && k < cut.limit; ++k) {
        std::vector<std::string> after;
        for (std::uint32_t f : dependents.changed_after(sources[k], set))
            after.push_back(pairs.file_path(f));
        std::sort(after.begin(), after.end());
        text += "  " + pairs.file_path(sources[k]);
        for (std::size_t n = 0; n < after.size() && n < cut.limit; ++n)
            text += (n == 0 ? ": " : ", ") + after[n];
        if (after.size() > cut.limit)
            text += " and " + std::to_string(after.size() - cut.limit) + " more";
        text += "\n";
    }
    text += cut.rest(sources.size());
}

/// Words joined by commas.
std::string joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &w : words)
        text += (text.empty() ? "" : ", ") + w;
    return text;
}

/// The command line of a report tool comparing instances `a` and `b` into `report`.
std::string command(const char *program, const std::string &report, long long a, long long b)
{
    return std::string(program) + " " + shell_word(report) + " " + std::to_string(a) + " " + std::to_string(b);
}

/// What differs between the two instances of a changed file, in one line.
std::string what_differs(const changes::ChangedFile &change, const Build &a, const Build &b)
{
    std::vector<std::string> what;
    if (change.content)
        what.push_back("its content differs");
    if (change.commands)
        what.push_back("it was rebuilt with other commands");
    if (change.missing != changes::MissingDigest::none)
        what.push_back("no digest in " + (change.missing == changes::MissingDigest::first ? a.label : b.label) +
                       " (the file was gone when its make ended)");
    return joined(what);
}

/// Appends why a target was made otherwise, each reason with the command
/// that shows it; false when the database holds no reason.
bool explain_reasons(std::string &text, const reasons::Explained &e, const std::string &dir)
{
    const std::string envdiff = command("envdiff", dir + "/envdiff-" + std::to_string(e.oid_a) + ".txt", e.oid_a, e.oid_b);
    const std::string rulediff = command("rulediff", dir + "/rulediff-" + std::to_string(e.oid_a) + ".txt", e.oid_a, e.oid_b);
    bool found = false;
    if (!e.variables.empty()) {
        text += "    variables differ between the two make processes: " + joined(e.variables);
        if (!e.recipe_variables.empty())
            text += " (its recipe uses " + joined(e.recipe_variables) + ")";
        text += "\n      " + envdiff + "\n";
        found = true;
    }
    if (e.recipe || e.commands) {
        text += std::string("    ") +
                (e.recipe && e.commands ? "recipe text and executed commands differ"
                                        : e.recipe ? "recipe text differs" : "executed commands differ") +
                "\n      " + rulediff + "\n";
        found = true;
    }
    const struct {
        const char *title;
        const std::vector<std::string> &files;
    } prereqs[] = {{"prerequisite changed: ", e.changed_prereqs},
                   {"new prerequisite: ", e.new_prereqs},
                   {"prerequisite dropped: ", e.dropped_prereqs}};
    for (const auto &p : prereqs) {
        if (!p.files.empty()) {
            text += std::string("    ") + p.title + joined(p.files) + "\n";
            found = true;
        }
    }
    return found;
}

/// The block of one changed file: what differs, and for a target why.
void explain_file(std::string &text, const reasons::Explained &e, const changes::ChangedFile &change,
                  const Build &a, const Build &b, const pairing::Pairing &pairs, const std::string &dir)
{
    text += "  " + pairs.file_path(e.file) + " (" + a.label + " " + std::to_string(e.oid_a) + ", " + b.label + " " +
            std::to_string(e.oid_b) + ")\n";
    text += "    " + what_differs(change, a, b) + "\n";
    if (!e.target) {
        text += "    no rule makes it: it was changed outside the build\n";
        return;
    }
    if (!e.procs_paired)
        text += "    its make processes have no counterpart in the other build\n";
    if (!explain_reasons(text, e, dir))
        text += "    no reason found in the database\n";
}

} // namespace

std::string shell_word(const std::string &word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_./:=+,-@%").find(c) != std::string_view::npos;
    });
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string write(const Build &a, const Build &b, const pairing::Pairing &pairs, const changes::ChangeSet &set,
                  const std::vector<reasons::Explained> &explained, const std::vector<std::string> &left_out,
                  const std::string &dir, const std::string &whole)
{
    const Cut cut{whole.empty() ? SIZE_MAX : screenful, whole};
    std::string text = "Comparing build " + a.label + " with build " + b.label + ":\n" + describe(a) + describe(b);
    text += "files changed: " + std::to_string(set.changed.size()) + ", added: " + std::to_string(set.added.size()) +
            ", removed: " + std::to_string(set.removed.size()) + "\n";
    const auto unpaired = [](const std::vector<recorded::Index> &partners) {
        return std::count(partners.begin(), partners.end(), recorded::none);
    };
    if (unpaired(pairs.proc_partner_a) + unpaired(pairs.proc_partner_b) != 0)
        text += "make processes without a partner: " + std::to_string(unpaired(pairs.proc_partner_a)) + " of " +
                std::to_string(a.procs.size()) + " in " + a.label + ", " + std::to_string(unpaired(pairs.proc_partner_b)) +
                " of " + std::to_string(b.procs.size()) + " in " + b.label + " (their files count as removed and added)\n";
    if (!set.newly_known.empty())
        text += "files only newly known to make: " + std::to_string(set.newly_known.size()) + " (there when " +
                a.label + " ended, at the same place" +
                (whole.empty() ? "" : "; listed in " + whole) + ")\n";
    list_outside(text, b, pairs, set, explained, cut);
    list_files(text, "added (only in " + b.label + "):\n", pairs, set.added, cut);
    list_files(text, "removed (only in " + a.label + "):\n", pairs, set.removed, cut);
    list_files(text, "cannot tell whether these changed (a digest is missing: the file was gone when its make ended):\n",
               pairs, set.untold, cut);
    if (!left_out.empty()) {
        text += "left out of the change list and the picture's marks (white space in the name or directory):\n";
        for (std::size_t k = 0; k < left_out.size() && k < cut.limit; ++k)
            text += "  " + left_out[k] + "\n";
        text += cut.rest(left_out.size());
    }
    if (whole.empty())
        list_files(text, "only newly known to make (there when " + a.label + " ended, at the same place):\n", pairs,
                   set.newly_known, cut);
    if (!explained.empty())
        text += "changed files and why:\n";
    for (std::size_t k = 0; k < explained.size() && k < cut.limit; ++k)
        explain_file(text, explained[k], set.changed[k], a, b, pairs, dir);
    text += cut.rest(explained.size(), "changed files and why they changed");
    return text;
}

} // namespace summary
