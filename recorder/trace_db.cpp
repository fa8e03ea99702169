#include "trace_db.h"

#include <cstdlib>

namespace tracedb {

Connection connect()
{
    Connection conn(PQsetdbLogin(nullptr, nullptr, nullptr, nullptr, "DAVER", nullptr, nullptr));
    if (conn == nullptr)
        throw Error("cannot connect to the trace database \"DAVER\": out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw Error("cannot connect to the trace database \"DAVER\": " + std::string(PQerrorMessage(conn.get())));
    return conn;
}

Result query(PGconn *conn, const char *what, const std::string &sql, const std::vector<std::string> &params)
{
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const std::string &p : params)
        values.push_back(p.c_str());
    Result res(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                            nullptr, 0));
    const ExecStatusType status = PQresultStatus(res.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw Error(std::string("cannot read ") + what + " from \"DAVER\": " + PQerrorMessage(conn));
    return res;
}

long long number(const PGresult *res, int row, int column, long long null_value)
{
    if (PQgetisnull(res, row, column))
        return null_value;
    return std::strtoll(PQgetvalue(res, row, column), nullptr, 10);
}

std::string array_literal(const std::vector<long long> &values)
{
    std::string literal = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            literal += ',';
        literal += std::to_string(values[i]);
    }
    literal += '}';
    return literal;
}

} // namespace tracedb
