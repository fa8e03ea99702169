// Cutting views out of a build: each view is an RSF subset that relplot
// turns into DOT text, small enough for Graphviz to lay out quickly.  The
// directory view (the overview is that of the root) opens whole levels of
// the tree while the drawn units stay within a limit, and draws
// the directories it does not open as single boxes with their file counts;
// edges into a box are merged into one per pair of ends.  The file view
// draws a file with its neighbours and the goals of its directory.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "rsf_model.h"

namespace traceview {

/// What to draw.
enum class ViewKind { directory, file };

/// A cut-out view, ready for relplot.
struct View {
    std::string rsf;                                         ///< the RSF subset
    std::vector<std::pair<std::string, std::string>> labels; ///< node id and label text for the boxes
    std::vector<int> shown;                                  ///< the units drawn as nodes (files and boxes)
    std::vector<int> boxes;                                  ///< those of them that stand for a directory
    std::string note;                                        ///< what was left out, or empty
};

/// The smallest and largest node limit a view request may ask for.
constexpr std::size_t min_view_limit = 10, max_view_limit = 2000;

/// Cuts the view of `unit` (a directory unit for ViewKind::directory, a
/// file unit for ViewKind::file) with at most `limit` drawn units.
View make_view(const RsfModel &model, ViewKind kind, int unit, std::size_t limit);

/// The text of a DOT statement that sets the label of node `id`, quoted as relplot quotes.
std::string dot_label_statement(const std::string &id, const std::string &label);

} // namespace traceview
