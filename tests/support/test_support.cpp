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

// The environment of a started program: ours, with `extra` entries
// replacing those of the same name.
std::vector<std::string> program_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env(extra);
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &x : extra)
            replaced = replaced || x.rfind(name, 0) == 0;
        if (!replaced)
            env.emplace_back(entry);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

BackgroundRun::BackgroundRun(const std::vector<std::string> &argv, const RunOptions &options)
{
    int out_pipe[2] = {-1, -1}, err_pipe[2];
    if ((options.stdout_path.empty() && pipe2(out_pipe, O_CLOEXEC) != 0) || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> env_strings = program_environment(options.extra_env);
    std::vector<std::string> arg_strings;
    if (!argv.empty() && is_built_program(argv[0]))
        arg_strings = run_wrapper();
    arg_strings.insert(arg_strings.end(), argv.begin(), argv.end());
    std::vector<char *> envp = pointers(env_strings);
    std::vector<char *> args = pointers(arg_strings);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
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
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        // The path search finds a wrapper named without a folder.
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (out_pipe[1] >= 0)
        close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

BackgroundRun::~BackgroundRun()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR)
            ;
    }
    for (int fd : {out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

bool BackgroundRun::ended() const
{
    if (pid_ <= 0)
        return true;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void BackgroundRun::signal(int sig) const
{
    if (pid_ > 0)
        kill(pid_, sig);
}

RunResult BackgroundRun::wait()
{
    RunResult result;
    drain(out_fd_, err_fd_, result.out, result.err);
    out_fd_ = err_fd_ = -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR)
        ;
    pid_ = -1;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    return result;
}

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options)
{
    return BackgroundRun(argv, options).wait();
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

namespace {

// A connection to "DAVER"; libpq's defaults fill in what `host` leaves empty.
PGconn *connect_to_daver(const std::string &host)
{
    const char *keys[] = {"dbname", host.empty() ? nullptr : "host", nullptr};
    const char *values[] = {"DAVER", host.c_str(), nullptr};
    PGconn *conn = PQconnectdbParams(keys, values, 0);
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string error = PQerrorMessage(conn);
        PQfinish(conn);
        throw std::runtime_error("cannot connect to the test server: " + error);
    }
    return conn;
}

} // namespace

PgSession::PgSession() : conn_(connect_to_daver({})) {}

PgSession::PgSession(const std::string &host) : conn_(connect_to_daver(host)) {}

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
