// Ownership of libpq's connections and results, for every program that
// talks to "DAVER"; and the recorder's connection: reached through libpq's
// defaults (PGHOST, PGPORT, PGUSER, ...) as the query tools reach it, with
// every failure turned into a DbError that carries the server's own words.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <libpq-fe.h>

namespace pg {

/// A failed connection or statement; what() is a message for the user.
struct DbError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ConnectionDeleter {
    void operator()(PGconn *conn) const noexcept { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

struct ResultDeleter {
    void operator()(PGresult *res) const noexcept { PQclear(res); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

/// Connects to "DAVER"; throws DbError saying why the server cannot be reached.
Connection connect();

/// Where connect() goes: a host (or socket folder) and a port; empty for libpq's defaults.
struct Server {
    std::string host, port;
};

/// Makes connect() ask `choose`, before its first connection, which server
/// to use (without changing the environment that children inherit); a
/// `choose` that throws DbError is asked again by the next connect().
void choose_server_with(std::function<Server()> choose);

/// A parameter of query(): text, or SQL NULL.
struct Param {
    Param(std::string text) : value(std::move(text)) {}
    Param(const char *text) : value(text) {}
    static Param null() { return Param(); }
    std::string value;
    bool is_null = false;

private:
    Param() : is_null(true) {}
};

/// Runs one statement with its parameters bound ($1, $2, ...); throws DbError when it fails.
Result query(PGconn *conn, const std::string &sql, const std::vector<Param> &params = {});

/// A COPY into one table, fed piece by piece while its rows are still being made.
class CopyIn {
public:
    /// Starts `COPY target FROM STDIN` (target "TABLE (COLUMNS)"); throws DbError when refused.
    CopyIn(PGconn *conn, const std::string &target);
    /// Ends a COPY that was not finished as failed, so that the connection can be used again.
    ~CopyIn();
    CopyIn(const CopyIn &) = delete;
    CopyIn &operator=(const CopyIn &) = delete;
    /// Sends `data` (COPY text, whole lines); throws DbError when the server is gone.
    void send(std::string_view data);
    /// Ends the COPY; throws DbError with the server's reason when it refused the rows.
    void finish();

private:
    PGconn *conn_;
    bool open_ = true;
};

/// Sends `data` (COPY text) into `target` in one COPY; throws DbError when the server refuses it.
void copy_in(PGconn *conn, const std::string &target, std::string_view data);

/// The text of a value of a result row (empty for NULL).
inline std::string text(const Result &res, int row, int column)
{
    return PQgetvalue(res.get(), row, column);
}

} // namespace pg
