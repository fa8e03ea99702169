// The trace database as the recorder writes it: the check made before a
// build starts, and the load of a finished spool in one transaction.
#pragma once

#include <filesystem>
#include <string>

namespace store {

/// Checks, before a build runs, that "DAVER" is reachable through libpq's
/// defaults and holds the recorder's tables, and that `label` is not recorded
/// yet (unless `replace`).  Throws std::runtime_error with the message to
/// show (one line or more, no program name in front) when not.
void check_server(const std::string &label, bool replace);

/// Loads the spool in `dir` as one build: every row in one transaction, with
/// COPY; an earlier build of the same label is replaced in that transaction
/// when the spool says `replace`, else refused.  Throws std::runtime_error
/// with the message to show; then nothing has been stored.  A build whose
/// record is not whole (a spool file that could not be written or read) is
/// stored as incomplete, and standard error says what is missing.
void load_spool(const std::filesystem::path &dir);

} // namespace store
