// tracemake why: why a recorded build remade what it remade.  Each
// instance's reasons (ZTR_REASON) are followed down through the
// prerequisites that were themselves remade, across make processes by
// path, to the first causes: the files changed outside the build, the
// missing targets, -B, -W, and what is always out of date.  With an earlier
// build of the same project, a first cause whose content did not change
// since then is named, with the targets it rebuilt for nothing.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "compare/recorded_build.h"

namespace why {

/// One reason of an instance, as ZTR_REASON holds it.
struct Reason {
    std::string kind;                        ///< RSN_KIND
    recorded::Index prereq = recorded::none; ///< the prerequisite, for newer, what-if, always
    bool remade = false;                     ///< newer: the prerequisite was remade in the build
    std::string note;                        ///< "future", "deleted" or empty
};

/// The reasons of each instance of a build, by instance index, in order;
/// empty for an instance whose commands did not run.
using Reasons = std::vector<std::vector<Reason>>;

/// Reads the reasons of `build`'s instances.
Reasons load_reasons(PGconn *conn, const recorded::Build &build);

/// What `tracemake why` was asked.
struct Options {
    std::string label;
    std::vector<std::string> files;   ///< relative paths or OIDs; none for the whole build
    std::optional<std::string> since; ///< the earlier build
};

/// Writes the answer for `build` (with its reasons, and `earlier` for
/// --since) to `out`; returns false when a file was not one of the build's.
/// A target remade only for a prerequisite always out of date (a recipe
/// that decides by itself) whose executed commands differ from those of
/// `previous` (--since, else the build recorded before it in the same
/// directory; null when there is none) has that difference as first cause.
bool write_answer(std::FILE *out, const Options &options, const recorded::Build &build, const Reasons &reasons,
                  const recorded::Build *earlier, const recorded::Build *previous);

/// The label of the build recorded in the same top directory last before
/// `label`, or empty.
std::string previous_label(PGconn *conn, const std::string &label);

/// The first causes of `build` ranked as `why LABEL --since` writes them,
/// `earlier` being the build before it (or null).
std::string first_causes(const recorded::Build &build, const Reasons &reasons, const recorded::Build *earlier);

} // namespace why
