// `tracemake compare`: the RSF and the change list of two builds,
// changescan's DIFF marks, relplot's graph and dot's picture in one
// folder, and a summary of what changed and why.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <libpq-fe.h>

#include "compare/picture_view.h"
#include "compare/recorded_build.h"

namespace compare {

struct Options {
    std::string label1, label2;
    std::string dir;       ///< the output folder
    bool picture = true;   ///< run dot -Tsvg as the last step
    /// Text that heads the summary, made from the builds (`first`, then
    /// `second`) in the comparison's snapshot: the second build's first causes.
    std::function<std::string(PGconn *conn, const recorded::Build &first, const recorded::Build &second)> head;
    std::size_t node_limit = picture::node_limit;  ///< the most nodes the picture draws
    unsigned dot_seconds = 60;     ///< dot's limit of time, wall clock and processor
    unsigned long long dot_memory = 2ull << 30;  ///< dot's limit of address space, bytes
};

/// Runs every step in order and prints the summary; a failed step stops
/// the run with a message naming it, and what earlier steps wrote stays.
/// Returns the exit status.
int run(const Options &options);

} // namespace compare
