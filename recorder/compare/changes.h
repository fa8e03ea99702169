// What differs between two recorded builds, file by file: changed files
// (recorded content, or the commands that rebuilt them), added and removed
// files, and those whose change cannot be told because a digest is
// missing; and the change list in the form changescan reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compare/build_pairing.h"
#include "compare/recorded_build.h"

namespace changes {

/// Which build lacks a digest of a file that the other has one of.
enum class MissingDigest { none, first, second };

/// A file of both builds that differs.
struct ChangedFile {
    std::uint32_t file = 0;
    bool content = false;   ///< its recorded digests differ
    bool commands = false;  ///< a pair of its instances ran different commands
    MissingDigest missing = MissingDigest::none;
};

/// The differences of two builds, each list in order of relative path.
struct ChangeSet {
    std::vector<ChangedFile> changed;
    std::vector<std::uint32_t> added;     ///< files only the second build has (phony targets left out)
    std::vector<std::uint32_t> newly_known;  ///< files only the second build's makes knew that were there, at
                                             ///< the same place, when the first build ended: not new to the project
    std::vector<std::uint32_t> removed;   ///< files only the first build has
    std::vector<std::uint32_t> untold;    ///< in both, not known to differ, a digest on one side only
    std::vector<bool> is_changed;         ///< per file
};

/// Compares the files of `a` and `b`.
ChangeSet find_changes(const recorded::Build &a, const recorded::Build &b, const pairing::Pairing &pairs);

/// Writes the changed files as changescan's list: name, directory in the
/// first build, directory in the second, one record a line.  A file whose
/// name or directories hold white space cannot be a word of that list: it
/// is left out and its relative path returned.  Throws std::runtime_error
/// when `out` cannot take the list.
std::vector<std::string> write_list(std::FILE *out, const recorded::Build &a, const recorded::Build &b,
                                    const pairing::Pairing &pairs, const ChangeSet &set);

} // namespace changes
