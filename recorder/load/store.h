// The trace database as the recorder writes it: the check made before a
// build starts, and the load of a finished spool in one transaction.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace store {

/// Checks, before a build runs, that "DAVER" is reachable through libpq's
/// defaults and holds the recorder's tables, and that `label` is not recorded
/// yet (unless `replace`).  Throws std::runtime_error with the message to
/// show (one line or more, no program name in front) when not.
void check_server(const std::string &label, bool replace);

/// What a load stored.
struct Stored {
    std::string label;
    std::size_t procs = 0, instances = 0, executed = 0, variables = 0;
    double seconds = 0;  ///< from reading the spool to the commit
    std::vector<std::string> lost;  ///< what of the record could not be written or read
};

/// Loads the spool in `dir` as one build: every row in one transaction, with
/// COPY; an earlier build of the same label is replaced in that transaction
/// when the spool says `replace`, else refused; what was stored goes into
/// `*stored` when given.  Throws std::runtime_error with the message to
/// show; then nothing has been stored.  A build whose record is not whole (a
/// spool file that could not be written or read) is stored as incomplete,
/// and standard error says what is missing.
void load_spool(const std::filesystem::path &dir, Stored *stored = nullptr);

/// The line that tells what a load stored, without program name or newline.
std::string describe(const Stored &stored);

} // namespace store
