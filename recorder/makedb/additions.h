// Taking the recorder's own additions out of what a make process shows, so
// that the rows hold the build as it would have run without the recorder:
// TRACEMAKE_* variables, the --eval that exports TRACEMAKE_TARGET, the shim folder
// in PATH, the preload library in LD_PRELOAD, and the shim's path where
// make names itself (MAKE, MAKE_COMMAND, the commands it ran through $(MAKE)).
#pragma once

#include <string>
#include <string_view>

#include "makedb/makedb.h"

namespace additions {

/// What the recorder put into one make process (from build.tsv and proc.tsv).
struct Additions {
    std::string shimdir; ///< the folder of the make shim, first in PATH
    std::string preload; ///< the library preloaded into the real make
    std::string argv0;   ///< how the build named make, where the shim's path shows instead
};

/// Takes the additions out of a data base's global variables.
void take_out(makedb::Database &db, const Additions &added);

/// A command that make ran, with the shim's path (what $(MAKE) expanded to) named as the build named make.
std::string take_out_of_command(std::string_view command, const Additions &added);

} // namespace additions
