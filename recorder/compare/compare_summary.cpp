#include "compare/compare_summary.h"

#include <algorithm>
#include <cctype>
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

/// A titled list of files by relative path; nothing when there are none.
void list_files(std::string &text, const std::string &title, const pairing::Pairing &pairs,
                const std::vector<std::uint32_t> &files)
{
    if (files.empty())
        return;
    text += title;
    for (std::uint32_t f : files)
        text += "  " + pairs.file_path(f) + "\n";
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
                  const std::string &dir)
{
    std::string text = "Comparing build " + a.label + " with build " + b.label + ":\n" + describe(a) + describe(b);
    text += "files changed: " + std::to_string(set.changed.size()) + ", added: " + std::to_string(set.added.size()) +
            ", removed: " + std::to_string(set.removed.size()) + "\n";
    list_files(text, "added (only in " + b.label + "):\n", pairs, set.added);
    list_files(text, "removed (only in " + a.label + "):\n", pairs, set.removed);
    list_files(text, "cannot tell whether these changed (a digest is missing: the file was gone when its make ended):\n",
               pairs, set.untold);
    if (!left_out.empty()) {
        text += "left out of the change list and the picture's marks (white space in the name or directory):\n";
        for (const std::string &path : left_out)
            text += "  " + path + "\n";
    }
    if (!explained.empty())
        text += "changed files and why:\n";
    for (std::size_t k = 0; k < explained.size(); ++k)
        explain_file(text, explained[k], set.changed[k], a, b, pairs, dir);
    return text;
}

} // namespace summary
