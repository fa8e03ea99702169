// Why a changed target changed, as far as the database tells: the
// variables that differ between the two make processes that made it, its
// recipe text, the commands that ran, and prerequisites that changed, came
// or went.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "compare/build_pairing.h"
#include "compare/changes.h"
#include "compare/recorded_build.h"

namespace reasons {

/// The reasons found for one changed file.
struct Explained {
    std::uint32_t file = 0;
    long long oid_a = 0, oid_b = 0;  ///< the two instances compared
    bool target = false;             ///< a rule makes it in either build
    bool procs_paired = true;        ///< the two instances belong to paired make processes
    std::vector<std::string> variables;  ///< names of variables whose value or origin differ
    std::vector<std::string> recipe_variables;  ///< those of them that its recipe names as $(NAME) or ${NAME}
    bool recipe = false;             ///< the recipe text differs
    bool commands = false;           ///< the executed commands differ
    std::vector<std::string> changed_prereqs, new_prereqs, dropped_prereqs;  ///< relative paths
};

/// The reasons for each changed file of `set`, in its order.  Reads the
/// variables of the make processes involved from the database; throws
/// pg::DbError when it cannot.
std::vector<Explained> explain(PGconn *conn, const recorded::Build &a, const recorded::Build &b,
                               const pairing::Pairing &pairs, const changes::ChangeSet &set);

} // namespace reasons
