#include "common/private_db.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <tuple>

#include "common/pg.h"
#include "common/child.h"
#include "common/files.h"

namespace fs = std::filesystem;

namespace privatedb {

const std::vector<std::string> naming_variables = {"PGHOST", "PGHOSTADDR", "PGPORT",
                                                   "PGDATABASE", "PGUSER", "PGSERVICE"};

namespace {

/// Where Debian and Ubuntu put each PostgreSQL version's server programs (VERSION/bin).
const fs::path debian_programs = "/usr/lib/postgresql";
/// The port that names the socket while a new cluster is being filled, so
/// that no client takes it for a finished one.
const std::string filling_port = "5431";

bool is_root()
{
    return geteuid() == 0;
}

/// The system user the server runs as when we are root.
const passwd &server_account()
{
    static const passwd *account = getpwnam("postgres");
    if (!account)
        throw Error("the server cannot run as root and there is no postgres user to run it: install the package "
                    "postgresql");
    return *account;
}

/// The database role of the cluster: the user's login name, which is libpq's
/// default role, so that a client needs no PGUSER.
std::string role_name()
{
    const passwd *me = getpwuid(geteuid());
    if (!me)
        throw Error("this user (uid " + std::to_string(geteuid()) + ") has no name for the database's role");
    return me->pw_name;
}

bool has_server_programs(const fs::path &dir)
{
    for (const char *name : {"initdb", "pg_ctl", "postgres"})
        if (access((dir / name).c_str(), X_OK) != 0)
            return false;
    return true;
}

/// An exclusive flock on a file, held while the object lives; the file is
/// not inherited by the server (close-on-exec), so the lock ends with us.
class FileLock {
public:
    explicit FileLock(const fs::path &path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd_ < 0)
            throw Error("cannot open the lock " + path.string() + ": " + std::strerror(errno));
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                close(fd_);
                throw Error("cannot lock " + path.string() + ": " + std::strerror(error));
            }
        }
    }
    ~FileLock() { close(fd_); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_;
};

/// What a server program's log says went wrong: its last FATAL or ERROR
/// line (after it, initdb only says that it cleans up; the server's log
/// keeps earlier runs above), else its last line.
std::string trouble_in(const fs::path &file)
{
    std::ifstream in(file);
    std::string line, last, fault;
    while (std::getline(in, line)) {
        if (line.find("FATAL:") != std::string::npos || line.find("ERROR:") != std::string::npos)
            fault = line;
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    }
    return fault.empty() ? last : fault;
}

/// A value for postgresql.conf: single quotes, with quotes and backslashes doubled.
std::string conf_string(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            quoted += c;
        quoted += c;
    }
    return quoted + "'";
}

/// schema.sql: installed beside the program (PREFIX/share/daver/schema.sql
/// for PREFIX/bin/PROGRAM), else in the source tree it was built from.
fs::path schema_file()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    std::vector<fs::path> places;
    if (!ec)
        places.push_back(self.parent_path().parent_path() / "share/daver/schema.sql");
    places.emplace_back(DAVER_SCHEMA_SOURCE);
    for (const fs::path &place : places)
        if (fs::is_regular_file(place, ec))
            return place;
    std::string looked;
    for (const fs::path &place : places)
        looked += (looked.empty() ? "" : ", ") + place.string();
    throw Error("cannot find the trace database's schema (looked for " + looked + ")");
}

/// A connection to database `dbname` of the server on `host`:`port`.
pg::Connection connect_to(const std::string &host, const std::string &port, const char *dbname)
{
    const char *keys[] = {"host", "port", "dbname", "connect_timeout", nullptr};
    const char *values[] = {host.c_str(), port.c_str(), dbname, "10", nullptr};
    pg::Connection conn(PQconnectdbParams(keys, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw Error(std::string("cannot reach the new cluster's database ") + dbname + ": " +
                    (conn ? PQerrorMessage(conn.get()) : "out of memory"));
    return conn;
}

bool answers(PGPing ping)
{
    return ping == PQPING_OK || ping == PQPING_REJECT;
}

/// An entry of a POSIX ACL as the kernel stores it (little-endian).
struct AclEntry {
    std::uint16_t tag, perm;
    std::uint32_t id;
};
constexpr std::uint16_t acl_user_obj = 0x01, acl_user = 0x02, acl_group_obj = 0x04, acl_group = 0x08,
                        acl_mask = 0x10, acl_other = 0x20;
constexpr std::uint32_t acl_no_id = 0xffffffff;
constexpr std::uint16_t acl_search = 1;

std::uint32_t little_endian(const std::string &bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void put_little_endian(std::string &bytes, std::uint32_t value, int size)
{
    for (int i = 0; i < size; ++i, value >>= 8)
        bytes += static_cast<char>(value & 0xff);
}

const char acl_attribute[] = "system.posix_acl_access";

} // namespace

std::string acl_with_search(const std::string &acl, unsigned mode, unsigned uid)
{
    std::vector<AclEntry> entries;
    if (acl.size() >= 4 && (acl.size() - 4) % 8 == 0 && little_endian(acl, 0, 4) == 2) {
        for (std::size_t at = 4; at < acl.size(); at += 8)
            entries.push_back({static_cast<std::uint16_t>(little_endian(acl, at, 2)),
                               static_cast<std::uint16_t>(little_endian(acl, at + 2, 2)),
                               little_endian(acl, at + 4, 4)});
    } else {
        entries = {{acl_user_obj, static_cast<std::uint16_t>(mode >> 6 & 7), acl_no_id},
                   {acl_group_obj, static_cast<std::uint16_t>(mode >> 3 & 7), acl_no_id},
                   {acl_other, static_cast<std::uint16_t>(mode & 7), acl_no_id}};
    }
    bool has_user = false, has_mask = false;
    std::uint16_t group_class = 0;
    for (AclEntry &entry : entries) {
        if (entry.tag == acl_user && entry.id == uid) {
            entry.perm |= acl_search;
            has_user = true;
        }
        if (entry.tag == acl_mask) {
            entry.perm |= acl_search;
            has_mask = true;
        }
        if (entry.tag == acl_group_obj || entry.tag == acl_user || entry.tag == acl_group)
            group_class |= entry.perm;
    }
    if (!has_user)
        entries.push_back({acl_user, acl_search, uid});
    // A named entry needs a mask; without one there was no named entry, and
    // the group class is the owning group's and ours.
    if (!has_mask)
        entries.push_back({acl_mask, static_cast<std::uint16_t>(group_class | acl_search), acl_no_id});
    std::sort(entries.begin(), entries.end(), [](const AclEntry &a, const AclEntry &b) {
        return std::tie(a.tag, a.id) < std::tie(b.tag, b.id);
    });
    std::string out;
    put_little_endian(out, 2, 4);
    for (const AclEntry &entry : entries) {
        put_little_endian(out, entry.tag, 2);
        put_little_endian(out, entry.perm, 2);
        put_little_endian(out, entry.id, 4);
    }
    return out;
}

bool server_named(const Lookup &env)
{
    return std::any_of(naming_variables.begin(), naming_variables.end(), [&](const std::string &name) {
        const char *value = env(name.c_str());
        return value != nullptr && *value != 0;
    });
}

bool default_server_answers()
{
    return answers(PQping("connect_timeout=10"));
}

fs::path default_folder(const Lookup &env)
{
    // The XDG rule: a relative XDG_DATA_HOME is to be ignored.
    const char *xdg = env("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return fs::path(xdg) / "daver";
    const char *home = env("HOME");
    if (!home || !*home) {
        const passwd *me = getpwuid(geteuid());
        home = me ? me->pw_dir : nullptr;
    }
    if (!home || *home != '/')
        throw Error("neither XDG_DATA_HOME nor HOME says where the private trace database goes");
    return fs::path(home) / ".local/share/daver";
}

fs::path server_programs(const std::vector<fs::path> &roots, const std::string &path, const std::string &version)
{
    std::error_code ec;
    fs::path best;
    double best_version = -1;
    for (const fs::path &root : roots) {
        if (!version.empty()) {
            if (has_server_programs(root / version / "bin"))
                return root / version / "bin";
            continue;
        }
        for (const auto &entry : fs::directory_iterator(root, ec)) {
            const std::string name = entry.path().filename().string();
            char *end = nullptr;
            const double number = std::strtod(name.c_str(), &end);
            if (end != name.c_str() && *end == 0 && number > best_version && has_server_programs(entry.path() / "bin")) {
                best = entry.path() / "bin";
                best_version = number;
            }
        }
    }
    if (!best.empty())
        return best;
    for (std::size_t begin = 0; begin <= path.size();) {
        const std::size_t end = std::min(path.find(':', begin), path.size());
        const fs::path dir = path.substr(begin, end - begin);
        if (dir.is_absolute() && has_server_programs(dir))
            return dir;
        begin = end + 1;
    }
    if (version.empty())
        throw Error("PostgreSQL's server programs (initdb, pg_ctl, postgres) are not installed: install the package "
                    "postgresql (on Debian and Ubuntu they go to /usr/lib/postgresql/VERSION/bin)");
    throw Error("the private trace database was made by PostgreSQL " + version +
                ", whose server programs are not installed: install the package postgresql-" + version +
                " (on Debian and Ubuntu they go to /usr/lib/postgresql/" + version + "/bin)");
}

std::string env_line(const std::string &host, const std::string &port)
{
    auto quoted = [](const std::string &value) {
        const bool plain = !value.empty() && std::all_of(value.begin(), value.end(), [](unsigned char c) {
            return std::isalnum(c) || std::strchr("_@%+=:,./-", c) != nullptr;
        });
        if (plain)
            return value;
        std::string out = "'";
        for (char c : value)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    return "export PGHOST=" + quoted(host) + " PGPORT=" + quoted(port) + "\n";
}

PrivateDb::PrivateDb(fs::path folder, std::string program) : folder_(std::move(folder)), program_(std::move(program))
{
}

bool PrivateDb::exists() const
{
    std::error_code ec;
    return fs::is_regular_file(folder_ / "data" / "PG_VERSION", ec);
}

bool PrivateDb::running() const
{
    const std::string host = this->host(), port = this->port();
    const char *keys[] = {"host", "port", "dbname", "connect_timeout", nullptr};
    const char *values[] = {host.c_str(), port.c_str(), "postgres", "10", nullptr};
    return answers(PQpingParams(keys, values, 0));
}

bool PrivateDb::start(bool create)
{
    if (running())
        return true;
    if (!create && !exists())
        return false;
    make_folder();
    check_contents();
    const FileLock lock(folder_ / "lock");
    // Another process may have started or made it while we waited.
    if (running())
        return true;
    if (is_root())
        open_way_for_server();
    const bool made = !exists();
    if (made) {
        if (!create)
            return false;
        const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
        create_cluster(server_programs({debian_programs}, path, ""));
    }
    start_server(programs_for_cluster(), folder_ / "data", "");
    if (made)
        std::fprintf(stderr,
                     "%s: made a private trace database in %s and started it (tracemake db status | stop | env)\n",
                     program_.c_str(), folder_.c_str());
    else
        std::fprintf(stderr, "%s: started the private trace database in %s\n", program_.c_str(), folder_.c_str());
    return true;
}

bool PrivateDb::stop()
{
    if (!exists())
        return false;
    check_contents();
    const FileLock lock(folder_ / "lock");
    if (!running())
        return false;
    stop_server(programs_for_cluster(), folder_ / "data", "fast");
    return true;
}

void PrivateDb::make_folder()
{
    // sun_path holds 108 bytes with the final NUL.
    const std::string socket = (folder_ / ".s.PGSQL.").string() + port();
    if (socket.size() >= sizeof(sockaddr_un::sun_path))
        throw Error("the private trace database's socket " + socket + " would be longer than a socket path may be (" +
                    std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                    " bytes): set XDG_DATA_HOME to a shorter folder");
    std::error_code ec;
    fs::create_directories(folder_.parent_path(), ec);
    if (ec)
        throw Error("cannot create " + folder_.parent_path().string() + ": " + ec.message());
    if (mkdir(folder_.c_str(), 0700) == 0) {
        if (is_root() && chown(folder_.c_str(), server_account().pw_uid, server_account().pw_gid) != 0)
            throw Error("cannot give " + folder_.string() + " to the postgres user: " + std::strerror(errno));
    } else if (errno != EEXIST) {
        throw Error("cannot create " + folder_.string() + ": " + std::strerror(errno));
    }
    if (!fs::is_directory(folder_, ec))
        throw Error(folder_.string() + " is not a folder, so it cannot hold the private trace database; nothing was "
                                       "changed: move it away, or set XDG_DATA_HOME to use another place");
}

void PrivateDb::open_way_for_server()
{
    // The server's user must pass every folder above its own; one that is
    // closed to it (/root, 0700) gets an ACL entry that lets it search, and
    // nobody else: mode and other entries stay as they were.
    const passwd &server = server_account();
    fs::path walked;
    for (const fs::path &part : folder_.parent_path()) {
        walked /= part;
        struct stat st {};
        if (stat(walked.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) != 0 || st.st_uid == server.pw_uid)
            continue;
        std::string acl;
        const ssize_t needed = getxattr(walked.c_str(), acl_attribute, nullptr, 0);
        if (needed > 0) {
            acl.resize(static_cast<std::size_t>(needed));
            const ssize_t size = getxattr(walked.c_str(), acl_attribute, acl.data(), acl.size());
            if (size < 0)
                throw Error("cannot read the ACL of " + walked.string() + ": " + std::strerror(errno));
            acl.resize(static_cast<std::size_t>(size));
        }
        const std::string opened = acl_with_search(acl, st.st_mode & 07777, server.pw_uid);
        if (opened == acl)
            continue;
        if (setxattr(walked.c_str(), acl_attribute, opened.data(), opened.size(), 0) != 0)
            throw Error("the server runs as the postgres user, who may not pass " + walked.string() + " to reach " +
                        folder_.string() + ", and it cannot be let through (" + std::strerror(errno) +
                        "): chmod o+x " + walked.string() + ", or set XDG_DATA_HOME to a folder it can reach");
        std::fprintf(stderr, "%s: the postgres user, who runs the private trace database, may now pass %s (an ACL "
                             "entry that lets it search the folder, not read it)\n",
                     program_.c_str(), walked.c_str());
    }
}

void PrivateDb::check_contents() const
{
    static const std::set<std::string> ours = {"data", "data.new", "lock", "server.log", "programs.log",
                                               ".s.PGSQL.5432", ".s.PGSQL.5432.lock", ".s.PGSQL.5431",
                                               ".s.PGSQL.5431.lock"};
    const std::string advice = "; nothing was changed: move it away, or set XDG_DATA_HOME to use another place";
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        if (!ours.count(name))
            throw Error(folder_.string() + " is not a private trace database (it holds " + name + ")" + advice);
    }
    if (ec)
        throw Error("cannot read " + folder_.string() + ": " + ec.message());
    if (fs::exists(folder_ / "data", ec) && !exists())
        throw Error((folder_ / "data").string() + " is not a PostgreSQL cluster (it has no PG_VERSION)" + advice);
}

fs::path PrivateDb::programs_for_cluster() const
{
    std::string version;
    try {
        version = files::read(folder_ / "data" / "PG_VERSION");
    } catch (const std::runtime_error &error) {
        throw Error(error.what());
    }
    while (!version.empty() && (version.back() == '\n' || version.back() == ' '))
        version.pop_back();
    const char *path = std::getenv("PATH");
    return server_programs({debian_programs}, path ? path : "", version);
}

void PrivateDb::run(const std::vector<std::string> &argv, const std::string &what)
{
    std::vector<std::string> full;
    if (is_root()) {
        const char *runuser = access("/usr/sbin/runuser", X_OK) == 0 ? "/usr/sbin/runuser" : "runuser";
        full = {runuser, "-u", server_account().pw_name, "--"};
    }
    full.insert(full.end(), argv.begin(), argv.end());
    const fs::path log = folder_ / "programs.log";
    child::Options options;
    options.out = child::Sink::file;
    options.out_file = log.string();
    options.err = child::Sink::same_as_out;
    const child::Result result = child::run(full, options);
    if (!result.started)
        throw Error(what + ": cannot start " + full[0] + ": " + result.start_error);
    if (result.status() != 0) {
        const std::string said = trouble_in(log);
        throw Error(what + (said.empty() ? "" : ": " + said) + " (" + log.string() + ")");
    }
}

void PrivateDb::start_server(const fs::path &bin, const fs::path &data, const std::string &options)
{
    std::vector<std::string> argv = {(bin / "pg_ctl").string(), "-D", data.string(), "-l",
                                     (folder_ / "server.log").string(), "-w", "-t", "120"};
    if (!options.empty()) {
        argv.push_back("-o");
        argv.push_back(options);
    }
    argv.push_back("start");
    try {
        run(argv, "the private trace database in " + folder_.string() + " did not start");
    } catch (const Error &error) {
        const std::string said = trouble_in(folder_ / "server.log");
        throw Error(error.what() + (said.empty() ? "" : "; the server said: " + said));
    }
}

void PrivateDb::stop_server(const fs::path &bin, const fs::path &data, const char *mode)
{
    run({(bin / "pg_ctl").string(), "-D", data.string(), "-m", mode, "-w", "-t", "120", "stop"},
        "the private trace database in " + folder_.string() + " did not stop");
}

void PrivateDb::create_cluster(const fs::path &bin)
{
    const fs::path fresh = folder_ / "data.new";
    std::error_code ec;
    // Under the lock, a data.new is what a creation that did not end left:
    // it never held a database that anyone used.
    if (fs::exists(fresh, ec)) {
        if (fs::exists(fresh / "postmaster.pid", ec)) {
            try {
                stop_server(bin, fresh, "immediate");
            } catch (const Error &) {
                // a server that is gone already
            }
        }
        fs::remove_all(fresh, ec);
    }
    // Whatever stops the creation (a full disk, a schema refused) stops its
    // server and takes data.new away, so that a later run starts afresh.
    struct Unfinished {
        PrivateDb &db;
        const fs::path &bin, &fresh;
        bool server = false, done = false;
        ~Unfinished()
        {
            if (done)
                return;
            if (server) {
                try {
                    db.stop_server(bin, fresh, "immediate");
                } catch (const Error &) {
                    // nothing more to do about it here
                }
            }
            std::error_code ignored;
            fs::remove_all(fresh, ignored);
        }
    } unfinished{*this, bin, fresh};

    run({(bin / "initdb").string(), "-D", fresh.string(), "--locale=C", "--encoding=UTF8", "--auth=trust", "-U",
         role_name()},
        "cannot make the private trace database in " + folder_.string() + ": initdb failed");
    {
        std::ofstream conf(fresh / "postgresql.conf", std::ios::app);
        conf << "\n# The private trace database: a unix socket in its own folder, no TCP.\n"
             << "listen_addresses = ''\n"
             << "unix_socket_directories = " << conf_string(folder_.string()) << "\n"
             << "unix_socket_permissions = 0700\n"
             << "port = " << port() << "\n";
        conf.close();
        if (!conf)
            throw Error("cannot write " + (fresh / "postgresql.conf").string() + ": " + std::strerror(errno));
    }
    start_server(bin, fresh, "-p " + filling_port);
    unfinished.server = true;
    load_schema(filling_port);
    stop_server(bin, fresh, "fast");
    unfinished.server = false;
    fs::rename(fresh, folder_ / "data", ec);
    if (ec)
        throw Error("cannot rename " + fresh.string() + " to data: " + ec.message());
    unfinished.done = true;
}

void PrivateDb::load_schema(const std::string &port)
{
    const fs::path file = schema_file();
    std::string schema;
    try {
        schema = files::read(file);
    } catch (const std::runtime_error &) {
    }
    if (schema.empty())
        throw Error("cannot read the trace database's schema " + file.string());
    try {
        pg::query(connect_to(host(), port, "postgres").get(), "CREATE DATABASE \"DAVER\"");
        const pg::Connection conn = connect_to(host(), port, "DAVER");
        // One simple query: every statement of the file in one transaction.
        const pg::Result res(PQexec(conn.get(), schema.c_str()));
        if (PQresultStatus(res.get()) != PGRES_COMMAND_OK && PQresultStatus(res.get()) != PGRES_TUPLES_OK)
            throw Error("the schema " + file.string() + " was refused: " + PQresultErrorMessage(res.get()));
    } catch (const pg::DbError &error) {
        throw Error(std::string("cannot make the trace database \"DAVER\": ") + error.what());
    }
}

std::optional<PrivateDb> choose_server(const std::string &program, bool create)
{
    if (server_named(std::getenv))
        return std::nullopt;
    if (default_server_answers())
        return std::nullopt;
    PrivateDb db(default_folder(std::getenv), program);
    if (!db.start(create))
        return std::nullopt;
    return db;
}

void export_to_environment(const PrivateDb &db)
{
    setenv("PGHOST", db.host().c_str(), 1);
    setenv("PGPORT", db.port().c_str(), 1);
}

} // namespace privatedb
