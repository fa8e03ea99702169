// The HTTP side of traceview: the checks on every request, the static page
// and the JSON API that the page (or a script) uses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "builds.h"
#include "layout.h"
#include "reports.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace traceview {

/// What the server is set up with.
struct ServerSettings {
    std::filesystem::path www;                         ///< the page's folder (canonical)
    std::string first_build;                           ///< the key of the build the page opens with
    std::size_t view_limit = 200;                      ///< default node limit of a directory or file view
    std::size_t overview_limit = 60;                   ///< default node limit of the overview, the first view
    std::size_t payload_limit = 64 * 1024;             ///< largest request body
    std::size_t target_limit = 2048;                   ///< longest request target (path and query)
    std::chrono::seconds read_timeout{5}, write_timeout{10};
};

/// The server with its handlers; serves until stop().
class Server {
public:
    Server(ServerSettings settings, BuildRegistry &builds, LayoutEngine &layouts, const ReportRunner &reports);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /// Binds 127.0.0.1:port (0 for any free port) and returns the port;
    /// throws std::runtime_error saying why when it cannot.
    int bind(int port);
    /// Serves until stop() is called; false when the server failed.
    bool serve();
    /// Ends serve(); when called before serve() has started, waits for that start first.
    void stop();

private:
    void install_handlers();

    // The checks every request passes before its handler; true when they
    // reject it (the answer is then written).
    bool rejected(const httplib::Request &req, httplib::Response &res) const;

    // One handler for each call of the API, and the page's files.
    void list_builds(const httplib::Request &req, httplib::Response &res) const;
    void list_labels(const httplib::Request &req, httplib::Response &res) const;
    void open_build(const httplib::Request &req, httplib::Response &res);
    void send_view(const httplib::Request &req, httplib::Response &res);
    void search(const httplib::Request &req, httplib::Response &res) const;
    void list_changes(const httplib::Request &req, httplib::Response &res) const;
    void run_report(const httplib::Request &req, httplib::Response &res) const;
    void why_report(const httplib::Request &req, httplib::Response &res) const;
    void first_causes(const httplib::Request &req, httplib::Response &res) const;
    void send_file(const httplib::Request &req, httplib::Response &res) const;

    ServerSettings settings_;
    BuildRegistry &builds_;
    LayoutEngine &layouts_;
    const ReportRunner &reports_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = -1;
    std::atomic<bool> served_{false};
};

} // namespace traceview
