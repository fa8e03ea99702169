// Reading make's data base: the text that `make -p` prints when a make
// process ends, turned into its variables and the files it knew.  The
// reader follows GNU make 4.3's layout (4.4 keeps it) in any language that
// make has a catalog for: the build's own LANG, LC_ALL, LC_MESSAGES and
// LANGUAGE, as its Variables section shows them, choose the words.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace makedb {

/// Where a variable's value came from: the codes stored in VAR_SOURCE.
enum Source : int {
    source_default = 0,
    source_environment = 1,
    source_makefile = 2,
    source_environment_override = 3, ///< environment under -e
    source_command_line = 4,
    source_override = 5, ///< 'override' directive
    source_automatic = 6,
};

/// One variable as the data base prints it.
struct Variable {
    std::string name;
    std::string_view op; ///< "=", ":=", "+=", or "define" for a multi-line recursive value (static texts)
    std::string value; ///< the right-hand side as printed (a simple variable's '$' doubled)
    Source source = source_default;
    bool is_private = false;
};

/// One file or target of the data base; a double-colon target's rules are merged into one.
struct File {
    std::string name;                    ///< as make knows it (vpath-resolved names keep their directory)
    bool is_target = true;               ///< false after "# Not a target:"
    bool phony = false;
    bool command_line = false;           ///< a target named on the command line
    bool builtin = false;                ///< one of make's built-in (suffix) rules
    bool double_colon = false;
    int rule_count = 0;                  ///< number of double-colon rules (0 for an ordinary file)
    std::vector<std::string> prereqs;    ///< normal prerequisites, each a file name
    std::vector<std::string> order_only; ///< order-only prerequisites
    std::optional<std::string> recipe;   ///< the recipe as written, lines joined by '\n'; none without one
    std::vector<Variable> variables;     ///< target-specific variables
};

/// A whole data base.
struct Database {
    std::vector<Variable> variables; ///< the global variables, in the data base's order
    std::vector<File> files;         ///< every file, in the data base's order, each name once
    std::vector<std::string> suffixes; ///< the known suffixes (prerequisites of .SUFFIXES)

    /// The global variable `name`, or null.
    const Variable *variable(std::string_view name) const;
    /// The names of the goals: the command-line targets, or else the default goal.
    std::vector<std::string> goals() const;
    /// True for what is not a file of the build: built-in rules, suffix
    /// rules and make's special targets (.PHONY, .SUFFIXES, ...).
    bool left_out(const File &file) const;
};

/// Parses the data base text; a text that is not one gives an empty result.
Database parse(std::string_view text);

/// Where the make process of `db` worked (its CURDIR), or empty when `db` is null or lacks it.
std::string_view curdir(const Database *db);

} // namespace makedb
