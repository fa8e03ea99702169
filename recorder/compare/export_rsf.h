// Recorded builds as RSF relations for relplot: each file instance a node
// named by its OID, its make properties, the directory tree from the top
// make's directory down, the prerequisite and sub-make edges, and for two
// builds the layers and the SAME pairs that draw a file of both as one node.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "compare/build_pairing.h"
#include "compare/picture_view.h"
#include "compare/recorded_build.h"

namespace rsf {

/// Whether `c` ends a word of RSF or of changescan's list (both read words as C's isspace splits them).
bool is_word_break(char c);

/// `text` as one RSF token: RSF splits at white space and has no quoting,
/// so white space is written as a backslash and three octal digits, a
/// backslash as two, and an empty text as "\000".
std::string token(std::string_view text);

/// Writes the relations of one build to `out`; throws std::runtime_error when `out` cannot take them.
void write_build(std::FILE *out, const recorded::Build &build);

/// Writes the relations of two builds compared, the first build's tree
/// holding both: LAYERNAME and LAYER for each, SAME for each pair of
/// instances, and the second build's unpaired instances at the place in
/// the first build's tree that stands for theirs.  With a `view`, only
/// what it keeps, and a node per box of files not drawn.
void write_comparison(std::FILE *out, const recorded::Build &a, const recorded::Build &b,
                      const pairing::Pairing &pairs, const picture::View *view = nullptr);

} // namespace rsf
