// The user's private trace database: a PostgreSQL cluster of their own under
// $XDG_DATA_HOME/daver (else ~/.local/share/daver), listening on a unix
// socket in that folder only, holding "DAVER" with the schema loaded.  It is
// used when no server is named in the environment and none answers on
// libpq's default, and created and started on first use.  As root, the
// server runs as the postgres system user, which owns the folder.
//
// Layout of the folder (mode 0700, owned by the server's user):
//   data/           the cluster (initdb, C locale, UTF8, trust on the socket)
//   lock            held (flock) while the cluster is created or started
//   server.log      the server's own log (pg_ctl -l)
//   programs.log    what initdb and pg_ctl printed on their last run
//   .s.PGSQL.5432   the socket, and its .lock
// A new cluster is made in data.new and renamed to data once "DAVER" holds
// the schema, so that data/ is always a whole trace database.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace privatedb {

/// A fault of the private database; what() is a message for the user.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Reads an environment variable (std::getenv, or a table in a test).
using Lookup = std::function<const char *(const char *)>;

/// The environment variables through which a user names a server (or a role
/// or password on one) for libpq; any of them set and not empty means that
/// the user has chosen a server.
extern const std::vector<std::string> naming_variables;

/// Whether the environment names a server.
bool server_named(const Lookup &env);

/// Whether a server answers on libpq's default (its build's socket, port 5432).
bool default_server_answers();

/// The private database's folder: $XDG_DATA_HOME/daver when XDG_DATA_HOME
/// is an absolute path, else $HOME/.local/share/daver; throws Error when
/// neither can be made.
std::filesystem::path default_folder(const Lookup &env);

/// The folder holding initdb, pg_ctl and postgres: the one of PostgreSQL
/// `version` under a root (ROOT/VERSION/bin), or with an empty `version` the
/// newest under the roots, else a folder of `path` (a PATH value) that holds
/// all three.  Throws Error naming the package to install when none does.
std::filesystem::path server_programs(const std::vector<std::filesystem::path> &roots, const std::string &path,
                                      const std::string &version);

/// A folder's access ACL (the value of system.posix_acl_access, or "" when
/// it has none and `mode` rules alone) with search permission added for
/// user `uid`: how root lets the postgres user pass a closed folder such as
/// /root on the way to the private database.
std::string acl_with_search(const std::string &acl, unsigned mode, unsigned uid);

/// `export PGHOST=HOST PGPORT=PORT`, the values quoted for a POSIX shell.
std::string env_line(const std::string &host, const std::string &port);

/// A private cluster in one folder.
class PrivateDb {
public:
    /// `program` names the messages' sender ("tracemake").
    PrivateDb(std::filesystem::path folder, std::string program);

    const std::filesystem::path &folder() const { return folder_; }
    /// The socket folder, PGHOST for a client.
    std::string host() const { return folder_.string(); }
    /// The port that names the socket, PGPORT for a client.
    static std::string port() { return "5432"; }

    /// Whether the cluster exists (data/PG_VERSION).
    bool exists() const;
    /// Whether a server answers on the folder's socket.
    bool running() const;
    /// Makes the cluster when it does not exist (unless `create` is false)
    /// and starts it when it does not run, saying so in one line on standard
    /// error.  Returns false when there is no cluster and `create` is false.
    /// A second process doing the same meanwhile waits for the first.
    bool start(bool create = true);
    /// Stops a running server; false when none was running.
    bool stop();

private:
    void create_cluster(const std::filesystem::path &bin);
    void start_server(const std::filesystem::path &bin, const std::filesystem::path &data, const std::string &options);
    void stop_server(const std::filesystem::path &bin, const std::filesystem::path &data, const char *mode);
    void load_schema(const std::string &port);
    void check_contents() const;
    void make_folder();
    void open_way_for_server();
    std::filesystem::path programs_for_cluster() const;
    /// Runs a server program (as the server's user), its output in programs.log;
    /// throws Error with `what` and the end of the log when it fails.
    void run(const std::vector<std::string> &argv, const std::string &what);

    std::filesystem::path folder_;
    std::string program_;
};

/// The server that tracemake and traceview should use: nothing (libpq's
/// defaults) when the environment names one or one answers on the default,
/// else the private database, started (and with `create` made) when needed.
/// Without a private cluster and with `create` false, nothing.  Throws Error.
std::optional<PrivateDb> choose_server(const std::string &program, bool create);

/// Points libpq's defaults of this process and of its children at `db`.
void export_to_environment(const PrivateDb &db);

} // namespace privatedb
