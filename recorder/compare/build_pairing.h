// Two recorded builds laid side by side.  A file is known by its place
// relative to its build's top make directory and its name, so two
// checkouts of one project in different folders compare file by file.  A
// make process is known by its parent, its own relative directory and its
// position among the sub-makes of that parent that run there; an instance
// pairs with the instance of the same file in the paired make process.
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

/// The directory that `relative` (as relative_dir gives it) names below `root`.
std::string place_under(const std::string &relative, const std::string &root);

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
    std::vector<Index> proc_partner_a;  ///< per make process of the first build: its partner, or none
    std::vector<Index> partner_a, partner_b;            ///< per instance: its partner, or none
    std::vector<std::uint32_t> file_a, file_b;          ///< per instance: its file, shared by both builds
    std::vector<std::string> file_dir, file_name;       ///< per file: relative directory and name
    FileGroups files_a, files_b;                         ///< per file: its instances in each build
    std::size_t file_count() const { return file_name.size(); }
    /// "dir/name" of file `f`, relative to the top directory.
    std::string file_path(std::uint32_t f) const;
};

/// Pairs the make processes and instances of `a` and `b`.
Pairing pair_builds(const Build &a, const Build &b);

} // namespace pairing
