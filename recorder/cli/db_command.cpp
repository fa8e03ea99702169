// `tracemake db status | start | stop | env`: the user's private trace
// database, which tracemake uses when no server is named or answers on
// libpq's default.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "cli/commands.h"
#include "common/private_db.h"

namespace {

const char db_usage[] = "usage: tracemake db status | start | stop | env\n";

/// Which server the other commands use, in words.
const char *server_in_use()
{
    if (privatedb::server_named(std::getenv))
        return "the server the environment names (PGHOST, PGHOSTADDR, PGPORT, PGDATABASE, PGUSER or PGSERVICE)";
    if (privatedb::default_server_answers())
        return "the server answering on libpq's default";
    return "the private one";
}

int status(const privatedb::PrivateDb &db)
{
    const bool running = db.running();
    std::printf("private trace database: %s\n", db.host().c_str());
    std::printf("state: %s\n", running ? "running" : db.exists() ? "stopped" : "not made yet");
    std::printf("tracemake uses: %s\n", server_in_use());
    if (running)
        std::fputs(privatedb::env_line(db.host(), db.port()).c_str(), stdout);
    return running ? 0 : 1;
}

} // namespace

int cmd_db(const Args &args)
{
    if (args.size() != 1) {
        std::fputs(db_usage, stderr);
        return 2;
    }
    const std::string &action = args[0];
    try {
        privatedb::PrivateDb db(privatedb::default_folder(std::getenv), "tracemake");
        if (action == "status")
            return status(db);
        if (action == "start" || action == "env") {
            const bool was_running = db.running();
            db.start();
            if (action == "env")
                std::fputs(privatedb::env_line(db.host(), db.port()).c_str(), stdout);
            else if (was_running)
                std::printf("the private trace database in %s runs already\n", db.host().c_str());
            return 0;
        }
        if (action == "stop") {
            if (db.stop())
                std::printf("stopped the private trace database in %s\n", db.host().c_str());
            else
                std::printf("the private trace database in %s is not running\n", db.host().c_str());
            return 0;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tracemake: %s\n", error.what());
        return 1;
    }
    std::fputs(db_usage, stderr);
    return 2;
}
