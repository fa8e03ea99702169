#include "server.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/files.h"
#include "http_guard.h"
#include "views.h"

namespace traceview {

namespace {

using json = nlohmann::json;

constexpr std::size_t search_results = 50;
constexpr std::size_t search_query_limit = 200;

// Names from a build are bytes, not always UTF-8: bad sequences become U+FFFD.
std::string dump(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void send_json(httplib::Response &res, const json &value, int status = 200)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(dump(value), "application/json; charset=utf-8");
}

void send_error(httplib::Response &res, int status, const std::string &message)
{
    send_json(res, json{{"error", message}}, status);
}

/// `out` with what a report program gave: ok, text, messages, and the error when it failed.
json with_report(json out, const Report &report)
{
    out["ok"] = report.ok;
    out["text"] = report.text;
    out["messages"] = report.messages;
    if (!report.ok)
        out["error"] = report.error;
    return out;
}

/// The build that the request's "build" parameter names; null after a 404
/// answer when none is loaded by that name.
std::shared_ptr<const Build> requested_build(const BuildRegistry &builds, const httplib::Request &req,
                                             httplib::Response &res)
{
    auto build = builds.get(req.get_param_value("build"));
    if (!build)
        send_error(res, 404, "no such build: open it again from the list of recorded builds");
    return build;
}

std::string lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool all_digits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What the page needs to know of a drawn unit.
json unit_json(const RsfModel &model, int index)
{
    const Unit &u = model.units()[static_cast<std::size_t>(index)];
    json j{{"id", u.id}, {"name", u.name}, {"path", model.path_of(index)}, {"kind", u.is_dir ? "dir" : "file"}};
    if (u.is_dir) {
        j["files"] = u.files_below;
    } else {
        json oids = json::array();
        if (all_digits(u.primary))
            oids.push_back(u.primary);
        if (all_digits(u.partner))
            oids.push_back(u.partner);
        j["oids"] = oids;
        j["changed"] = u.changed;
        if (u.only_in_layer >= 0)
            j["only_in"] = model.layer_name(u.only_in_layer);
    }
    return j;
}

// A first cause as `tracemake why LABEL` ranks it: its path as written
// (relative to the top make's directory, or absolute) and the count of
// rebuilt targets it led to.
struct RankedCause {
    std::string path;
    long long targets;
};

// The "  COUNT  PATH: ..." lines of the answer, in the order of the ranking.
std::vector<RankedCause> ranked_causes(const std::string &answer)
{
    static const std::regex line(R"(^  ([0-9]+)  ([^:]+): )");
    std::vector<RankedCause> causes;
    std::istringstream in(answer);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line))
            causes.push_back({m[2].str(), std::stoll(m[1].str())});
    }
    return causes;
}

// The first causes as units of the model, in the order of the ranking:
// every instance of the path (a header is known to each make process that
// reads it), found by its path under the model's root and, for a cause
// named by `oids` (its instances in the build `why` answered for), by OID:
// of two builds in two trees the drawing names a pair by the first build's
// paths, `why` by the second's.  A cause that is no file of the drawing is
// left out.
json first_cause_units(const RsfModel &model, const std::vector<RankedCause> &causes,
                       const std::map<std::string, std::vector<std::string>> &oids)
{
    const std::string root = model.root() < 0 ? std::string() : model.path_of(model.root());
    std::map<std::string, std::size_t> by_path; // full path -> cause
    for (std::size_t c = 0; c < causes.size(); ++c) {
        const std::string &path = causes[c].path;
        by_path.emplace(path.front() == '/' ? path : (root == "/" ? "/" + path : root + "/" + path), c);
    }
    std::map<int, std::size_t> found; // unit -> its cause
    std::map<std::string, int> unit_of_oid;
    for (std::size_t i = 0; i < model.units().size(); ++i) {
        const Unit &u = model.units()[i];
        if (u.is_dir)
            continue;
        if (auto it = by_path.find(model.path_of(static_cast<int>(i))); it != by_path.end())
            found.emplace(static_cast<int>(i), it->second);
        if (!oids.empty())
            for (const std::string *oid : {&u.primary, &u.partner})
                if (!oid->empty())
                    unit_of_oid.emplace(*oid, static_cast<int>(i));
    }
    for (std::size_t c = 0; c < causes.size(); ++c) {
        auto named = oids.find(causes[c].path);
        if (named == oids.end())
            continue;
        for (const std::string &oid : named->second)
            if (auto it = unit_of_oid.find(oid); it != unit_of_oid.end())
                found.emplace(it->second, c);
    }
    std::vector<std::pair<std::size_t, int>> ranked; // cause, unit
    for (const auto &[unit, cause] : found)
        ranked.emplace_back(cause, unit);
    std::sort(ranked.begin(), ranked.end());
    json units = json::array();
    for (const auto &[cause, unit] : ranked) {
        json j = unit_json(model, unit);
        j["targets"] = causes[cause].targets;
        units.push_back(std::move(j));
    }
    return units;
}

// A view as the request names it.
struct ViewRequest {
    ViewKind kind = ViewKind::directory;
    int unit = -1;           // the file of a file view
    OutlinePlace place;      // the place of a directory view
    std::size_t limit = 0;
};

// Reads kind, id and limit; a status and message when they do not name a view of `model`.
std::optional<std::pair<int, std::string>> read_view_request(const httplib::Request &req, const RsfModel &model,
                                                             const Outline &outline, std::size_t default_limit,
                                                             ViewRequest &view)
{
    if (model.root() < 0)
        return std::make_pair(404, std::string("the build holds nothing under its root directory"));
    view.limit = default_limit;
    const std::string limit_text = req.get_param_value("limit");
    if (!limit_text.empty()) {
        if (!all_digits(limit_text) || limit_text.size() > 6)
            return std::make_pair(400, std::string("limit is a number"));
        view.limit = std::stoul(limit_text);
    }
    view.limit = std::clamp(view.limit, min_view_limit, max_view_limit);
    const std::string kind = req.get_param_value("kind");
    view.place = {outline.top(), 0};
    if (kind.empty() || kind == "overview")
        return std::nullopt;
    if (kind == "dir") {
        const auto place = outline.find(req.get_param_value("id"));
        if (!place)
            return std::make_pair(404, std::string("no such directory in this build"));
        view.place = *place;
        return std::nullopt;
    }
    if (kind != "file")
        return std::make_pair(400, std::string("kind is overview, dir or file"));
    view.kind = ViewKind::file;
    view.unit = model.find_unit(req.get_param_value("id"));
    if (view.unit < 0 || model.units()[static_cast<std::size_t>(view.unit)].is_dir)
        return std::make_pair(404, std::string("no such file in this build"));
    return std::nullopt;
}

// What an answer says of the view besides its drawing: what it shows and the directories above it.
json view_header(const Build &build, const ViewRequest &request, const View &view)
{
    const auto &units = build.model->units();
    json out{{"build", build.key}, {"kind", request.kind == ViewKind::file ? "file" : "dir"}, {"limit", request.limit}};
    json crumbs = json::array();
    if (request.kind == ViewKind::file) {
        out["id"] = units[static_cast<std::size_t>(request.unit)].id;
        for (int dir = units[static_cast<std::size_t>(request.unit)].parent; dir >= 0;
             dir = units[static_cast<std::size_t>(dir)].parent)
            crumbs.insert(crumbs.begin(), json{{"id", units[static_cast<std::size_t>(dir)].id},
                                               {"name", units[static_cast<std::size_t>(dir)].name}});
    } else {
        out["id"] = view.crumbs.empty() ? std::string() : view.crumbs.back().first;
        for (const auto &[id, name] : view.crumbs)
            crumbs.push_back(json{{"id", id}, {"name", name}});
    }
    out["crumbs"] = crumbs;
    if (!view.note.empty())
        out["note"] = view.note;
    return out;
}

// A box as the page sees it.
json box_json(const Box &box)
{
    json j{{"id", box.id}, {"name", box.name}, {"path", box.path}, {"kind", "dir"}, {"files", box.files}};
    if (box.changed + box.added + box.removed > 0) {
        j["changed"] = box.changed;
        j["added"] = box.added;
        j["removed"] = box.removed;
    }
    if (box.more > 0)
        j["more"] = box.more;
    return j;
}

} // namespace

Server::Server(ServerSettings settings, BuildRegistry &builds, LayoutEngine &layouts, const ReportRunner &reports)
    : settings_(std::move(settings)), builds_(builds), layouts_(layouts), reports_(reports),
      http_(std::make_unique<httplib::Server>())
{
    http_->set_payload_max_length(settings_.payload_limit);
    http_->set_read_timeout(settings_.read_timeout);
    http_->set_write_timeout(settings_.write_timeout);
    http_->set_keep_alive_timeout(5);
    http_->set_keep_alive_max_count(100);
    install_handlers();
}

Server::~Server() = default;

int Server::bind(int port)
{
    // Loopback only: the library does not bound a request line that never ends.
    if (port == 0)
        port_ = http_->bind_to_any_port("127.0.0.1");
    else
        port_ = http_->bind_to_port("127.0.0.1", port) ? port : -1;
    if (port_ < 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
    return port_;
}

bool Server::serve()
{
    const bool ok = http_->listen_after_bind();
    served_ = true;
    return ok;
}

void Server::stop()
{
    // The library ignores a stop that comes before its loop runs.
    while (!http_->is_running() && !served_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http_->stop();
}

void Server::install_handlers()
{
    http_->set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        return rejected(req, res) ? httplib::Server::HandlerResponse::Handled
                                 : httplib::Server::HandlerResponse::Unhandled;
    });

    // A build or the database that cannot be had is told as it is; what
    // else went wrong inside (a scratch file's path, a system error) stays
    // in the server: the library would put the exception's text into a header.
    http_->set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const Unavailable &e) {
            send_error(res, 503, e.what());
        } catch (...) {
            send_error(res, 500, "the server could not answer this request");
        }
    });

    http_->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            send_error(res, res.status, res.status == 404 ? "not found" : "the request was refused (HTTP " + std::to_string(res.status) + ")");
    });

    http_->Get("/api/builds", [this](const httplib::Request &req, httplib::Response &res) { list_builds(req, res); });
    http_->Get("/api/labels", [this](const httplib::Request &req, httplib::Response &res) { list_labels(req, res); });
    http_->Post("/api/open", [this](const httplib::Request &req, httplib::Response &res) { open_build(req, res); });
    http_->Get("/api/view", [this](const httplib::Request &req, httplib::Response &res) { send_view(req, res); });
    http_->Get("/api/search", [this](const httplib::Request &req, httplib::Response &res) { search(req, res); });
    http_->Get("/api/changes", [this](const httplib::Request &req, httplib::Response &res) { list_changes(req, res); });
    http_->Get("/api/report", [this](const httplib::Request &req, httplib::Response &res) { run_report(req, res); });
    http_->Get("/api/why", [this](const httplib::Request &req, httplib::Response &res) { why_report(req, res); });
    http_->Get("/api/causes", [this](const httplib::Request &req, httplib::Response &res) { first_causes(req, res); });
    http_->Get(R"(/.*)", [this](const httplib::Request &req, httplib::Response &res) { send_file(req, res); });
}

bool Server::rejected(const httplib::Request &req, httplib::Response &res) const
{
    res.set_header("Content-Security-Policy", content_security_policy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    if (!host_allowed(req.get_header_value("Host"), port_)) {
        send_error(res, 421, "this server answers only to 127.0.0.1:" + std::to_string(port_) + " and localhost:" +
                                 std::to_string(port_));
        return true;
    }
    if (req.target.size() > settings_.target_limit) {
        send_error(res, 414, "the request target is too long");
        return true;
    }
    // A page of another site may make its visitor's browser ask for a
    // view or a report (an <img> needs no script): every call of the API
    // starts programs, so the browser's word on where the call comes
    // from must be this page's.  Clients other than browsers send none.
    if (req.path.rfind("/api/", 0) == 0 && req.has_header("Sec-Fetch-Site")) {
        const std::string site = req.get_header_value("Sec-Fetch-Site");
        if (site != "same-origin" && site != "none") {
            send_error(res, 403, "the API answers only this server's own page");
            return true;
        }
    }
    if (req.method != "GET" && req.method != "HEAD") {
        // A page of another origin may post, but its browser says where it comes from.
        if (!origin_allowed(req.get_header_value("Origin"), port_)) {
            send_error(res, 403, "requests that change anything must come from this server's own page");
            return true;
        }
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            send_error(res, 415, "send JSON");
            return true;
        }
    }
    return false;
}

void Server::list_builds(const httplib::Request &, httplib::Response &res) const
{
    json list = json::array();
    for (const auto &build : builds_.loaded()) {
        json b{{"key", build->key}, {"title", build->title}, {"files", build->model->file_count()}};
        if (!build->note.empty())
            b["note"] = build->note;
        json layers = json::array();
        for (int i = 0; i < 2; ++i)
            if (!build->model->layer_name(i).empty())
                layers.push_back(build->model->layer_name(i));
        b["layers"] = layers;
        list.push_back(b);
    }
    send_json(res, json{{"builds", list}, {"first", settings_.first_build}});
}

void Server::list_labels(const httplib::Request &, httplib::Response &res) const
{
    json list = json::array();
    for (const LabelInfo &l : builds_.list_labels())
        list.push_back({{"label", l.label}, {"topdir", l.topdir}, {"cmdline", l.cmdline}, {"start", l.start},
                        {"status", l.status}, {"complete", l.complete}});
    send_json(res, json{{"labels", list}});
}

void Server::open_build(const httplib::Request &req, httplib::Response &res)
{
    const json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("labels") || !body["labels"].is_array()) {
        send_error(res, 400, "send {\"labels\": [LABEL] or [LABEL, LABEL2]}");
        return;
    }
    std::vector<std::string> labels;
    for (const json &l : body["labels"]) {
        if (!l.is_string()) {
            send_error(res, 400, "labels are strings");
            return;
        }
        labels.push_back(l.get<std::string>());
    }
    const auto build = builds_.open_labels(labels);
    send_json(res, json{{"key", build->key}, {"title", build->title}});
}

void Server::send_view(const httplib::Request &req, httplib::Response &res)
{
    const auto started = std::chrono::steady_clock::now();
    const auto build = requested_build(builds_, req, res);
    if (!build)
        return;
    ViewRequest view_request;
    const bool overview = req.get_param_value("kind").empty() || req.get_param_value("kind") == "overview";
    const std::size_t default_limit = overview ? std::min(settings_.overview_limit, settings_.view_limit)
                                               : settings_.view_limit;
    const RsfModel &model = *build->model;
    const Outline outline(model);
    if (const auto refused = read_view_request(req, model, outline, default_limit, view_request)) {
        send_error(res, refused->first, refused->second);
        return;
    }
    const View view = view_request.kind == ViewKind::file
                          ? make_file_view(model, view_request.unit, view_request.limit)
                          : make_directory_view(model, outline, view_request.place, view_request.limit);
    const Layout layout = layouts_.draw(view.rsf, view.extras);
    json out = view_header(*build, view_request, view);
    if (!layout.ok) {
        out["error"] = layout.error;
        out["timed_out"] = layout.timed_out;
        if (layout.timed_out)
            out["smaller_limit"] = std::max(min_view_limit, view_request.limit / 4);
        send_json(res, out, layout.timed_out ? 504 : 500);
        return;
    }
    json nodes = json::object();
    for (int u : view.files)
        nodes[model.units()[static_cast<std::size_t>(u)].id] = unit_json(model, u);
    for (const Box &box : view.boxes)
        nodes[box.id] = box_json(box);
    out["nodes"] = nodes;
    json merged = json::array();
    for (const EdgeMark &e : view.extras.edges)
        merged.push_back(json{{"from", e.from}, {"to", e.to}, {"count", e.count}});
    out["merged_edges"] = merged;
    out["svg"] = layout.svg;
    out["digest"] = layout.digest;
    out["cached"] = layout.cached;
    out["ms"] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    send_json(res, out);
}

void Server::search(const httplib::Request &req, httplib::Response &res) const
{
    const auto build = requested_build(builds_, req, res);
    if (!build)
        return;
    const std::string query = lower(req.get_param_value("q"));
    if (query.empty() || query.size() > search_query_limit) {
        send_error(res, 400, "search for 1 to 200 characters of a name or path");
        return;
    }
    const RsfModel &model = *build->model;
    // Exact names first, then names that start with the text, then any name or path that holds it.
    std::vector<std::pair<int, int>> found;
    for (std::size_t i = 0; i < model.units().size() && found.size() < 10000; ++i) {
        const Unit &u = model.units()[i];
        const std::string name = lower(u.name);
        int rank = name == query ? 0 : name.rfind(query, 0) == 0 ? 1 : name.find(query) != std::string::npos ? 2 : 3;
        if (rank == 3 && lower(model.path_of(static_cast<int>(i))).find(query) != std::string::npos)
            rank = 2;
        if (rank < 3)
            found.emplace_back(rank, static_cast<int>(i));
    }
    std::stable_sort(found.begin(), found.end(), [](auto a, auto b) { return a.first < b.first; });
    json matches = json::array();
    for (std::size_t i = 0; i < found.size() && i < search_results; ++i)
        matches.push_back(unit_json(model, found[i].second));
    send_json(res, json{{"matches", matches}, {"more", found.size() > search_results}});
}

void Server::list_changes(const httplib::Request &req, httplib::Response &res) const
{
    const auto build = requested_build(builds_, req, res);
    if (!build)
        return;
    const RsfModel &model = *build->model;
    json changed = json::array(), added = json::array(), removed = json::array();
    for (std::size_t i = 0; i < model.units().size(); ++i) {
        const Unit &u = model.units()[i];
        if (u.is_dir)
            continue;
        if (u.changed)
            changed.push_back(unit_json(model, static_cast<int>(i)));
        if (u.only_in_layer == 1)
            added.push_back(unit_json(model, static_cast<int>(i)));
        if (u.only_in_layer == 0)
            removed.push_back(unit_json(model, static_cast<int>(i)));
    }
    json layers = json::array({model.layer_name(0), model.layer_name(1)});
    json out{{"layers", layers}, {"changed", changed}, {"added", added}, {"removed", removed}};
    if (!build->note.empty())
        out["note"] = build->note;
    send_json(res, out);
}

void Server::run_report(const httplib::Request &req, httplib::Response &res) const
{
    const std::string tool = req.get_param_value("tool");
    if (!is_report_tool(tool)) {
        send_error(res, 400, "tool is one of recipeshow, procshow, envshow, envdiff, rulediff");
        return;
    }
    const auto oids = parse_oids(req.get_param_value("oids"));
    if (!oids) {
        send_error(res, 400, "oids are one number, or two separated by one blank");
        return;
    }
    const Report report = reports_.run(tool, *oids);
    send_json(res, with_report({{"tool", tool}, {"oids", *oids}}, report), report.ok ? 200 : 502);
}

void Server::why_report(const httplib::Request &req, httplib::Response &res) const
{
    const auto build = requested_build(builds_, req, res);
    if (!build)
        return;
    const auto oids = parse_oids(req.get_param_value("oid"));
    if (!oids || oids->size() != 1) {
        send_error(res, 400, "oid is one number");
        return;
    }
    const Report report = reports_.why(build->labels, oids->front());
    send_json(res, with_report({{"oid", oids->front()}}, report), report.ok ? 200 : 502);
}

void Server::first_causes(const httplib::Request &req, httplib::Response &res) const
{
    const auto build = requested_build(builds_, req, res);
    if (!build)
        return;
    const Report report = reports_.first_causes(build->labels);
    json out = with_report(json::object(), report);
    if (!report.ok) {
        send_json(res, out, 502);
        return;
    }
    const std::vector<RankedCause> causes = ranked_causes(report.text);
    std::map<std::string, std::vector<std::string>> oids;
    if (build->labels.size() == 2 && !causes.empty()) {
        std::vector<std::string> paths;
        for (const RankedCause &c : causes)
            paths.push_back(c.path);
        try {
            oids = builds_.instance_oids(build->labels.back(), paths);
        } catch (const Unavailable &e) {
            out["note"] = std::string("first causes found by path only: ") + e.what();
        }
    }
    out["causes"] = first_cause_units(*build->model, causes, oids);
    send_json(res, out);
}

void Server::send_file(const httplib::Request &req, httplib::Response &res) const
{
    if (req.path.rfind("/api/", 0) == 0) {
        send_error(res, 404, "no such API call");
        return;
    }
    const auto file = static_file(settings_.www, req.path);
    if (!file) {
        send_error(res, 404, "not found");
        return;
    }
    res.set_content(files::read(*file), content_type_of(*file).c_str());
}

} // namespace traceview
