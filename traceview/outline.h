// The directory tree as traceview draws it: the build's directories grouped
// under their roots.  A recorded build hangs every directory that lies
// outside its top directory from the top directly, by its full path; here
// those are grouped under roots of their own, each named by its path:
//
//   - the top directory (the ROOT record: where the top make ran);
//   - object folders: the deepest common directory of the outside
//     directories that hold files the build made (TARGET, EXECUTED or GOAL:
//     a make's goals lie where it ran), grouped by their first two path parts
//     (O=/home/me/obj gives /home/me/obj);
//   - the rest outside (installed files, system headers), grouped the same
//     way by their first two path parts (/usr/include, /lib/modules/...).
//
// Directories between a root and the directories below it that hold files
// are added, so that each root is a tree.  With more than one root the top
// of the outline is a node that holds the roots.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <string>
#include <vector>

#include "rsf_model.h"

namespace traceview {

/// A directory of the outline.
struct OutlineDir {
    std::string id;             ///< node id: the model's name for it, its path when it is added, or top_id
    std::string name;           ///< what a box or frame says: the last part of the path, a root's whole path
    int unit = -1;              ///< the model's directory unit, or -1 for a directory added here
    int parent = -1;            ///< index of the directory holding it, or -1 for the top
    bool root = false;          ///< one of the roots
    std::vector<int> dirs;      ///< the directories inside it, ranked: changes first, then most files, then name
    std::vector<int> files;     ///< the file units directly inside it
    std::size_t files_below = 0;
    std::size_t changed_below = 0, added_below = 0, removed_below = 0;
};

/// A place a directory view may start at: a directory, or the directories
/// of one from the `skip`th on (what a box "N more directories" stands for).
struct OutlinePlace {
    int dir = -1;
    std::size_t skip = 0;
};

/// The outline of a model; built in one pass over its units.
class Outline {
public:
    explicit Outline(const RsfModel &model);

    const std::vector<OutlineDir> &dirs() const { return dirs_; }
    /// Index of the top: the one root, or the node holding several; -1 for an empty model.
    int top() const { return top_; }
    /// The outline directory that holds a file unit, or -1.
    int dir_of_file(int unit) const;
    /// The place that a node id names: a directory's id or a more_id; nothing when none.
    std::optional<OutlinePlace> find(const std::string &id) const;
    /// The node id of the box that stands for the directories of `dir` from the `skip`th on.
    std::string more_id(int dir, std::size_t skip) const;

    /// Id of the node that holds several roots (it never names a directory of a build).
    static constexpr const char *top_id = "roots:";

private:
    int add(std::string id, std::string name, int unit, int parent);
    int add_path(int root, const std::string &root_path, const std::string &path);
    void mirror(const RsfModel &model, int unit, int into);

    std::vector<OutlineDir> dirs_;
    std::vector<int> file_dir_;   // by unit
    std::unordered_map<std::string, int> by_id_;
    int top_ = -1;
};

} // namespace traceview
