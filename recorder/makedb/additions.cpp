#include "makedb/additions.h"

#include <algorithm>
#include <vector>

namespace additions {

namespace {

/// The reference to the --eval texts that make puts into MAKEFLAGS.
constexpr std::string_view eval_flags_name = "-*-eval-flags-*-";
constexpr std::string_view eval_flags_ref = " $(-*-eval-flags-*-)";
/// How the recorder's --eval shows among the --eval words ("\ " escapes a blank).
constexpr std::string_view recorder_eval = "--eval=export\\ TRACEMAKE_TARGET\\ ";

/// The shim's path, or empty text for a spool that names no shim folder
/// (then nothing is taken for the shim's).
std::string shim_path(const Additions &added)
{
    return added.shimdir.empty() ? std::string() : added.shimdir + "/make";
}

/// Splits at `separator`, keeping empty pieces.
std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> pieces;
    for (;;) {
        const std::size_t at = text.find(separator);
        pieces.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return pieces;
        text.remove_prefix(at + 1);
    }
}

std::string join(const std::vector<std::string> &pieces, char separator)
{
    std::string text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            text += separator;
        text += pieces[i];
    }
    return text;
}

/// A path list without `entry` (and without it followed by a slash).
std::string without_entry(std::string_view list, char separator, const std::string &entry)
{
    auto pieces = split(list, separator);
    std::erase_if(pieces, [&](const std::string &piece) { return piece == entry || piece == entry + "/"; });
    return join(pieces, separator);
}

/// The --eval words without the recorder's.  Words are separated by blanks
/// that are not escaped with a backslash.
std::string without_recorder_eval(std::string_view value)
{
    std::vector<std::string> words{""};
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            words.back() += value.substr(i, 2);
            ++i;
        } else if (value[i] == ' ') {
            words.emplace_back();
        } else {
            words.back() += value[i];
        }
    }
    std::erase_if(words, [](const std::string &word) { return word.empty() || word.starts_with(recorder_eval); });
    return join(words, ' ');
}

} // namespace

void take_out(makedb::Database &db, const Additions &added)
{
    std::string real_make = added.argv0;
    if (const makedb::Variable *var = db.variable("TRACEMAKE_REAL_MAKE"))
        real_make = var->value;
    bool eval_left = true;
    std::erase_if(db.variables, [&](const makedb::Variable &var) {
        if (var.name.starts_with("TRACEMAKE_"))
            return true;
        if (var.name == eval_flags_name && without_recorder_eval(var.value).empty()) {
            eval_left = false;
            return true;
        }
        return var.name == "LD_PRELOAD" && !added.preload.empty() &&
               without_entry(var.value, ':', added.preload).empty();
    });
    const std::string shim = shim_path(added);
    for (makedb::Variable &var : db.variables) {
        if (var.name == eval_flags_name) {
            var.value = without_recorder_eval(var.value);
        } else if (var.name == "MAKEFLAGS") {
            if (!eval_left)
                if (auto ref = var.value.find(eval_flags_ref); ref != std::string::npos)
                    var.value.erase(ref, eval_flags_ref.size());
        } else if (var.name == "PATH" && !added.shimdir.empty()) {
            var.value = without_entry(var.value, ':', added.shimdir);
        } else if (var.name == "LD_PRELOAD" && !added.preload.empty()) {
            var.value = without_entry(var.value, ':', added.preload);
        } else if ((var.name == "MAKE" || var.name == "MAKE_COMMAND") && !shim.empty() && var.value == shim) {
            var.value = added.argv0;
        } else if (var.name == "_" && !shim.empty() && var.value == shim) {
            var.value = real_make;
        }
    }
}

std::string take_out_of_command(std::string_view command, const Additions &added)
{
    const std::string shim = shim_path(added);
    if (shim.empty())
        return std::string(command);
    std::string out;
    for (std::size_t at; (at = command.find(shim)) != std::string_view::npos;) {
        out += command.substr(0, at);
        out += added.argv0;
        command.remove_prefix(at + shim.size());
    }
    out += command;
    return out;
}

} // namespace additions
