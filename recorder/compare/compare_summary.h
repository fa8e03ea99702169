// The summary of `tracemake compare`: the two builds, the counts of
// changed, added and removed files, the files changed outside the build
// with the targets that changed after them, and for each changed file why
// it changed, with the envdiff and rulediff commands that show it in full.
// Abridged for the screen (each list and the explanations cut at a limit,
// the rest counted) or whole for a file.
#pragma once

#include <string>
#include <vector>

#include "compare/build_pairing.h"
#include "compare/change_reasons.h"
#include "compare/changes.h"
#include "compare/recorded_build.h"

namespace summary {

/// A word as a POSIX shell reads it: quoted only when it needs to be.
std::string shell_word(const std::string &word);

/// How many entries of each list, and how many changed files' reasons, a
/// summary for the screen shows.
inline constexpr std::size_t screenful = 20;

/// The summary text.  `dir` is where the envdiff and rulediff reports of
/// the printed commands go; `left_out` the files the change list could not
/// carry.  `whole` names the file that holds the summary unabridged; empty
/// to write that one, with every entry.
std::string write(const recorded::Build &a, const recorded::Build &b, const pairing::Pairing &pairs,
                  const changes::ChangeSet &set, const std::vector<reasons::Explained> &explained,
                  const std::vector<std::string> &left_out, const std::string &dir, const std::string &whole);

} // namespace summary
