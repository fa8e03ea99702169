#include "rows.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unordered_map>

#include "additions.h"
#include "spool.h"

namespace rows {

namespace {

std::string read_whole(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string value_of(const std::map<std::string, std::string> &keys, const std::string &key)
{
    auto found = keys.find(key);
    return found == keys.end() ? std::string() : found->second;
}

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

Process read_process(const std::filesystem::path &dir, const std::map<std::string, std::string> &build)
{
    Process proc;
    proc.id = dir.filename().string();
    proc.keys = spool::read_keys(dir / spool::proc_file);
    const additions::Additions added{value_of(build, "shimdir"), value_of(build, "preload"),
                                     value_of(proc.keys, "argv0"), value_of(proc.keys, "user_p") == "1"};
    proc.dir = value_of(proc.keys, "startdir");
    if (std::filesystem::exists(dir / spool::database_file)) {
        proc.db = makedb::parse(read_whole(dir / spool::database_file));
        additions::take_out(*proc.db, added);
        if (const makedb::Variable *curdir = proc.db->variable("CURDIR"); curdir != nullptr && !curdir->value.empty())
            proc.dir = curdir->value;
        for (const makedb::File &file : proc.db->files)
            if (!proc.db->left_out(file))
                proc.files.push_back(&file);
    }
    for (const auto &record : spool::read_records(dir / spool::exec_file)) {
        if (record.size() < 2)
            continue;
        std::string &commands = proc.executed[record[0]];
        if (!commands.empty())
            commands += '\n';
        commands += additions::take_out_of_command(record[1], added);
    }
    for (const auto &record : spool::read_records(dir / spool::digest_file))
        if (record.size() >= 2)
            proc.digests[record[0]] = record[1];
    return proc;
}

} // namespace

std::pair<std::string, std::string> instance_location(const std::string &workdir, const std::string &name)
{
    std::string trimmed = name;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::filesystem::path path = (std::filesystem::path(workdir) / trimmed).lexically_normal();
    return {path.parent_path().string(), path.filename().string()};
}

std::string timestamp(const std::string &epoch_seconds)
{
    const std::size_t dot = epoch_seconds.find('.');
    long long whole = 0;
    const char *begin = epoch_seconds.data();
    auto [end, error] = std::from_chars(begin, begin + std::min(dot, epoch_seconds.size()), whole);
    if (epoch_seconds.empty() || error != std::errc())
        return {};
    const time_t t = static_cast<time_t>(whole);
    struct tm parts {};
    if (gmtime_r(&t, &parts) == nullptr)
        return {};
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

Spool read_spool(const std::filesystem::path &dir)
{
    Spool spool;
    spool.build = spool::read_keys(dir / spool::build_file);
    if (value_of(spool.build, "label").empty())
        throw std::runtime_error(dir.string() + " is not a spool of tracemake: no " + spool::build_file +
                                 " with a label");
    const auto procs = dir / spool::procs_dir;
    if (std::filesystem::is_directory(procs))
        for (const auto &entry : std::filesystem::directory_iterator(procs))
            if (entry.is_directory())
                spool.procs.push_back(read_process(entry.path(), spool.build));
    std::sort(spool.procs.begin(), spool.procs.end(), [](const Process &a, const Process &b) {
        const double sa = seconds(value_of(a.keys, "start")), sb = seconds(value_of(b.keys, "start"));
        return sa != sb ? sa < sb : a.id < b.id;
    });
    return spool;
}

std::size_t oid_count(const Spool &spool)
{
    std::size_t count = spool.procs.size();
    for (const Process &proc : spool.procs)
        count += proc.files.size();
    return count;
}

Tables make_rows(const Spool &spool, std::int64_t first_oid)
{
    Tables tables;
    const std::string label = value_of(spool.build, "label");
    const std::size_t nprocs = spool.procs.size();

    // OIDs: the processes first, then each process's instances in turn.
    std::unordered_map<std::string_view, std::size_t> proc_index;
    std::vector<std::int64_t> first_instance(nprocs);
    std::int64_t next = first_oid + static_cast<std::int64_t>(nprocs);
    for (std::size_t i = 0; i < nprocs; ++i) {
        proc_index.emplace(spool.procs[i].id, i);
        first_instance[i] = next;
        next += static_cast<std::int64_t>(spool.procs[i].files.size());
    }
    // Each process's instances by the name its make knows them by.
    std::vector<std::unordered_map<std::string_view, std::int64_t>> instance_of(nprocs);
    for (std::size_t i = 0; i < nprocs; ++i) {
        const auto &files = spool.procs[i].files;
        instance_of[i].reserve(files.size());
        for (std::size_t k = 0; k < files.size(); ++k)
            instance_of[i].emplace(files[k]->name, first_instance[i] + static_cast<std::int64_t>(k));
    }

    std::map<std::string, int> sub_makes; // parent ID -> sub-makes numbered so far
    for (std::size_t i = 0; i < nprocs; ++i) {
        const Process &proc = spool.procs[i];
        const std::int64_t oid = first_oid + static_cast<std::int64_t>(i);
        const std::string parent = value_of(proc.keys, "parent");
        auto parent_at = proc_index.find(parent);
        {
        CopyRow row(tables.makeproc);
        row.number(oid).text(value_of(proc.keys, "cmdline")).text(label);
        if (parent_at == proc_index.end()) {
            row.null().null().null();
            if (tables.top_proc < 0)
                tables.top_proc = oid;
        } else {
            row.number(first_oid + static_cast<std::int64_t>(parent_at->second));
            const auto &parent_instances = instance_of[parent_at->second];
            auto target = parent_instances.find(value_of(proc.keys, "parent_target"));
            if (target == parent_instances.end())
                row.null();
            else
                row.number(target->second);
            row.number(sub_makes[parent]++);
        }
        row.text(proc.dir).number_text(value_of(proc.keys, "status"));
        time_column(row, value_of(proc.keys, "start"));
        time_column(row, value_of(proc.keys, "end"));
        }
        ++tables.procs;

        if (!proc.db)
            continue;
        for (const makedb::Variable &var : proc.db->variables) {
            CopyRow(tables.variable).text(var.name).text(var.value).number(var.source).number(oid);
            ++tables.variables;
        }
        const auto goals = proc.db->goals();
        for (std::size_t k = 0; k < proc.files.size(); ++k) {
            const makedb::File &file = *proc.files[k];
            const std::int64_t inst = first_instance[i] + static_cast<std::int64_t>(k);
            const auto [dir, name] = instance_location(proc.dir, file.name);
            {
            CopyRow inst_row(tables.fileinst);
            inst_row.number(inst).text(name).text(dir).text(label).number(oid).text_or_null(file.recipe);
            auto executed = proc.executed.find(file.name);
            if (executed == proc.executed.end())
                inst_row.null();
            else
                inst_row.text(executed->second);
            inst_row.text(flag(file.phony)).text(flag(file.is_target)).text(flag(file.double_colon));
            inst_row.number(std::find(goals.begin(), goals.end(), file.name) != goals.end() ? 1 : 0);
            inst_row.number(file.rule_count);
            auto digest = proc.digests.find(dir == "/" ? "/" + name : dir + "/" + name);
            if (digest == proc.digests.end())
                inst_row.null();
            else
                inst_row.text(digest->second);
            }
            ++tables.instances;

            int position = 0;
            for (const auto *list : {&file.prereqs, &file.order_only})
                for (const std::string &prereq : *list) {
                    auto found = instance_of[i].find(prereq);
                    if (found == instance_of[i].end())
                        continue;
                    CopyRow(tables.prereq).number(inst).number(found->second).number(position++).number(
                        list == &file.order_only ? 1 : 0);
                    ++tables.prereqs;
                }
            for (const makedb::Variable &var : file.variables)
                CopyRow(tables.targetvar).number(inst).text(var.name).text(var.value).number(var.source);
        }
    }
    return tables;
}

} // namespace rows
