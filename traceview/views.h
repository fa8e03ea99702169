// Cutting views out of a build: each view is an RSF subset that relplot
// turns into DOT text, small enough for Graphviz to lay out quickly.  A
// directory view (the overview is that of the outline's top) opens whole
// levels of the directory tree while everything drawn, files and boxes,
// stays within a limit, and draws the directories it does not open as
// boxes with their file counts; edges that end in a box are merged into
// one per pair of drawn nodes, marked with how many they stand for (no
// more of them than nodes, the heaviest: more make a picture no one reads).
// The nodes of each frame are laid out in rows, so that the picture stays
// near the shape of a window and its labels legible when it is fitted.  The
// file view draws a file with its neighbours and the goals of its directory.
//
// Both are pure functions of the model (and its outline) and a limit.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "outline.h"
#include "rsf_model.h"

namespace traceview {

/// What to draw.
enum class ViewKind { directory, file };

/// A merged edge: how many dependencies of the build it stands for.
struct EdgeMark {
    std::string from, to;   ///< the node ids of its ends, as relplot writes them
    std::size_t count = 0;
};

/// What is set on top of relplot's DOT text.
struct DotExtras {
    std::vector<std::pair<std::string, std::string>> labels;          ///< node id and label of a box
    std::vector<std::pair<std::string, std::string>> cluster_labels;  ///< directory id and label of its frame
    std::vector<EdgeMark> edges;                                      ///< merged edges
    std::vector<std::pair<std::string, std::string>> hints;           ///< invisible edges that shape the layout
    bool straight = false;   ///< straight edges: routed round frames, many edges between boxes widen the picture
};

/// A directory drawn closed, as one box.
struct Box {
    std::string id, name, path;
    std::size_t files = 0, changed = 0, added = 0, removed = 0;
    std::size_t more = 0;   ///< for a box "N more directories": N; 0 for one directory
};

/// A cut-out view, ready for relplot.
struct View {
    std::string rsf;                                          ///< the RSF subset
    DotExtras extras;                                         ///< box labels, frame labels, edge counts
    std::vector<int> files;                                   ///< the file units drawn
    std::vector<Box> boxes;                                   ///< the directories drawn closed
    std::vector<std::pair<std::string, std::string>> crumbs;  ///< directory view: id and name, top first
    std::string note;                                         ///< what was folded or left out, or empty

    /// Number of nodes drawn.
    std::size_t node_count() const { return files.size() + boxes.size(); }
};

/// The smallest and largest node limit a view request may ask for.
constexpr std::size_t min_view_limit = 10, max_view_limit = 2000;

/// Cuts the view of a place of the outline with at most `limit` nodes.
View make_directory_view(const RsfModel &model, const Outline &outline, OutlinePlace place, std::size_t limit);

/// Cuts the view of file unit `unit`: it, its neighbours and the goals of its make.
View make_file_view(const RsfModel &model, int unit, std::size_t limit);

/// Either view of a model unit (a directory unit for ViewKind::directory).
View make_view(const RsfModel &model, ViewKind kind, int unit, std::size_t limit);

/// The text of a DOT statement that sets the label of node `id`, quoted as relplot quotes.
std::string dot_label_statement(const std::string &id, const std::string &label);

/// The same for the frame of directory `id`'s cluster.
std::string dot_cluster_label_statement(const std::string &id, const std::string &label);

/// DOT-quoted text, as relplot quotes.
std::string dot_quote(const std::string &text);

} // namespace traceview
