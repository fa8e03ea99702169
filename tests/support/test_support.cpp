#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char **environ;

namespace testsupport {

std::string bin_path(const std::string &program)
{
    return std::string(DAVER_BIN_DIR) + "/" + program;
}

namespace {

void drain(int out_fd, int err_fd, std::string &out, std::string &err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open = (out_fd >= 0) + (err_fd >= 0);
    char buf[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

} // namespace

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options)
{
    int out_pipe[2] = {-1, -1}, err_pipe[2];
    if ((options.stdout_path.empty() && pipe(out_pipe) != 0) || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");

    // The extra entries replace inherited ones of the same name.
    std::vector<std::string> env_strings(options.extra_env);
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &extra : options.extra_env)
            replaced = replaced || extra.rfind(name, 0) == 0;
        if (!replaced)
            env_strings.emplace_back(entry);
    }
    std::vector<char *> envp;
    for (auto &e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char *> args;
    std::vector<std::string> arg_copy(argv);
    for (auto &a : arg_copy)
        args.push_back(a.data());
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const std::string in = options.stdin_path.empty() ? "/dev/null" : options.stdin_path;
        const int in_fd = open(in.c_str(), O_RDONLY);
        if (in_fd >= 0)
            dup2(in_fd, 0);
        if (options.stdout_path.empty()) {
            dup2(out_pipe[1], 1);
        } else {
            const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        }
        dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd > 2)
                close(fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (out_pipe[1] >= 0)
        close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult result;
    drain(out_pipe[0], err_pipe[0], result.out, result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    return result;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "daver-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

PgSession::PgSession() : conn_(PQconnectdb("dbname=DAVER"))
{
    if (PQstatus(conn_) != CONNECTION_OK)
        throw std::runtime_error(std::string("cannot connect to the test server: ") + PQerrorMessage(conn_));
}

PgSession::~PgSession()
{
    PQfinish(conn_);
}

void PgSession::exec(const std::string &sql)
{
    PGresult *res = PQexec(conn_, sql.c_str());
    const ExecStatusType status = PQresultStatus(res);
    PQclear(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("statement failed: " + sql + ": " + PQerrorMessage(conn_));
}

std::vector<std::vector<std::string>> PgSession::rows(const std::string &sql)
{
    PGresult *res = PQexec(conn_, sql.c_str());
    if (PQresultStatus(res) != PGRES_TUPLES_OK) {
        PQclear(res);
        throw std::runtime_error("query failed: " + sql + ": " + PQerrorMessage(conn_));
    }
    std::vector<std::vector<std::string>> table;
    for (int r = 0; r < PQntuples(res); ++r) {
        auto &row = table.emplace_back();
        for (int c = 0; c < PQnfields(res); ++c)
            row.emplace_back(PQgetisnull(res, r, c) ? "<NULL>" : PQgetvalue(res, r, c));
    }
    PQclear(res);
    return table;
}

std::string PgSession::table_digest(const std::string &table)
{
    const auto digest = rows("SELECT count(*) || ':' || coalesce(md5(string_agg(t::text, E'\\n' ORDER BY t::text)), '') FROM " +
                             table + " t");
    return digest.at(0).at(0);
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
