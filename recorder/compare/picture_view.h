// What compare's picture draws when the whole comparison is too large for
// dot: the instances of the changed, added and removed files, then their
// prerequisites and dependents, up to a node limit, and for the files left
// out a box per directory that counts them.  The idea and the limit are
// those of traceview's views; the selection is a pure function of the two
// builds, so that its limit can be tried on small builds.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "compare/build_pairing.h"
#include "compare/changes.h"
#include "compare/recorded_build.h"

namespace picture {

/// The most nodes a picture draws, as traceview's views by default.
inline constexpr std::size_t node_limit = 200;

/// A part of two builds compared, to be drawn.
struct View {
    bool whole = false;              ///< everything fits: draw the whole comparison
    std::vector<bool> keep_a, keep_b;  ///< per instance: drawn (a paired one of the second build with its partner)
    /// Directories (absolute, in the first build's tree) with the number of files of theirs not drawn.
    std::vector<std::pair<std::string, std::size_t>> boxes;
    std::size_t nodes = 0;           ///< nodes drawn, boxes included
};

/// The view of `a` and `b` compared with at most `limit` nodes.
View select(const recorded::Build &a, const recorded::Build &b, const pairing::Pairing &pairs,
            const changes::ChangeSet &set, std::size_t limit);

} // namespace picture
