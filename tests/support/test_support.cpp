#include "test_support.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "common/files.h"

namespace testsupport {

std::string bin_path(const std::string &program)
{
    return std::string(DAVER_BIN_DIR) + "/" + program;
}

namespace {

// The words of DAVER_RUN_WRAPPER, split at blanks; empty when it is unset.
std::vector<std::string> run_wrapper()
{
    std::vector<std::string> words;
    const char *wrapper = std::getenv("DAVER_RUN_WRAPPER");
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Whether `program` is one of this build's programs, which run under the wrapper.
bool is_built_program(const std::string &program)
{
    return program.rfind(std::string(DAVER_BIN_DIR) + "/", 0) == 0;
}

std::unique_ptr<child::Child> start(const std::vector<std::string> &argv, const RunOptions &options)
{
    std::vector<std::string> words;
    if (!argv.empty() && is_built_program(argv[0]))
        words = run_wrapper();
    words.insert(words.end(), argv.begin(), argv.end());
    child::Options how;
    how.stdin_file = options.stdin_path;
    if (!options.stdout_path.empty()) {
        how.out = child::Sink::file;
        how.out_file = options.stdout_path;
    }
    how.env = options.extra_env;
    how.cwd = options.cwd;
    return std::make_unique<child::Child>(words, how);
}

} // namespace

BackgroundRun::BackgroundRun(const std::vector<std::string> &argv, const RunOptions &options)
    : child_(start(argv, options))
{
}

BackgroundRun::~BackgroundRun() = default;

bool BackgroundRun::ended() const
{
    return child_->ended();
}

void BackgroundRun::signal(int sig) const
{
    if (child_->pid() > 0)
        ::kill(child_->pid(), sig);
}

RunResult BackgroundRun::wait()
{
    const child::Result r = child_->wait();
    return {r.exit_code, r.term_signal, r.out, r.started ? r.err : r.err + "cannot start: " + r.start_error + "\n"};
}

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options)
{
    return BackgroundRun(argv, options).wait();
}

std::string read_file(const std::string &path)
{
    return files::read(path);
}

void write_file(const std::string &path, const std::string &content)
{
    files::write(path, content);
}

namespace {

// A connection to "DAVER"; libpq's defaults fill in what `host` leaves empty.
pg::Connection connect_to_daver(const std::string &host)
{
    const char *keys[] = {"dbname", host.empty() ? nullptr : "host", nullptr};
    const char *values[] = {"DAVER", host.c_str(), nullptr};
    pg::Connection conn(PQconnectdbParams(keys, values, 0));
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the test server: " + std::string(PQerrorMessage(conn.get())));
    return conn;
}

} // namespace

PgSession::PgSession() : conn_(connect_to_daver({})) {}

PgSession::PgSession(const std::string &host) : conn_(connect_to_daver(host)) {}

void PgSession::exec(const std::string &sql)
{
    const pg::Result res(PQexec(conn_.get(), sql.c_str()));
    const ExecStatusType status = PQresultStatus(res.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("statement failed: " + sql + ": " + PQerrorMessage(conn_.get()));
}

std::vector<std::vector<std::string>> PgSession::rows(const std::string &sql)
{
    const pg::Result res(PQexec(conn_.get(), sql.c_str()));
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
        throw std::runtime_error("query failed: " + sql + ": " + PQerrorMessage(conn_.get()));
    std::vector<std::vector<std::string>> table;
    for (int r = 0; r < PQntuples(res.get()); ++r) {
        auto &row = table.emplace_back();
        for (int c = 0; c < PQnfields(res.get()); ++c)
            row.emplace_back(PQgetisnull(res.get(), r, c) ? "<NULL>" : PQgetvalue(res.get(), r, c));
    }
    return table;
}

std::string PgSession::value(const std::string &sql)
{
    return rows(sql).at(0).at(0);
}

std::string PgSession::table_digest(const std::string &table)
{
    return value("SELECT count(*) || ':' || coalesce(md5(string_agg(t::text, E'\\n' ORDER BY t::text)), '') FROM " + table +
                 " t");
}

void use_test_cluster()
{
#ifdef DAVER_TEST_PGDIR
    setenv("PGHOST", DAVER_TEST_PGDIR "/sock", 1);
    setenv("PGPORT", "5432", 1);
    setenv("PGUSER", "postgres", 1);
    unsetenv("PGDATABASE");
    unsetenv("PGOPTIONS");
#endif
}

} // namespace testsupport
