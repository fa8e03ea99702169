// traceview: a local web page over a recorded build.  It draws the build
// through relplot and dot, and shows the reports of the query tools for the
// files a person clicks; every program runs as a child process.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "builds.h"
#include "common/child.h"
#include "common/private_db.h"
#include "layout.h"
#include "private_dir.h"
#include "reports.h"
#include "server.h"

namespace {

const char usage[] =
    "Usage: traceview [--port N] [--rsf FILE [--changes LIST]] [--label LABEL [--label LABEL2]]\n"
    "                 [--limit NODES] [--layout-seconds S] [--tool-seconds S] [--www DIR] [--bin DIR]\n"
    "\n"
    "Serves a web page over a recorded build on http://127.0.0.1:N/ (loopback only) and prints\n"
    "that address.  --port 0 (the default) takes any free port.\n"
    "  --rsf FILE        draw this RSF relation file; OIDs come from its node names\n"
    "  --changes LIST    with --rsf: mark the files of LIST as changed (changescan, two layers)\n"
    "  --label LABEL     open a recorded build of the trace database (twice: compare two)\n"
    "  --limit NODES     most nodes a view draws (default 200, 10 to 2000)\n"
    "  --layout-seconds  time a layout may take before it is stopped (default 20)\n"
    "  --tool-seconds    time a report tool may take before it is stopped (default 20)\n"
    "  --www DIR         the page's folder (default: the one it was built with, else ../share/daver/traceview/www)\n"
    "  --bin DIR         where relplot, the query tools and tracemake are (default: beside traceview)\n"
    "The query tools reach the database through libpq's defaults (PGHOST, PGPORT, PGUSER, PGPASSWORD);\n"
    "with no server named or answering there, tracemake's private one (tracemake db status).\n";

struct Options {
    int port = 0;
    std::string rsf, changes, www = TRACEVIEW_WWW_DIR, bin;
    std::vector<std::string> labels;
    std::size_t limit = 200;
    long layout_seconds = 20;
    long tool_seconds = 20;
};

[[noreturn]] void bad_usage(const std::string &message)
{
    std::fprintf(stderr, "traceview: %s\n%s", message.c_str(), usage);
    std::exit(2);
}

long number_option(const std::string &name, const char *text, long low, long high)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || value < low || value > high)
        bad_usage(name + " takes a number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

/// The folders not given: the programs beside traceview, the page where
/// it was built, else where it is installed beside the programs.
void default_folders(Options &o, bool www_given)
{
    std::error_code ec;
    const std::filesystem::path own_dir = child::running_program().parent_path();
    if (o.bin.empty())
        o.bin = own_dir.string();
    if (!www_given && !std::filesystem::is_directory(o.www, ec))
        o.www = (own_dir.parent_path() / "share/daver/traceview/www").string();
}

Options parse_options(int argc, char **argv)
{
    Options o;
    bool www_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (argc == 2 && arg == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (argc == 2 && arg == "--version") {
            std::printf("traceview (daver) %s\n", DAVER_VERSION);
            std::exit(0);
        }
        if (i + 1 >= argc)
            bad_usage("unknown option or missing value: " + arg);
        const char *value = argv[++i];
        if (arg == "--port")
            o.port = static_cast<int>(number_option(arg, value, 0, 65535));
        else if (arg == "--rsf")
            o.rsf = value;
        else if (arg == "--changes")
            o.changes = value;
        else if (arg == "--label")
            o.labels.push_back(value);
        else if (arg == "--limit")
            o.limit = static_cast<std::size_t>(number_option(arg, value, 10, 2000));
        else if (arg == "--layout-seconds")
            o.layout_seconds = number_option(arg, value, 1, 3600);
        else if (arg == "--tool-seconds")
            o.tool_seconds = number_option(arg, value, 1, 3600);
        else if (arg == "--www") {
            o.www = value;
            www_given = true;
        }
        else if (arg == "--bin")
            o.bin = value;
        else
            bad_usage("unknown option: " + arg);
    }
    if (o.labels.size() > 2)
        bad_usage("--label is given once, or twice to compare");
    if (!o.changes.empty() && o.rsf.empty())
        bad_usage("--changes goes with --rsf");
    default_folders(o, www_given);
    return o;
}

/// Loads the builds that the command line names; the key of the one the page opens with.
std::string load_builds(traceview::BuildRegistry &builds, const Options &options)
{
    std::string first;
    if (!options.rsf.empty()) {
        builds.load_rsf_file(options.rsf, options.changes);
        first = "rsf";
    }
    if (!options.labels.empty()) {
        try {
            first = builds.open_labels(options.labels)->key;
        } catch (const traceview::Unavailable &e) {
            std::fprintf(stderr, "traceview: %s\n", e.what());
        }
    }
    return first;
}

/// Serves on `port` until one of `stops` comes (a thread of its own waits
/// for them) or the server ends on its own; the exit status.
int serve_until_stopped(traceview::Server &server, int port, const sigset_t &stops)
{
    std::thread stopper([&server, &stops] {
        int signal_number = 0;
        sigwait(&stops, &signal_number);
        server.stop();
    });
    std::printf("traceview: serving http://127.0.0.1:%d/\n", port);
    std::fflush(stdout);
    const bool served = server.serve();
    // The server may also have ended on its own: wake the waiting thread.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return served ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse_options(argc, argv);
    // The private database, when it is the one tracemake records into,
    // reaches the children through PGHOST and PGPORT.
    try {
        if (const auto db = privatedb::choose_server("traceview", false))
            privatedb::export_to_environment(*db);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "traceview: %s\n", e.what());
    }

    // SIGINT and SIGTERM are taken by a thread of their own that stops the
    // server, so that the private folder is removed on the way out.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        traceview::PrivateDir scratch;
        traceview::BuildRegistry builds({options.bin, std::chrono::milliseconds(30000)}, scratch);
        const std::string first = load_builds(builds, options);
        traceview::LayoutSettings layout;
        layout.relplot = options.bin + "/relplot";
        layout.dot_time = std::chrono::seconds(options.layout_seconds);
        traceview::LayoutEngine layouts(layout, scratch);
        traceview::ReportRunner reports(options.bin, scratch, std::chrono::seconds(options.tool_seconds));

        traceview::ServerSettings settings;
        std::error_code ec;
        settings.www = std::filesystem::canonical(options.www, ec);
        if (ec) {
            std::fprintf(stderr, "traceview: the page's folder %s: %s\n", options.www.c_str(), ec.message().c_str());
            return 1;
        }
        settings.first_build = first;
        settings.view_limit = options.limit;
        traceview::Server server(settings, builds, layouts, reports);
        const int port = server.bind(options.port);
        return serve_until_stopped(server, port, stops);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "traceview: %s\n", e.what());
        return 1;
    }
}
