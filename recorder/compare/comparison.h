// Two recorded builds loaded, paired and compared in one snapshot of the
// database: what `tracemake changes` and `tracemake compare` start from.
#pragma once

#include <string>

#include "compare/build_pairing.h"
#include "compare/changes.h"
#include "compare/recorded_build.h"
#include "common/pg.h"

/// Everything the exports know of two builds.
struct Comparison {
    pg::Connection conn;  ///< still in its read-only transaction
    recorded::Build a, b;
    pairing::Pairing pairs;
    changes::ChangeSet set;
};

/// Opens a read-only transaction in which every query sees the same state.
pg::Connection open_snapshot();

/// Loads and compares the builds `label1` and `label2`.  Throws
/// recorded::BuildError when a label is unknown, both are the same, a build
/// is empty, or the two have no file in common; pg::DbError when the
/// database cannot be read.
Comparison compare_builds(const std::string &label1, const std::string &label2);
