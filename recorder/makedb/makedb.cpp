#include "makedb/makedb.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "makedb/catalog.h"

namespace makedb {

namespace {

using Lines = std::vector<std::string_view>;

Lines split_lines(std::string_view text)
{
    Lines lines;
    lines.reserve(text.size() / 32);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

/// A header msgid such as "\n# Variables\n" as the line that it prints.
std::string header_line(const catalog::Catalog &words, std::string_view msgid)
{
    std::string line = words.translate(msgid);
    line.erase(0, line.find_first_not_of('\n'));
    line.erase(line.find_last_not_of('\n') + 1);
    return line;
}

/// The text of a printf-style msgid up to its first conversion.
std::string before_conversion(const catalog::Catalog &words, std::string_view msgid)
{
    std::string text = header_line(words, msgid);
    return text.substr(0, text.find('%'));
}

/// A comment line that names where the next variable came from.
struct Origin {
    bool known = false; ///< false for any other comment line
    Source source = source_default;
    bool is_private = false;
};

/// The lines and words of one data base, in the language it was printed in.
struct Words {
    std::string variables, pattern_variables, directories, implicit_rules, files, vpath, finished;
    std::string not_a_target, phony, command_line, builtin, recipe, from;
    std::vector<std::pair<std::string, Source>> origins; // longest first, so that a prefix never wins

    explicit Words(const catalog::Catalog &c)
        : variables(header_line(c, "\n# Variables\n")),
          pattern_variables(header_line(c, "\n# Pattern-specific Variable Values")),
          directories(header_line(c, "\n# Directories\n")), implicit_rules(header_line(c, "\n# Implicit Rules")),
          files(header_line(c, "\n# Files")), vpath(header_line(c, "\n# VPATH Search Paths\n")),
          finished(before_conversion(c, "\n# Finished Make data base on %s\n")),
          not_a_target(c.translate("# Not a target:")), phony(c.translate("#  Phony target (prerequisite of .PHONY).")),
          command_line(c.translate("#  Command line target.")), builtin(c.translate("#  Builtin rule")),
          recipe(c.translate("#  recipe to execute")), from(before_conversion(c, " (from '%s', line %lu)"))
    {
        const std::array<std::pair<const char *, Source>, 7> english = {{
            {"default", source_default},
            {"environment", source_environment},
            {"makefile", source_makefile},
            {"environment under -e", source_environment_override},
            {"command line", source_command_line},
            {"'override' directive", source_override},
            {"automatic", source_automatic},
        }};
        for (const auto &[msgid, source] : english)
            origins.emplace_back("# " + c.translate(msgid), source);
        std::sort(origins.begin(), origins.end(),
                  [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
    }

    /// The origin that a comment line names, with whether it says "private".
    Origin origin(std::string_view line) const
    {
        for (const auto &[text, source] : origins) {
            if (!line.starts_with(text))
                continue;
            std::string_view rest = line.substr(text.size());
            const bool is_private = rest.starts_with(" private");
            if (is_private)
                rest.remove_prefix(8);
            if (rest.empty() || rest.starts_with(from))
                return {true, source, is_private};
        }
        return {};
    }
};

/// The value of a "NAME = value" line of the Variables section, before the
/// data base has been parsed: enough to choose the catalog.
std::string early_value(const Lines &lines, std::string_view name)
{
    const std::string prefix = std::string(name) + " = ";
    for (std::string_view line : lines)
        if (line.starts_with(prefix))
            return std::string(line.substr(prefix.size()));
    return {};
}

catalog::Catalog catalog_of(const Lines &lines)
{
    return catalog::catalog_for({early_value(lines, "LANGUAGE"), early_value(lines, "LC_ALL"),
                                 early_value(lines, "LC_MESSAGES"), early_value(lines, "LANG")});
}

/// Parses "NAME OP VALUE" (OP one of "=", ":=", "+="); false when the line is not one.
bool parse_assignment(std::string_view line, Variable &var)
{
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0)
        return false;
    std::string_view rest = line.substr(space + 1);
    static constexpr const char *operators[] = {"=", ":=", "+="};
    for (const char *op : operators) {
        if (!rest.starts_with(op))
            continue;
        std::string_view after = rest.substr(std::string_view(op).size());
        if (!after.empty() && after.front() != ' ')
            continue;
        var.name.assign(line.data(), space);
        var.op = op;
        if (after.size() > 1)
            var.value.assign(after.data() + 1, after.size() - 1);
        else
            var.value.clear();
        return true;
    }
    return false;
}

/// Reads the variable whose definition starts at lines[i] (just after its
/// origin comment) and returns the index of the line after it.  A define's
/// body runs to an "endef" that is followed by a comment line; any other
/// multi-line value (a simple variable holding newlines) to the next comment line.
std::size_t read_variable(const Lines &lines, std::size_t i, Variable &var)
{
    const std::string_view line = lines[i];
    auto is_comment = [&](std::size_t k) { return k >= lines.size() || lines[k].starts_with('#'); };
    if (line.starts_with("define ")) {
        var.name = line.substr(7);
        var.op = "define";
        std::size_t end = i + 1;
        while (end < lines.size() && !(lines[end] == "endef" && is_comment(end + 1)))
            ++end;
        for (std::size_t k = i + 1; k < end; ++k) {
            if (k > i + 1)
                var.value += '\n';
            var.value += lines[k];
        }
        return std::min(end + 1, lines.size());
    }
    if (!parse_assignment(line, var))
        return i + 1;
    std::size_t k = i + 1;
    for (; !is_comment(k); ++k) {
        var.value += '\n';
        var.value += lines[k];
    }
    return k;
}

/// Where the name of a rule line ends: at the first ':' that is followed by
/// the end, a blank, or a second ':' ending the name of a double-colon rule.
std::size_t rule_name_end(std::string_view line)
{
    for (std::size_t pos = line.find(':'); pos != std::string_view::npos; pos = line.find(':', pos + 1)) {
        const std::string_view after = line.substr(pos + 1);
        if (after.empty() || after.front() == ' ')
            return pos;
        if (after.front() == ':' && (after.size() == 1 || after[1] == ' '))
            return pos;
    }
    return std::string_view::npos;
}

/// One entry of the Files section as read, before double-colon rules are merged.
struct Entry {
    File file;
    std::string prereq_text, order_only_text;
};

/// A target-specific variable line "TARGET: NAME OP VALUE" waiting for its target's name.
struct PendingVariable {
    std::string_view line;
    Source source;
    bool is_private;
};

/// Reads what a comment line of an entry says of its file: a flag, the
/// start of its recipe, or the origin of the variable line that follows.
void read_comment(const Words &words, std::string_view line, File &file, bool &in_recipe, Origin &origin)
{
    if (line == words.not_a_target)
        file.is_target = false;
    else if (line == words.phony)
        file.phony = true;
    else if (line == words.command_line)
        file.command_line = true;
    else if (line == words.builtin)
        file.builtin = true;
    else if (line.starts_with(words.recipe))
        in_recipe = true;
    else
        origin = words.origin(line);
}

/// Reads the rule line "NAME: PREREQS | ORDER-ONLY" (or "NAME:: ...") whose name ends at `name_end`.
void read_rule_line(std::string_view line, std::size_t name_end, Entry &entry)
{
    File &file = entry.file;
    file.name = line.substr(0, name_end);
    std::string_view rest = line.substr(name_end + 1);
    file.double_colon = rest.starts_with(':');
    if (file.double_colon)
        rest.remove_prefix(1);
    std::size_t bar = rest.find(" |");
    while (bar != std::string_view::npos && bar + 2 < rest.size() && rest[bar + 2] != ' ')
        bar = rest.find(" |", bar + 1);
    entry.prereq_text = rest.substr(0, bar);
    if (bar != std::string_view::npos)
        entry.order_only_text = rest.substr(bar + 2);
}

/// Gives the file the target-specific variables whose lines name it.
void add_target_variables(const std::vector<PendingVariable> &pending, File &file)
{
    const std::string prefix = file.name + ": ";
    for (const PendingVariable &p : pending) {
        Variable var;
        if (p.line.starts_with(prefix) && parse_assignment(p.line.substr(prefix.size()), var)) {
            var.source = p.source;
            var.is_private = p.is_private;
            file.variables.push_back(std::move(var));
        }
    }
}

/// True when `line` ends in an odd run of backslashes: make continues it on the next line.
bool continues(std::string_view line)
{
    const std::size_t last = line.find_last_not_of('\\');
    const std::size_t run = line.size() - (last == std::string_view::npos ? 0 : last + 1);
    return run % 2 == 1;
}

/// One entry of the Files section: its lines and the recipe prefix in force for it.
struct Piece {
    char prefix = '\t';
    Lines lines;
};

bool read_entry(const Words &words, const Piece &piece, Entry &entry)
{
    File &file = entry.file;
    std::vector<PendingVariable> pending;
    Origin origin;
    bool have_rule = false, in_recipe = false, continued = false;
    std::optional<std::string> recipe;
    for (const std::string_view line : piece.lines) {
        // make prints a logical recipe line whole: the lines after a
        // backslash-newline come as they were written, without the prefix
        // (and may begin with anything, '#' too).
        if (continued) {
            *recipe += '\n';
            *recipe += line;
            continued = continues(line);
            continue;
        }
        if (line.starts_with(piece.prefix)) {
            if (in_recipe) {
                if (recipe)
                    *recipe += '\n';
                else
                    recipe.emplace();
                *recipe += line.substr(1);
                continued = continues(line.substr(1));
            }
            continue;
        }
        if (line.starts_with('#')) {
            read_comment(words, line, file, in_recipe, origin);
            continue;
        }
        if (origin.known) {
            pending.push_back({line, origin.source, origin.is_private});
            origin = {};
            continue;
        }
        if (have_rule)
            continue;
        const std::size_t name_end = rule_name_end(line);
        if (name_end == std::string_view::npos)
            return false;
        have_rule = true;
        read_rule_line(line, name_end, entry);
    }
    if (!have_rule)
        return false;
    file.recipe = std::move(recipe);
    file.rule_count = file.double_colon ? 1 : 0;
    add_target_variables(pending, file);
    return true;
}

/// The names of the data base's files, and the most words that one of them holds.
struct KnownNames {
    std::unordered_set<std::string_view> names;
    std::size_t most_words = 1;
};

/// Splits a list of names as make prints them (joined by single blanks),
/// taking a name that itself holds blanks whole when the data base knows it.
std::vector<std::string> split_names(std::string_view list, const KnownNames &known)
{
    std::vector<std::string_view> words;
    for (std::size_t start = 0; start < list.size();) {
        std::size_t blank = list.find(' ', start);
        if (blank == std::string_view::npos)
            blank = list.size();
        if (blank > start)
            words.push_back(list.substr(start, blank - start));
        start = blank + 1;
    }
    std::vector<std::string> names;
    names.reserve(words.size());
    for (std::size_t i = 0; i < words.size();) {
        std::size_t take = 1;
        for (std::size_t n = std::min(known.most_words, words.size() - i); n > 1; --n) {
            // The words lie in `list` one blank apart, so their run is one piece of it.
            const char *first = words[i].data();
            const std::string_view run(first, static_cast<std::size_t>(words[i + n - 1].end() - first));
            if (known.names.contains(run)) {
                take = n;
                break;
            }
        }
        const char *first = words[i].data();
        names.emplace_back(first, static_cast<std::size_t>(words[i + take - 1].end() - first));
        i += take;
    }
    return names;
}

KnownNames names_of(const std::vector<File> &files)
{
    // A name of more words than this is taken word by word.
    constexpr std::size_t longest_run = 16;
    KnownNames known;
    known.names.reserve(files.size());
    for (const File &file : files) {
        known.names.insert(file.name);
        const auto words = static_cast<std::size_t>(std::count(file.name.begin(), file.name.end(), ' ')) + 1;
        known.most_words = std::min(longest_run, std::max(known.most_words, words));
    }
    return known;
}

/// The variable that sets the recipe prefix, and the line by which the
/// Files section says that the entries after it use another.
constexpr std::string_view recipe_prefix_name = ".RECIPEPREFIX";
constexpr std::string_view recipe_prefix_line = ".RECIPEPREFIX = ";

/// make's special targets: settings of make, not files of the build.
const std::unordered_set<std::string_view> special_targets = {
    ".PHONY", ".SUFFIXES", ".DEFAULT", ".PRECIOUS", ".INTERMEDIATE", ".SECONDARY", ".SECONDEXPANSION",
    ".DELETE_ON_ERROR", ".IGNORE", ".LOW_RESOLUTION_TIME", ".SILENT", ".EXPORT_ALL_VARIABLES", ".NOTPARALLEL",
    ".ONESHELL", ".POSIX", ".NOTINTERMEDIATE", ".WAIT",
};

} // namespace

const Variable *Database::variable(std::string_view name) const
{
    for (const Variable &var : variables)
        if (var.name == name)
            return &var;
    return nullptr;
}

std::vector<std::string> Database::goals() const
{
    std::vector<std::string> goals;
    for (const File &file : files)
        if (file.command_line)
            goals.push_back(file.name);
    if (!goals.empty())
        return goals;
    const Variable *goal = variable(".DEFAULT_GOAL");
    return goal != nullptr ? split_names(goal->value, names_of(files)) : goals;
}

bool Database::left_out(const File &file) const
{
    if (file.builtin || special_targets.contains(file.name))
        return true;
    if (!file.name.starts_with('.'))
        return false;
    // A suffix rule is named by one known suffix (".c") or two (".c.o").
    for (const std::string &first : suffixes) {
        if (!file.name.starts_with(first))
            continue;
        const std::string_view second = std::string_view(file.name).substr(first.size());
        if (second.empty() || std::find(suffixes.begin(), suffixes.end(), second) != suffixes.end())
            return true;
    }
    return false;
}

namespace {

/// Reads the Variables section into `variables` and cuts the Files
/// section into the lines of its entries, each with its recipe prefix; the other sections are passed over.
std::vector<Piece> read_sections(const Lines &lines, const Words &words, std::vector<Variable> &variables)
{
    enum class Section { none, variables, files, other } section = Section::none;
    std::vector<Piece> entry_lines;
    Origin origin;
    // The recipe prefix that make prints recipe lines with: the last value
    // of .RECIPEPREFIX, changed in the Files section by a line of its own
    // before an entry whose rule was read under another.
    char prefix = '\t';
    for (std::size_t i = 0; i < lines.size();) {
        const std::string_view line = lines[i];
        if (line == words.variables) {
            section = Section::variables;
        } else if (line == words.files) {
            section = Section::files;
            const auto set = std::find_if(variables.rbegin(), variables.rend(),
                                          [](const Variable &v) { return v.name == recipe_prefix_name; });
            prefix = set != variables.rend() && !set->value.empty() ? set->value.front() : '\t';
        } else if (section == Section::files && line.starts_with(recipe_prefix_line)) {
            const std::string_view value = line.substr(recipe_prefix_line.size());
            prefix = value.empty() ? '\t' : value.front();
        } else if (line == words.pattern_variables || line == words.directories || line == words.implicit_rules ||
                   line == words.vpath || (line.starts_with(words.finished) && line.starts_with('#'))) {
            section = Section::other;
        } else if (section == Section::variables) {
            if (line.starts_with('#')) {
                origin = words.origin(line);
            } else if (origin.known) {
                Variable var;
                var.source = origin.source;
                var.is_private = origin.is_private;
                origin = {};
                i = read_variable(lines, i, var);
                if (!var.name.empty())
                    variables.push_back(std::move(var));
                continue;
            }
        } else if (section == Section::files && !line.empty()) {
            // Entries are separated by blank lines, but some translations of
            // a comment line end in a blank line of their own: a piece made of
            // comments and recipe lines alone continues the entry before it.
            std::size_t end = i;
            bool starts_entry = false;
            for (; end < lines.size() && !lines[end].empty() && lines[end] != words.vpath; ++end)
                starts_entry = starts_entry || !(lines[end].starts_with('#') || lines[end].starts_with(prefix));
            if (starts_entry || entry_lines.empty())
                entry_lines.push_back({prefix, {}});
            Lines &piece = entry_lines.back().lines;
            piece.insert(piece.end(), lines.begin() + static_cast<std::ptrdiff_t>(i),
                         lines.begin() + static_cast<std::ptrdiff_t>(end));
            i = end;
            continue;
        }
        ++i;
    }
    return entry_lines;
}

/// Reads the entries into `files`, with each file's prerequisites and
/// order-only prerequisites as make printed them (in `prereq_texts`, one
/// pair per file).  Double-colon rules of one target come one entry each:
/// one file holds them all.
void read_files(const Words &words, const std::vector<Piece> &entry_lines, std::vector<File> &files,
                std::vector<std::pair<std::string, std::string>> &prereq_texts)
{
    std::unordered_map<std::string, std::size_t> index;
    for (const Piece &piece : entry_lines) {
        Entry entry;
        if (!read_entry(words, piece, entry))
            continue;
        auto [found, fresh] = index.try_emplace(entry.file.name, files.size());
        if (fresh) {
            files.push_back(std::move(entry.file));
            prereq_texts.emplace_back(std::move(entry.prereq_text), std::move(entry.order_only_text));
            continue;
        }
        File &file = files[found->second];
        auto &[prereqs, order_only] = prereq_texts[found->second];
        file.rule_count += entry.file.rule_count;
        if (entry.file.recipe)
            file.recipe = file.recipe ? *file.recipe + '\n' + *entry.file.recipe : *entry.file.recipe;
        prereqs += entry.prereq_text;
        order_only += entry.order_only_text;
    }
}

} // namespace

Database parse(std::string_view text)
{
    const Lines lines = split_lines(text);
    const Words words(catalog_of(lines));
    Database db;
    const std::vector<Piece> entry_lines = read_sections(lines, words, db.variables);
    std::vector<std::pair<std::string, std::string>> prereq_texts;
    read_files(words, entry_lines, db.files, prereq_texts);
    const auto known = names_of(db.files);
    for (std::size_t i = 0; i < db.files.size(); ++i) {
        db.files[i].prereqs = split_names(prereq_texts[i].first, known);
        db.files[i].order_only = split_names(prereq_texts[i].second, known);
        if (db.files[i].name == ".SUFFIXES")
            db.suffixes = db.files[i].prereqs;
    }
    return db;
}

std::string_view curdir(const Database *db)
{
    const Variable *found = db != nullptr ? db->variable("CURDIR") : nullptr;
    return found != nullptr ? std::string_view(found->value) : std::string_view();
}

} // namespace makedb
