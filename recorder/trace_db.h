// The recorder's own connection to the trace database "DAVER": libpq
// handles that free themselves, and queries whose failure is an exception
// carrying the server's message, so a command reports it once at its top.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace tracedb {

/// A failure to reach the database or to run a statement, with the message to show.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ConnectionDeleter {
    void operator()(PGconn *conn) const noexcept { PQfinish(conn); }
};
struct ResultDeleter {
    void operator()(PGresult *res) const noexcept { PQclear(res); }
};
/// Owns a libpq connection.
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;
/// Owns a libpq result.
using Result = std::unique_ptr<PGresult, ResultDeleter>;

/// Connects to "DAVER" through libpq's defaults (PGHOST, PGPORT, PGUSER, ...).
Connection connect();

/// Runs `sql` with `params` bound as text parameters $1, $2, ...; a
/// statement that fails throws Error naming `what` and the server's message.
Result query(PGconn *conn, const char *what, const std::string &sql, const std::vector<std::string> &params = {});

/// The text of a column, or "" when it is NULL.
inline std::string text(const PGresult *res, int row, int column)
{
    return std::string(PQgetvalue(res, row, column), static_cast<std::size_t>(PQgetlength(res, row, column)));
}

/// A column read as an integer; NULL reads as `null_value`.
long long number(const PGresult *res, int row, int column, long long null_value = 0);

/// A PostgreSQL array literal of numbers ("{1,2,3}"), to bind as one parameter.
std::string array_literal(const std::vector<long long> &values);

} // namespace tracedb
