// One recorded build as the exports read it: its make processes, its file
// instances with what they need of each, and the prerequisite edges, loaded
// from "DAVER" in a few set-wide queries.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <libpq-fe.h>

#include "common/pg.h"

namespace recorded {

/// A label that names no build, or builds that cannot be compared; what() is the message.
struct BuildError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Index into a build's procs or insts; `none` when there is no such entry.
using Index = std::uint32_t;
inline constexpr Index none = UINT32_MAX;

/// One make process of the build.
struct MakeProc {
    long long oid = 0;
    Index parent = none;      ///< the make process whose recipe started it
    long long parent_inst = 0; ///< OID of the instance whose recipe started it; 0 when not known
    int seq = 0;              ///< position among its parent's sub-makes, in order of start
    std::string dir;          ///< working directory
    std::string cmdline;      ///< its command line, words joined by spaces
};

/// One file instance: a file or target as one make process knew it.
struct Instance {
    long long oid = 0;
    std::string name, dir;
    Index proc = none;
    bool phony = false, target = false, goal = false, executed = false;
    int dblcount = 0;
    std::string digest;      ///< content digest; "" when the file did not exist
    std::string exec_sum;    ///< checksum of the executed commands with the top directory taken out; "" when none ran
    std::string recipe_sum;  ///< the same of the recipe text; "" when it has none
    double mtime = -1;       ///< modification time when its digest was taken, seconds since the epoch; -1 when not known
};

/// A recorded build, instances in OID order.
struct Build {
    std::string label;
    std::string topdir;       ///< where `tracemake record` was started
    std::string root;         ///< working directory of the top make: what relative paths start from
    std::string cmdline;
    bool complete = true;
    int status = 0;
    double start = -1, end = -1;  ///< when it began and ended, seconds since the epoch; -1 when not known
    std::vector<MakeProc> procs;
    std::vector<Instance> insts;
    std::vector<Index> prereq_start;  ///< instance i's prerequisites are prereqs[prereq_start[i] .. prereq_start[i+1])
    std::vector<Index> prereqs;

    /// The index of the instance with this OID, or `none`.
    Index inst_by_oid(long long oid) const;
    /// The lowest and the highest OID of the instances: the parameters of
    /// a query for rows keyed by instance ("$1", "$2").  One load takes its
    /// instances' OIDs in one block, so that the range lets an index find a
    /// build's rows without reading other builds'.  Rows of instances that
    /// are not the build's (hand-made rows can interleave) are dropped
    /// where their OIDs are looked up.
    std::vector<pg::Param> instance_range() const;
    /// The top directory as it is taken out of recorded commands and values
    /// before two builds are compared: nothing for a build made in "/",
    /// where every path would lose its slashes.
    std::string top_taken_out() const { return root == "/" ? "" : root; }
};

/// Text replacements, each (what, by what), applied in order.
using Replacements = std::vector<std::pair<std::string, std::string>>;

/// An SQL expression: `column` with replacements given as query
/// parameters $first, $first+1, ... (what, by what) applied in order,
/// `count` of them.
std::string replaced_sql(const std::string &column, int first, std::size_t count);

/// The parameters that replaced_sql's expression reads.
std::vector<std::string> replacement_params(const Replacements &replacements);

/// Sets the checksums of the executed commands and recipes of `build`'s
/// instances anew, with `folders` (what, by what) taken out instead of
/// the top directory alone; throws pg::DbError when the database cannot be read.
void load_sums(PGconn *conn, Build &build, const Replacements &folders);

/// Loads the build recorded under `label`; throws BuildError when there
/// is none or it holds no instance, pg::DbError when the database cannot be read.
Build load_build(PGconn *conn, const std::string &label);

/// The labels given to a command checked against each other and the
/// database: both recorded, not the same.  Throws BuildError otherwise.
std::pair<Build, Build> load_two_builds(PGconn *conn, const std::string &label1, const std::string &label2);

} // namespace recorded
