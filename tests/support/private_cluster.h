// A PostgreSQL cluster of one test's own, for faults that must not reach the
// shared test cluster: a server stopped in the middle of a run, a server
// whose every statement is logged.  It holds "DAVER" with the schema and
// the same test data as the shared cluster.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

/// One entry of the server's CSV log, the fields the tests read.
struct ServerLogEntry {
    std::string severity;    ///< LOG, ERROR, FATAL, ...
    std::string message;     ///< "statement: BEGIN", "execute <unnamed>: SELECT ...", an error text
    std::string query;       ///< the statement an error arose in, or empty
    std::string application; ///< the session's application_name
};

/// The server settings that log every statement into CSV files, which
/// server_log() reads.
inline const std::vector<std::string> log_every_statement = {"log_statement=all", "logging_collector=on",
                                                             "log_destination=csvlog"};

/// A throwaway cluster started by scripts/pgcluster.sh in a fresh folder,
/// with `settings` (NAME=VALUE) added to the server's; stopped and removed
/// with the object.
class PrivateCluster {
public:
    explicit PrivateCluster(const std::vector<std::string> &settings = {});
    ~PrivateCluster();
    PrivateCluster(const PrivateCluster &) = delete;
    PrivateCluster &operator=(const PrivateCluster &) = delete;

    /// The folder of the server's socket: PGHOST for its clients.
    std::string host() const { return (root_ / "sock").string(); }
    /// The environment entries that point a program at this server.
    std::vector<std::string> env() const { return {"PGHOST=" + host()}; }
    /// Stops the server ("fast" or "immediate" shutdown); the folder and
    /// its logs stay until the object goes away.
    void halt(const std::string &mode);
    /// Every entry that the server has logged so far, in order, when it runs
    /// with log_every_statement: a mark statement is sent through `session`
    /// and the log is read until the mark shows, so nothing logged before the
    /// call is missing.  The mark's own entry is left out.
    std::vector<ServerLogEntry> server_log(PgSession &session) const;

private:
    TempDir dir_;
    std::filesystem::path root_;
};

/// Splits CSV text (RFC 4180: quoted fields may hold commas, doubled quotes
/// and line ends) into records of fields.
std::vector<std::vector<std::string>> parse_csv(const std::string &text);

} // namespace testsupport
