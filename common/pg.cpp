#include "common/pg.h"

#include <algorithm>

namespace pg {

namespace {

/// libpq's error text without its line end.
std::string error_text(PGconn *conn)
{
    std::string error = PQerrorMessage(conn);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
        error.pop_back();
    return error;
}

std::function<Server()> chooser;
std::optional<Server> chosen;

const char *or_default(const std::string &value)
{
    return value.empty() ? nullptr : value.c_str();
}

} // namespace

void choose_server_with(std::function<Server()> choose)
{
    chooser = std::move(choose);
    chosen.reset();
}

Connection connect()
{
    if (!chosen)
        chosen = chooser ? chooser() : Server{};
    Connection conn(PQsetdbLogin(or_default(chosen->host), or_default(chosen->port), nullptr, nullptr, "DAVER",
                                 nullptr, nullptr));
    if (!conn)
        throw DbError("cannot reach the trace database \"DAVER\": out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw DbError("cannot reach the trace database \"DAVER\": " + error_text(conn.get()));
    return conn;
}

Result query(PGconn *conn, const std::string &sql, const std::vector<Param> &params)
{
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const Param &param : params)
        values.push_back(param.is_null ? nullptr : param.value.c_str());
    Result res(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                            nullptr, 0));
    const ExecStatusType status = PQresultStatus(res.get());
    if (!res || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK))
        throw DbError(error_text(conn));
    return res;
}

CopyIn::CopyIn(PGconn *conn, const std::string &target) : conn_(conn)
{
    const std::string sql = "COPY " + target + " FROM STDIN";
    Result start(PQexec(conn, sql.c_str()));
    if (PQresultStatus(start.get()) != PGRES_COPY_IN) {
        open_ = false;
        throw DbError(error_text(conn));
    }
}

CopyIn::~CopyIn()
{
    if (!open_)
        return;
    PQputCopyEnd(conn_, "the rows could not be made");
    while (Result res{PQgetResult(conn_)}) {
    }
}

void CopyIn::send(std::string_view data)
{
    constexpr std::size_t piece = 1 << 20;
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t length = std::min(piece, data.size() - at);
        if (PQputCopyData(conn_, data.data() + at, static_cast<int>(length)) != 1)
            throw DbError(error_text(conn_));
    }
}

void CopyIn::finish()
{
    open_ = false;
    if (PQputCopyEnd(conn_, nullptr) != 1)
        throw DbError(error_text(conn_));
    std::string reason;
    while (Result res{PQgetResult(conn_)}) {
        if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
            reason = PQresultErrorMessage(res.get());
            if (reason.empty())
                reason = error_text(conn_);
        }
    }
    while (!reason.empty() && reason.back() == '\n')
        reason.pop_back();
    if (!reason.empty())
        throw DbError(reason);
}

void copy_in(PGconn *conn, const std::string &target, std::string_view data)
{
    CopyIn copy(conn, target);
    copy.send(data);
    copy.finish();
}

} // namespace pg
