// The choices of the private trace database that depend on the environment
// and the file system alone: whether a server is named, where the folder
// goes, which server programs run it, and the line `tracemake db env` prints.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/private_db.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

/// An environment made of a table, for the functions that read one.
privatedb::Lookup environment(const std::map<std::string, std::string> &table)
{
    return [table](const char *name) -> const char * {
        const auto found = table.find(name);
        return found == table.end() ? nullptr : found->second.c_str();
    };
}

TEST(PrivateDb, AServerIsNamedByAnyOfLibpqsServerVariablesThatIsNotEmpty)
{
    const struct {
        std::map<std::string, std::string> env;
        bool named;
    } cases[] = {
        {{}, false},
        {{{"HOME", "/home/u"}, {"PATH", "/usr/bin"}}, false},
        {{{"PGHOST", "/run/pg"}}, true},
        {{{"PGHOST", ""}}, false},
        {{{"PGHOSTADDR", "127.0.0.1"}}, true},
        {{{"PGPORT", "5433"}}, true},
        {{{"PGDATABASE", "other"}}, true},
        {{{"PGUSER", "postgres"}}, true},
        {{{"PGSERVICE", "traces"}}, true},
        // Settings that choose no server.
        {{{"PGPASSWORD", "secret"}, {"PGOPTIONS", "-c work_mem=64MB"}, {"PGCONNECT_TIMEOUT", "3"}}, false},
        {{{"PGHOST", ""}, {"PGPORT", ""}, {"PGSERVICE", "s"}}, true},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &[name, value] : c.env)
            shown += name + "=" + value + " ";
        EXPECT_EQ(privatedb::server_named(environment(c.env)), c.named) << shown;
    }
}

TEST(PrivateDb, TheFolderIsUnderXdgDataHomeWhenItIsAbsoluteElseUnderHome)
{
    const struct {
        std::map<std::string, std::string> env;
        std::string folder;
    } cases[] = {
        {{{"XDG_DATA_HOME", "/data/u"}, {"HOME", "/home/u"}}, "/data/u/daver"},
        {{{"HOME", "/home/u"}}, "/home/u/.local/share/daver"},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.local/share/daver"},
        {{{"XDG_DATA_HOME", "relative/data"}, {"HOME", "/home/u"}}, "/home/u/.local/share/daver"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(privatedb::default_folder(environment(c.env)), fs::path(c.folder));
}

/// Makes DIR/bin with the named programs, executable.
void programs_in(const fs::path &dir, const std::vector<std::string> &names)
{
    fs::create_directories(dir);
    for (const auto &name : names) {
        write_file((dir / name).string(), "#!/bin/sh\n");
        chmod((dir / name).c_str(), 0755);
    }
}

TEST(PrivateDb, ServerProgramsAreTheNewestWholeSetOrThoseOfTheClustersVersion)
{
    TempDir tmp;
    const fs::path root = tmp.path() / "lib", other = tmp.path() / "other";
    const std::vector<std::string> all = {"initdb", "pg_ctl", "postgres"};
    programs_in(root / "9.6/bin", all);
    programs_in(root / "13/bin", all);
    programs_in(root / "15/bin", all);
    programs_in(root / "16/bin", {"initdb", "pg_ctl"}); // no server: a client package alone
    programs_in(other, all);

    const struct {
        std::vector<fs::path> roots;
        std::string path, version;
        fs::path expected;
    } cases[] = {
        {{root}, "", "", root / "15/bin"},
        {{root}, "", "13", root / "13/bin"},
        {{root}, "", "9.6", root / "9.6/bin"},
        {{root}, "/nowhere:" + other.string(), "14", other},
        {{tmp.path() / "missing"}, "relative:" + other.string(), "", other},
    };
    for (const auto &c : cases)
        EXPECT_EQ(privatedb::server_programs(c.roots, c.path, c.version), c.expected) << c.version << " " << c.path;
}

TEST(PrivateDb, MissingServerProgramsNameThePackageToInstall)
{
    TempDir tmp;
    programs_in(tmp.path() / "16/bin", {"initdb", "pg_ctl"});
    const struct {
        std::string version, package;
    } cases[] = {{"", "install the package postgresql "}, {"15", "install the package postgresql-15 "}};
    for (const auto &c : cases) {
        try {
            privatedb::server_programs({tmp.path()}, "/nowhere", c.version);
            ADD_FAILURE() << "found server programs for version '" << c.version << "'";
        } catch (const privatedb::Error &error) {
            EXPECT_NE(std::string(error.what()).find(c.package), std::string::npos) << error.what();
        }
    }
}

/// An ACL as the kernel stores it: version 2, then tag, permissions, id.
std::string acl(const std::vector<std::array<std::uint32_t, 3>> &entries)
{
    std::string bytes;
    auto put = [&bytes](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i, value >>= 8)
            bytes += static_cast<char>(value & 0xff);
    };
    put(2, 4);
    for (const auto &[tag, perm, id] : entries) {
        put(tag, 2);
        put(perm, 2);
        put(id, 4);
    }
    return bytes;
}

TEST(PrivateDb, TheServersUserGetsSearchPermissionOnAClosedFolderAndNothingElseChanges)
{
    constexpr std::uint32_t none = 0xffffffff, pg = 101, other = 1000;
    // Tags: 1 owner, 2 named user, 4 owning group, 8 named group, 0x10 mask, 0x20 others.
    const struct {
        const char *what;
        std::string before;
        unsigned mode;
        std::string after;
    } cases[] = {
        {"no ACL, mode 0700", "", 0700, acl({{1, 7, none}, {2, 1, pg}, {4, 0, none}, {0x10, 1, none}, {0x20, 0, none}})},
        {"no ACL, mode 0750", "", 0750, acl({{1, 7, none}, {2, 1, pg}, {4, 5, none}, {0x10, 5, none}, {0x20, 0, none}})},
        {"another user's entry and a mask",
         acl({{1, 7, none}, {2, 6, other}, {4, 0, none}, {8, 4, 50}, {0x10, 6, none}, {0x20, 0, none}}), 0760,
         acl({{1, 7, none}, {2, 1, pg}, {2, 6, other}, {4, 0, none}, {8, 4, 50}, {0x10, 7, none}, {0x20, 0, none}})},
        {"an entry of its own without search",
         acl({{1, 7, none}, {2, 4, pg}, {4, 0, none}, {0x10, 4, none}, {0x20, 0, none}}), 0740,
         acl({{1, 7, none}, {2, 5, pg}, {4, 0, none}, {0x10, 5, none}, {0x20, 0, none}})},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(privatedb::acl_with_search(c.before, c.mode, pg), c.after) << c.what;
        // Given once, it is there: a second run changes nothing.
        EXPECT_EQ(privatedb::acl_with_search(c.after, c.mode, pg), c.after) << c.what;
    }
}

TEST(PrivateDb, TheEnvLineGivesBackTheFolderInAPosixShell)
{
    for (const std::string host : {"/home/u/.local/share/daver", "/home/a b/it's $HOME/`x`/daver"}) {
        const std::string line = privatedb::env_line(host, "5432");
        EXPECT_EQ(line.rfind("export PGHOST=", 0), 0u) << line;
        const RunResult r = run_program({"/bin/sh", "-c", "eval \"$1\" && printf '%s|%s' \"$PGHOST\" \"$PGPORT\"", "sh", line});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, host + "|5432");
    }
}

} // namespace
