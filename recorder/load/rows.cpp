#include "load/rows.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "common/files.h"
#include "makedb/additions.h"
#include "spool/paths.h"
#include "spool/spool.h"

namespace rows {

using spool::instance_location;
using spool::joined_path;
using spool::value_of;

namespace {


/// A spool time in seconds as a number for ordering; an unknown time sorts last.
double seconds(const std::string &epoch)
{
    double value = 0;
    auto [end, error] = std::from_chars(epoch.data(), epoch.data() + epoch.size(), value);
    return error == std::errc() ? value : 1e300;
}

/// One line of COPY text, field by field.
class CopyRow {
public:
    explicit CopyRow(std::string &out) : out_(out) {}
    ~CopyRow() { out_ += '\n'; }
    CopyRow(const CopyRow &) = delete;
    CopyRow &operator=(const CopyRow &) = delete;

    CopyRow &text(std::string_view value)
    {
        separate();
        spool::append_field(out_, value);
        return *this;
    }
    CopyRow &text_or_null(const std::optional<std::string> &value) { return value ? text(*value) : null(); }
    /// The value that `map` holds for `key`, or NULL.
    template <typename Map, typename Key>
    CopyRow &found_or_null(const Map &map, const Key &key)
    {
        auto found = map.find(key);
        if (found == map.end())
            return null();
        if constexpr (std::is_integral_v<std::decay_t<decltype(found->second)>>)
            return number(found->second);
        else
            return text(found->second);
    }
    /// An integer column given as spool text: empty is NULL.
    CopyRow &number_text(const std::string &value) { return value.empty() ? null() : text(value); }
    CopyRow &number(std::int64_t value)
    {
        separate();
        char digits[24];
        auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
        out_.append(digits, end);
        return *this;
    }
    CopyRow &null()
    {
        separate();
        out_ += "\\N";
        return *this;
    }

private:
    void separate()
    {
        if (!first_)
            out_ += '\t';
        first_ = false;
    }
    std::string &out_;
    bool first_ = true;
};

CopyRow &time_column(CopyRow &row, const std::string &epoch)
{
    const std::string literal = timestamp(epoch);
    return literal.empty() ? row.null() : row.text(literal);
}

const char *flag(bool value)
{
    return value ? "1" : "0";
}

/// The records of a spool file of `proc`; one that cannot be read is noted as lost and reads as none.
std::vector<std::vector<std::string>> records_of(Process &proc, const char *name)
{
    try {
        return spool::read_records(proc.folder / name);
    } catch (const std::exception &error) {
        proc.lost.emplace_back(error.what());
        return {};
    }
}

/// Takes the digests of the files that `proc` knew and its make process
/// never looked at (digests.tsv lacks them), where `digests` still can.
void add_late_digests(Process &proc, late_digests::Cache &digests)
{
    const std::string end = value_of(proc.keys, "end");
    if (end.empty())
        return;
    for (const makedb::File *file : proc.files) {
        if (file->phony)
            continue;
        const auto [dir, name] = instance_location(proc.dir, file->name);
        std::string path = joined_path(dir, name);
        if (proc.digests.contains(path))
            continue;
        if (auto digest = digests.digest(path, end))
            proc.digests.emplace(std::move(path), std::move(*digest));
    }
}

/// Reads the data base, commands and digests of a listed process.
void read_process(Process &proc, const std::map<std::string, std::string> &build, late_digests::Cache &digests)
{
    const std::filesystem::path &dir = proc.folder;
    const additions::Additions added{value_of(build, "shimdir"), value_of(build, "preload"),
                                     value_of(proc.keys, "argv0")};
    try {
        if (const auto text = files::read_if_present(dir / spool::database_file)) {
            proc.db = makedb::parse(*text);
            additions::take_out(*proc.db, added);
            for (const makedb::File &file : proc.db->files)
                if (!proc.db->left_out(file))
                    proc.files.push_back(&file);
        }
    } catch (const std::exception &error) {
        proc.lost.emplace_back(error.what());
    }
    proc.dir = spool::process_directory(proc.keys, makedb::curdir(proc.db ? &*proc.db : nullptr));
    for (const auto &record : records_of(proc, spool::exec_file)) {
        if (record.size() < 2)
            continue;
        std::string &commands = proc.executed[record[0]];
        if (!commands.empty())
            commands += '\n';
        commands += additions::take_out_of_command(record[1], added);
    }
    for (const auto &record : records_of(proc, spool::digest_file)) {
        if (record.size() >= 2)
            proc.digests[spool::normal_path(record[0])] = {record[1], record.size() >= 3 ? record[2] : ""};
    }
    add_late_digests(proc, digests);
    if (std::filesystem::exists(dir / spool::status_file))
        proc.statuses = make_reasons::read_statuses(records_of(proc, spool::status_file));
}

} // namespace

std::string timestamp(const std::string &epoch_seconds)
{
    const std::size_t dot = epoch_seconds.find('.');
    long long whole = 0;
    const char *begin = epoch_seconds.data();
    if (epoch_seconds.empty())
        return {};
    auto [end, error] = std::from_chars(begin, begin + std::min(dot, epoch_seconds.size()), whole);
    const time_t t = static_cast<time_t>(whole);
    struct tm parts {};
    if (error != std::errc() || gmtime_r(&t, &parts) == nullptr)
        throw std::runtime_error("not a time: '" + epoch_seconds + "'");
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    std::string literal(text, length);
    if (dot != std::string::npos) {
        const std::string fraction = epoch_seconds.substr(dot + 1, 6);
        if (!fraction.empty() && fraction.find_first_not_of("0123456789") == std::string::npos)
            literal += '.' + fraction;
    }
    return literal + "+00";
}

Spool list_spool(const std::filesystem::path &dir)
{
    Spool spool;
    spool.build = spool::read_keys(dir / spool::build_file);
    if (value_of(spool.build, "label").empty())
        throw std::runtime_error(dir.string() + " is not a spool of tracemake: no " + spool::build_file +
                                 " with a label");
    const auto procs = dir / spool::procs_dir;
    if (std::filesystem::is_directory(procs))
        for (const auto &entry : std::filesystem::directory_iterator(procs))
            if (entry.is_directory()) {
                Process &proc = spool.procs.emplace_back();
                proc.folder = entry.path();
                proc.id = entry.path().filename().string();
                // proc.tsv is there whatever became of make; without it,
                // the shim itself was stopped or could not write.
                std::error_code missing;
                if (!std::filesystem::exists(proc.folder / spool::proc_file, missing))
                    proc.lost.push_back("no " + (proc.folder / spool::proc_file).string());
                try {
                    proc.keys = spool::read_keys(proc.folder / spool::proc_file);
                } catch (const std::exception &error) {
                    proc.lost.emplace_back(error.what());
                }
                if (const std::string lost = value_of(proc.keys, "lost"); !lost.empty())
                    proc.lost.push_back(lost);
                // make notes a sub-make's end when it reaps it: a make that
                // was killed first leaves its sub-makes without one.
                if (proc.lost.empty() && value_of(proc.keys, "status").empty())
                    proc.lost.push_back((proc.folder / spool::proc_file).string() + " tells no end of the make process");
            }
    std::sort(spool.procs.begin(), spool.procs.end(), [](const Process &a, const Process &b) {
        const double sa = seconds(value_of(a.keys, "start")), sb = seconds(value_of(b.keys, "start"));
        return sa != sb ? sa < sb : a.id < b.id;
    });
    return spool;
}

struct Reader::State {
    Spool &spool;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<bool> done;
    std::exception_ptr failure;
    std::atomic<std::size_t> next{0};
    late_digests::Cache digests;
    std::vector<std::jthread> threads;

    explicit State(Spool &s) : spool(s), done(s.procs.size(), false) {}

    void read_some()
    {
        for (std::size_t i; (i = next++) < spool.procs.size();) {
            try {
                read_process(spool.procs[i], spool.build, digests);
            } catch (...) {
                const std::lock_guard hold(lock);
                failure = std::current_exception();
                next = spool.procs.size();
            }
            const std::lock_guard hold(lock);
            done[i] = true;
            changed.notify_all();
        }
    }
};

Reader::Reader(Spool &spool) : state_(std::make_unique<State>(spool))
{
    const std::size_t threads = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                                      spool.procs.size());
    for (std::size_t i = 0; i < threads; ++i)
        state_->threads.emplace_back([state = state_.get()] { state->read_some(); });
}

Reader::~Reader()
{
    state_->next = state_->spool.procs.size();
    state_->threads.clear();
}

void Reader::wait(std::size_t index)
{
    std::unique_lock hold(state_->lock);
    state_->changed.wait(hold, [&] { return state_->done[index] || state_->failure; });
    if (state_->failure)
        std::rethrow_exception(state_->failure);
}

std::vector<std::string> losses(const Spool &spool)
{
    std::vector<std::string> lines;
    for (const Process &proc : spool.procs) {
        if (proc.lost.empty())
            continue;
        std::string line = "make process " + proc.id;
        if (const std::string cmdline = value_of(proc.keys, "cmdline"); !cmdline.empty())
            line += " (" + cmdline + ")";
        // The shim's note and the load's own failure to read may say the same.
        for (std::size_t i = 0; i < proc.lost.size(); ++i)
            if (std::find(proc.lost.begin(), proc.lost.begin() + static_cast<std::ptrdiff_t>(i), proc.lost[i]) ==
                proc.lost.begin() + static_cast<std::ptrdiff_t>(i))
                line += (i == 0 ? ": " : "; ") + proc.lost[i];
        lines.push_back(std::move(line));
    }
    return lines;
}

std::size_t instance_count(const Spool &spool)
{
    std::size_t count = 0;
    for (const Process &proc : spool.procs)
        count += proc.files.size();
    return count;
}

std::size_t append_variable_rows(const Process &proc, std::int64_t oid, std::string &out)
{
    if (!proc.db)
        return 0;
    for (const makedb::Variable &var : proc.db->variables)
        CopyRow(out).text(var.name).text(var.value).number(var.source).number(oid);
    return proc.db->variables.size();
}

namespace {

/// Writes the rows of a spool's processes and instances, once their OIDs are known.
class RowMaker {
public:
    RowMaker(const Spool &spool, std::int64_t first_proc, std::int64_t first_instance, const TextSink &fileinst)
        : spool_(spool), label_(value_of(spool.build, "label")), first_proc_(first_proc), fileinst_sink_(fileinst),
          instances_from_(spool.procs.size()), instance_of_(spool.procs.size())
    {
        std::int64_t next = first_instance;
        for (std::size_t i = 0; i < spool.procs.size(); ++i) {
            const auto &files = spool.procs[i].files;
            proc_index_.emplace(spool.procs[i].id, i);
            instances_from_[i] = next;
            instance_of_[i].reserve(files.size());
            for (const makedb::File *file : files)
                instance_of_[i].emplace(file->name, next++);
        }
    }

    Tables make()
    {
        for (const Process &proc : spool_.procs)
            make_reasons::add_remade(proc, remade_);
        for (std::size_t i = 0; i < spool_.procs.size(); ++i) {
            process_row(i);
            instance_rows(i);
            if (fileinst_sink_ && tables_.fileinst.size() >= (1 << 20))
                pass_fileinst();
        }
        if (fileinst_sink_ && !tables_.fileinst.empty())
            pass_fileinst();
        return std::move(tables_);
    }

private:
    void pass_fileinst()
    {
        fileinst_sink_(tables_.fileinst);
        tables_.fileinst.clear();
    }

    std::int64_t proc_oid(std::size_t index) const { return first_proc_ + static_cast<std::int64_t>(index); }

    void process_row(std::size_t i)
    {
        const Process &proc = spool_.procs[i];
        const std::string parent = value_of(proc.keys, "parent");
        auto parent_at = proc_index_.find(parent);
        CopyRow row(tables_.makeproc);
        row.number(proc_oid(i)).text(value_of(proc.keys, "cmdline")).text(label_);
        if (parent_at == proc_index_.end()) {
            row.null().null().null();
            if (tables_.top_proc < 0)
                tables_.top_proc = proc_oid(i);
        } else {
            row.number(proc_oid(parent_at->second));
            row.found_or_null(instance_of_[parent_at->second], value_of(proc.keys, "parent_target"));
            row.number(sub_makes_[parent]++);
        }
        row.text(proc.dir).number_text(value_of(proc.keys, "status"));
        time_column(row, value_of(proc.keys, "start"));
        time_column(row, value_of(proc.keys, "end"));
    }

    void instance_rows(std::size_t i)
    {
        const Process &proc = spool_.procs[i];
        if (!proc.db)
            return;
        const auto goals = proc.db->goals();
        const make_reasons::Decider decider(proc, remade_);
        for (std::size_t k = 0; k < proc.files.size(); ++k) {
            const makedb::File &file = *proc.files[k];
            const std::int64_t inst = instances_from_[i] + static_cast<std::int64_t>(k);
            const auto [dir, name] = instance_location(proc.dir, file.name);
            {  // the row ends when it goes
                CopyRow row(tables_.fileinst);
                row.number(inst)
                    .text(name)
                    .text(dir)
                    .text(label_)
                    .number(proc_oid(i))
                    .text_or_null(file.recipe)
                    .found_or_null(proc.executed, file.name)
                    .text(flag(file.phony))
                    .text(flag(file.is_target))
                    .text(flag(file.double_colon))
                    .number(std::find(goals.begin(), goals.end(), file.name) != goals.end() ? 1 : 0)
                    .number(file.rule_count);
                if (const auto digest = proc.digests.find(joined_path(dir, name)); digest != proc.digests.end())
                    time_column(row.text(digest->second.hex), digest->second.mtime);
                else
                    row.null().null();
            }
            ++tables_.instances;

            int position = 0;
            for (const auto *list : {&file.prereqs, &file.order_only})
                for (const std::string &prereq : *list) {
                    auto found = instance_of_[i].find(prereq);
                    if (found == instance_of_[i].end())
                        continue;
                    CopyRow(tables_.prereq)
                        .number(inst)
                        .number(found->second)
                        .number(position++)
                        .number(list == &file.order_only ? 1 : 0);
                    ++tables_.prereqs;
                }
            if (proc.executed.contains(file.name)) {
                ++tables_.executed;
                reason_rows(i, inst, decider.decide(file));
            }
            for (const makedb::Variable &var : file.variables)
                CopyRow(tables_.targetvar).number(inst).text(var.name).text(var.op).text(var.value).number(var.source);
        }
    }

    void reason_rows(std::size_t i, std::int64_t inst, const std::vector<make_reasons::Reason> &list)
    {
        int position = 0;
        for (const make_reasons::Reason &reason : list) {
            CopyRow row(tables_.reason);
            row.number(inst).number(position++).text(make_reasons::kind_name(reason.kind));
            if (reason.prereq.empty())
                row.null();
            else
                row.found_or_null(instance_of_[i], std::string_view(reason.prereq));
            if (reason.kind == make_reasons::Kind::newer)
                row.number(reason.remade ? 1 : 0);
            else
                row.null();
            if (reason.note.empty())
                row.null();
            else
                row.text(reason.note);
            ++tables_.reasons;
        }
    }

    const Spool &spool_;
    const std::string label_;
    const std::int64_t first_proc_;
    const TextSink &fileinst_sink_;
    std::unordered_map<std::string_view, std::size_t> proc_index_;
    std::vector<std::int64_t> instances_from_;
    /// Each process's instances by the name its make knows them by.
    std::vector<std::unordered_map<std::string_view, std::int64_t>> instance_of_;
    std::map<std::string, int> sub_makes_; ///< parent ID -> sub-makes numbered so far
    make_reasons::RemadePaths remade_;
    Tables tables_;
};

} // namespace

Tables make_rows(const Spool &spool, std::int64_t first_proc, std::int64_t first_instance, const TextSink &fileinst)
{
    return RowMaker(spool, first_proc, first_instance, fileinst).make();
}

} // namespace rows
