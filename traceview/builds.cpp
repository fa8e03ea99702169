#include "builds.h"

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "child.h"
#include "common/files.h"
#include "common/pg.h"

namespace traceview {

namespace {

constexpr std::size_t rsf_cap = 1UL << 30;

} // namespace

bool acceptable_label(const std::string &label)
{
    if (label.empty() || label.size() > 200 || label[0] == '-')
        return false;
    for (unsigned char c : label)
        if (c < 0x20 || c == 0x7f || c == ',')
            return false;
    return true;
}

namespace {

/// The key of the build that `labels` name; throws Unavailable when they name none.
std::string labels_key(const std::vector<std::string> &labels)
{
    if (labels.empty() || labels.size() > 2)
        throw Unavailable("give one label, or two to compare");
    std::string key = "label:" + labels[0];
    if (labels.size() == 2)
        key += "," + labels[1];
    for (const std::string &label : labels)
        if (!acceptable_label(label))
            throw Unavailable("not a label of a recorded build");
    return key;
}

} // namespace

BuildRegistry::BuildRegistry(BuildSettings settings, const PrivateDir &scratch)
    : settings_(std::move(settings)), scratch_(scratch)
{
}

std::shared_ptr<const RsfModel> BuildRegistry::model_with_changes(std::string text, const std::string &list,
                                                                  std::string &note) const
{
    auto model = std::make_shared<const RsfModel>(text);
    if (list.empty())
        return model;
    if (model->layer_name(0).empty() || model->layer_name(1).empty()) {
        note = "the change list is left aside: the relation file names no two layers to compare";
        return model;
    }
    ScratchFile out(scratch_, "changes");
    const child::Result run =
        child::run({settings_.bin_dir + "/changescan", list, out.path(), model->layer_name(0), model->layer_name(1)},
                   child_options(settings_.tool_time));
    if (!run.ok()) {
        note = with_said("changed files are not marked: changescan " + run.failure(), first_line(run.err));
        return model;
    }
    bool truncated = false;
    text += "\n" + out.read(rsf_cap, truncated);
    if (truncated)
        note = "changed files are marked only in part: changescan wrote more than 1 GB";
    return std::make_shared<const RsfModel>(text);
}

void BuildRegistry::load_rsf_file(const std::string &path, const std::string &change_list)
{
    auto build = std::make_shared<Build>();
    build->key = "rsf";
    build->title = path;
    build->model = model_with_changes(files::read(path), change_list, build->note);
    std::lock_guard lock(mutex_);
    builds_[build->key] = build;
}

std::shared_ptr<const Build> BuildRegistry::get(const std::string &key) const
{
    std::lock_guard lock(mutex_);
    auto it = builds_.find(key);
    return it == builds_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<const Build>> BuildRegistry::loaded() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<const Build>> out;
    for (const auto &entry : builds_)
        out.push_back(entry.second);
    return out;
}

std::shared_ptr<const Build> BuildRegistry::open_labels(const std::vector<std::string> &labels)
{
    const std::string key = labels_key(labels);
    const std::optional<std::string> recorded = recorded_stamp(labels);
    if (auto known = get(key); known && (!recorded || known->recorded == *recorded))
        return known;
    const std::string tracemake = settings_.bin_dir + "/tracemake";
    if (::access(tracemake.c_str(), X_OK) != 0)
        throw Unavailable("the recorder (tracemake) is not installed next to traceview: recorded builds cannot be "
                          "drawn; use traceview --rsf FILE");
    std::vector<std::string> argv{tracemake, "rsf"};
    argv.insert(argv.end(), labels.begin(), labels.end());
    const child::Options limits = child_options(settings_.tool_time, rsf_cap);
    child::Result run = child::run(argv, limits);
    if (!run.ok() || run.truncated)
        throw Unavailable(with_said(
            "tracemake rsf " + (run.truncated ? std::string("wrote more than 1 GB") : run.failure()),
            first_line(run.err)));
    auto build = std::make_shared<Build>();
    build->key = key;
    build->recorded = recorded.value_or("");
    build->title = labels.size() == 1 ? labels[0] : labels[0] + " against " + labels[1];
    build->labels = labels;
    try {
        if (labels.size() == 1) {
            build->model = model_with_changes(std::move(run.out), "", build->note);
        } else {
            // The recorder names the files whose content or making changed; changescan pairs their instances.
            ScratchFile list(scratch_, "change-list");
            const child::Result listed =
                child::run({tracemake, "changes", labels[0], labels[1], "-o", list.path()}, limits);
            if (!listed.ok())
                build->note = with_said("changed files are not marked: tracemake changes " + listed.failure(),
                                        first_line(listed.err));
            build->model = model_with_changes(std::move(run.out), listed.ok() ? list.path() : "", build->note);
        }
    } catch (const std::exception &e) {
        throw Unavailable(std::string("the recorder's relation file cannot be read: ") + e.what());
    }
    return keep(build);
}

std::optional<std::string> BuildRegistry::recorded_stamp(const std::vector<std::string> &labels) const
{
    std::vector<LabelInfo> rows;
    try {
        rows = list_labels();
    } catch (const Unavailable &) {
        return std::nullopt; // the recorder, asked next, says what is wrong
    }
    std::string stamp;
    for (const std::string &label : labels) {
        auto row = std::find_if(rows.begin(), rows.end(), [&](const LabelInfo &info) { return info.label == label; });
        stamp += (row == rows.end() ? std::string("-") : row->start) + ";";
    }
    return stamp;
}

std::shared_ptr<const Build> BuildRegistry::keep(std::shared_ptr<const Build> build)
{
    std::lock_guard lock(mutex_);
    builds_[build->key] = build;
    std::erase(opened_labels_, build->key);
    opened_labels_.push_back(build->key);
    while (opened_labels_.size() > kept_labels) {
        // Pages still drawing a dropped build hold it until they are done.
        builds_.erase(opened_labels_.front());
        opened_labels_.erase(opened_labels_.begin());
    }
    return build;
}

namespace {

// libpq's own defaults (PGHOST, PGPORT, PGUSER...) as for the tools; a server that does not answer is given up soon.
pg::Connection connect_trace_db()
{
    pg::Connection conn(PQconnectdb("dbname=DAVER connect_timeout=5 application_name=traceview"));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw Unavailable("cannot reach the trace database DAVER: " +
                          first_line(conn ? PQerrorMessage(conn.get()) : "out of memory"));
    return conn;
}

} // namespace

std::map<std::string, std::vector<std::string>> BuildRegistry::instance_oids(const std::string &label,
                                                                             const std::vector<std::string> &paths) const
{
    pg::Connection conn = connect_trace_db();
    std::string joined; // paths never hold a newline: tracemake names them one a line
    for (const std::string &path : paths)
        joined += (joined.empty() ? "" : "\n") + path;
    pg::Result rows;
    try {
        rows = pg::query(conn.get(),
                         "SELECT p.path, f.OID::text FROM unnest(string_to_array($2, E'\\n')) AS p(path) "
                         "JOIN ZTR_BUILD b ON b.BLD_LABEL = $1 "
                         "JOIN ZTR_FILEINST f ON f.INST_VERSION = $1 AND f.INST_DIR || '/' || f.INST_NAME = "
                         "CASE WHEN p.path LIKE '/%' THEN p.path ELSE b.BLD_TOPDIR || '/' || p.path END",
                         {label, joined});
    } catch (const pg::DbError &e) {
        throw Unavailable(std::string("cannot read the instances of ") + label + ": " + first_line(e.what()));
    }
    std::map<std::string, std::vector<std::string>> oids;
    for (int i = 0; i < PQntuples(rows.get()); ++i)
        oids[PQgetvalue(rows.get(), i, 0)].push_back(PQgetvalue(rows.get(), i, 1));
    return oids;
}

std::vector<LabelInfo> BuildRegistry::list_labels() const
{
    pg::Connection conn = connect_trace_db();
    pg::Result rows;
    try {
        rows = pg::query(conn.get(), "SELECT BLD_LABEL, BLD_TOPDIR, BLD_CMDLINE, BLD_START::text, BLD_STATUS::text, "
                                     "BLD_COMPLETE FROM ZTR_BUILD ORDER BY BLD_START, BLD_LABEL");
    } catch (const pg::DbError &e) {
        throw Unavailable(std::string("cannot read the recorded builds (ZTR_BUILD): ") + first_line(e.what()));
    }
    std::vector<LabelInfo> labels;
    for (int i = 0; i < PQntuples(rows.get()); ++i) {
        LabelInfo info;
        info.label = PQgetvalue(rows.get(), i, 0);
        info.topdir = PQgetvalue(rows.get(), i, 1);
        info.cmdline = PQgetvalue(rows.get(), i, 2);
        info.start = PQgetvalue(rows.get(), i, 3);
        info.status = PQgetvalue(rows.get(), i, 4);
        info.complete = std::string(PQgetvalue(rows.get(), i, 5)) == "1";
        labels.push_back(std::move(info));
    }
    return labels;
}

} // namespace traceview
