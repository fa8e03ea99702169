// Two recorded builds laid side by side.  Make processes pair from the top
// down: a sub-make pairs with a sub-make of its parent's partner that runs
// in the corresponding folder with the same command line, the folders of
// each build taken out of it; what is left pairs in order of start within
// one folder.  Each pair teaches which folders stand for each other (the
// top directories, the working directories, what -C DIR and NAME=DIR
// arguments name), so an object folder outside the source tree, named
// differently in each build, still compares file by file.  A file is known
// by its folder as the first build has it and its name; an instance pairs
// with the instance of the same file in the paired make process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compare/recorded_build.h"

namespace pairing {

using recorded::Build;
using recorded::Index;
using recorded::none;

/// `dir` relative to `root`: "" for the root itself, "a/b" below it, and
/// the absolute path unchanged when it lies outside the root.
std::string relative_dir(const std::string &dir, const std::string &root);

/// Folders of the two builds that stand for each other: the k-th folder
/// of the first build is the k-th of the second.
class Folders {
public:
    /// Records that folder `a` of the first build is `b` of the second,
    /// unless what is known already maps `b` to `a` or maps `a` elsewhere.
    /// Returns whether it was new.
    bool add(const std::string &a, const std::string &b);
    /// Records that the argument value `a` (a relative path as a command
    /// line gives it) stands for `b`.
    void add_word(const std::string &a, const std::string &b);
    /// `dir` of the second build as the folder of the first that stands
    /// for it: the longest known folder it lies in replaced; unchanged when none.
    std::string to_first(const std::string &dir) const;
    /// A command line of build `side` (0 the first, 1 the second) with the
    /// known folders and argument values replaced by marks that are the
    /// same in both builds.
    std::string taken_out(int side, const std::string &cmdline) const;
    /// The folders and argument values of build `side`, longest first,
    /// each with the mark that stands for it: what to replace, in this
    /// order, in recorded text.
    std::vector<std::pair<std::string, std::string>> marks(int side) const;
    /// The number of folder pairs.
    std::size_t size() const { return dirs_[0].size(); }

private:
    /// A path of build `side` with the longest known folder it lies in replaced by its mark.
    std::string mark_path(int side, const std::string &path) const;
    std::vector<std::string> dirs_[2];
    std::vector<std::string> words_[2];
};

/// The instances of one build grouped by file: file f's are insts[start[f] .. start[f+1]), in OID order.
struct FileGroups {
    std::vector<Index> start, insts;
    /// The instances of file `f`.
    std::vector<Index>::const_iterator begin(std::uint32_t f) const { return insts.begin() + start[f]; }
    std::vector<Index>::const_iterator end(std::uint32_t f) const { return insts.begin() + start[f + 1]; }
    bool has(std::uint32_t f) const { return start[f] != start[f + 1]; }
};

/// What the two builds share.
struct Pairing {
    std::vector<Index> proc_partner_a, proc_partner_b;  ///< per make process: its partner, or none
    Folders folders;                                    ///< what the paired make processes taught
    std::vector<Index> partner_a, partner_b;            ///< per instance: its partner, or none
    std::vector<std::uint32_t> file_a, file_b;          ///< per instance: its file, shared by both builds
    std::vector<std::string> file_dir, file_name;       ///< per file: directory in the first build (relative to its top when below it) and name
    FileGroups files_a, files_b;                         ///< per file: its instances in each build
    std::size_t file_count() const { return file_name.size(); }
    /// "dir/name" of file `f`, relative to the top directory.
    std::string file_path(std::uint32_t f) const;
};

/// Pairs the make processes and instances of `a` and `b` (whose procs
/// carry their command lines).
Pairing pair_builds(const Build &a, const Build &b);

} // namespace pairing
