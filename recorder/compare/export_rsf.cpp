#include "compare/export_rsf.h"

#include <charconv>
#include <stdexcept>
#include <unordered_set>

namespace rsf {

namespace {

using recorded::Build;
using recorded::Index;
using recorded::Instance;
using recorded::none;

/// Writes records through a buffer of its own, and each directory node once.
class Writer {
public:
    Writer(std::FILE *out, std::string root) : out_(out), root_(std::move(root)) {}

    void record(std::string_view relation, std::string_view subject, std::string_view object)
    {
        buf_.append(relation).append(1, '\t').append(subject).append(1, '\t').append(object).append(1, '\n');
        if (buf_.size() >= (1u << 20))
            flush();
    }

    void record(std::string_view relation, long long subject, std::string_view object)
    {
        record(relation, number(subject), object);
    }

    void record(std::string_view relation, long long subject, long long object)
    {
        const std::string s = number(subject);
        record(relation, s, number(object));
    }

    /// The node of directory `dir` (a path below or outside the root),
    /// contained in its parent, and that one in its own, up to the root.
    /// A directory outside the root hangs from the root directly.
    const std::string &directory(const std::string &dir)
    {
        // Elements of the set keep their place when it grows; iterators do not.
        const auto [it, added] = dirs_.insert(dir);
        const std::string &node = *it;
        if (added && dir != root_) {
            const std::string prefix = root_ == "/" ? "/" : root_ + "/";
            std::string parent = root_;
            if (dir.compare(0, prefix.size(), prefix) == 0 && dir.size() > prefix.size()) {
                const std::size_t slash = dir.rfind('/');
                parent = slash == 0 ? "/" : dir.substr(0, slash);
            }
            const std::string &parent_node = directory(parent);
            record("CONTAIN", token(parent_node), token(dir));
        }
        return node;
    }

    void flush()
    {
        if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), out_) != buf_.size())
            throw std::runtime_error("cannot write the RSF");
        buf_.clear();
    }

    void finish()
    {
        flush();
        if (std::fflush(out_) != 0 || std::ferror(out_) != 0)
            throw std::runtime_error("cannot write the RSF");
    }

private:
    static std::string number(long long n)
    {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, n).ptr;
        return std::string(text, end);
    }

    std::FILE *out_;
    std::string root_;
    std::string buf_;
    std::unordered_set<std::string> dirs_;
};

/// The node of one instance and its make properties.  `dir` is the
/// directory node to contain it, or null when its SAME partner takes its place.
void write_instance(Writer &w, const Instance &inst, const std::string *dir, const std::string *layer)
{
    if (!inst.name.empty())
        w.record("FILE", inst.oid, token(inst.name));
    if (dir != nullptr)
        w.record("CONTAIN", token(w.directory(*dir)), std::to_string(inst.oid));
    if (layer != nullptr)
        w.record("LAYER", inst.oid, *layer);
    if (inst.phony)
        w.record("PHONY", inst.oid, "-");
    if (inst.target)
        w.record("TARGET", inst.oid, "-");
    if (inst.goal)
        w.record("GOAL", inst.oid, "-");
    if (inst.executed)
        w.record("EXECUTED", inst.oid, "-");
    if (inst.dblcount > 0)
        w.record("DBLCLN", inst.oid, inst.dblcount);
}

/// DEPENDON from each target to its prerequisites (each once), and INVOKE
/// from the instance whose recipe started a sub-make to the sub-make's
/// goals; only between instances that `keep` holds, when given.
void write_edges(Writer &w, const Build &build, const std::vector<bool> *keep = nullptr)
{
    const auto kept = [&](Index i) { return keep == nullptr || (*keep)[i]; };
    // The target that last wrote each instance as a prerequisite: a link
    // step may name thousands, some twice.
    std::vector<Index> written_for(build.insts.size(), none);
    for (Index i = 0; i < build.insts.size(); ++i) {
        for (Index k = build.prereq_start[i]; k < build.prereq_start[i + 1]; ++k) {
            const Index p = build.prereqs[k];
            if (written_for[p] != i && kept(i) && kept(p)) {
                written_for[p] = i;
                w.record("DEPENDON", build.insts[i].oid, build.insts[p].oid);
            }
        }
    }
    for (Index i = 0; i < build.insts.size(); ++i) {
        const Instance &inst = build.insts[i];
        if (!inst.goal || inst.proc == none || !kept(i))
            continue;
        const long long starter = build.procs[inst.proc].parent_inst;
        const Index from = starter == 0 ? none : build.inst_by_oid(starter);
        if (from != none && kept(from))
            w.record("INVOKE", starter, inst.oid);
    }
}

} // namespace

bool is_word_break(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string token(std::string_view text)
{
    if (text.empty())
        return "\\000";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (is_word_break(c)) {
            const auto u = static_cast<unsigned char>(c);
            out += '\\';
            out += static_cast<char>('0' + (u >> 6));
            out += static_cast<char>('0' + ((u >> 3) & 7));
            out += static_cast<char>('0' + (u & 7));
        } else {
            out += c;
        }
    }
    return out;
}

void write_build(std::FILE *out, const Build &build)
{
    Writer w(out, build.root);
    w.record("ROOT", token(build.root), "-");
    for (const Instance &inst : build.insts)
        write_instance(w, inst, &inst.dir, nullptr);
    write_edges(w, build);
    w.finish();
}

void write_comparison(std::FILE *out, const Build &a, const Build &b, const pairing::Pairing &pairs,
                      const picture::View *view)
{
    const std::vector<bool> *keep_a = view != nullptr ? &view->keep_a : nullptr;
    const std::vector<bool> *keep_b = view != nullptr ? &view->keep_b : nullptr;
    Writer w(out, a.root);
    const std::string layer_a = token(a.label), layer_b = token(b.label);
    w.record("LAYERNAME", layer_a, "0");
    w.record("LAYERNAME", layer_b, "1");
    w.record("ROOT", token(a.root), "-");
    for (Index i = 0; i < a.insts.size(); ++i)
        if (keep_a == nullptr || (*keep_a)[i])
            write_instance(w, a.insts[i], &a.insts[i].dir, &layer_a);
    // The second build's directories, by the place in the first's that stands for them.
    std::string last_dir, placed;
    for (Index i = 0; i < b.insts.size(); ++i) {
        const Instance &inst = b.insts[i];
        if (i == 0 || inst.dir != last_dir) {
            last_dir = inst.dir;
            placed = pairs.folders.to_first(inst.dir);
        }
        if (keep_b == nullptr || (*keep_b)[i])
            write_instance(w, inst, pairs.partner_b[i] == none ? &placed : nullptr, &layer_b);
    }
    write_edges(w, a, keep_a);
    write_edges(w, b, keep_b);
    for (Index i = 0; i < a.insts.size(); ++i)
        if (pairs.partner_a[i] != none && (keep_a == nullptr || (*keep_a)[i]))
            w.record("SAME", a.insts[i].oid, b.insts[pairs.partner_a[i]].oid);
    if (view != nullptr) {
        // A box for the files of each directory that are not drawn.
        for (std::size_t k = 0; k < view->boxes.size(); ++k) {
            const auto &[dir, count] = view->boxes[k];
            const std::string node = "files-not-drawn-" + std::to_string(k);
            w.record("FILE", node, "(" + std::to_string(count) + "_files_not_drawn)");
            w.record("CONTAIN", token(w.directory(dir)), node);
        }
    }
    w.finish();
}

} // namespace rsf
