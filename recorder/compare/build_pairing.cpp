#include "compare/build_pairing.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "spool/paths.h"

namespace pairing {

namespace {

/// Gives every (relative directory, name) one number, the same in both builds.
class FileNumbers {
public:
    explicit FileNumbers(Pairing &pairing) : pairing_(pairing) {}

    /// The file number of each instance of `build`.
    std::vector<std::uint32_t> number(const Build &build)
    {
        std::unordered_map<std::string, std::string> relative; // a build has few directories
        std::vector<std::uint32_t> numbers;
        numbers.reserve(build.insts.size());
        for (const recorded::Instance &inst : build.insts) {
            auto dir = relative.find(inst.dir);
            if (dir == relative.end())
                dir = relative.emplace(inst.dir, relative_dir(inst.dir, build.root)).first;
            std::string key = dir->second;
            key += '\0';
            key += inst.name;
            auto [it, added] = ids_.try_emplace(std::move(key), static_cast<std::uint32_t>(pairing_.file_name.size()));
            if (added) {
                pairing_.file_dir.push_back(dir->second);
                pairing_.file_name.push_back(inst.name);
            }
            numbers.push_back(it->second);
        }
        return numbers;
    }

private:
    Pairing &pairing_;
    std::unordered_map<std::string, std::uint32_t> ids_;
};

/// Items grouped by a key below `count`: group g's are items[start[g] .. start[g+1]), in item order.
FileGroups group(const std::vector<std::uint32_t> &key_of, std::size_t count)
{
    FileGroups groups;
    groups.start.assign(count + 1, 0);
    for (std::uint32_t k : key_of)
        ++groups.start[k + 1];
    for (std::size_t g = 0; g < count; ++g)
        groups.start[g + 1] += groups.start[g];
    groups.insts.resize(key_of.size());
    std::vector<Index> next(groups.start.begin(), groups.start.end() - 1);
    for (Index i = 0; i < key_of.size(); ++i)
        groups.insts[next[key_of[i]]++] = i;
    return groups;
}

/// The sub-makes of each make process in order of start; the top makes (no parent) under index procs.size().
std::vector<std::vector<Index>> children(const Build &build)
{
    std::vector<std::vector<Index>> kids(build.procs.size() + 1);
    for (Index p = 0; p < build.procs.size(); ++p) {
        const Index parent = build.procs[p].parent;
        kids[parent == none ? build.procs.size() : parent].push_back(p);
    }
    for (auto &list : kids)
        std::stable_sort(list.begin(), list.end(),
                         [&](Index x, Index y) { return build.procs[x].seq < build.procs[y].seq; });
    return kids;
}

/// Each sub-make's key among its siblings: its relative directory and how
/// many siblings before it ran there.
std::map<std::pair<std::string, int>, Index> sibling_keys(const Build &build, const std::vector<Index> &siblings)
{
    std::map<std::pair<std::string, int>, Index> keys;
    std::map<std::string, int> seen;
    for (Index p : siblings) {
        std::string dir = relative_dir(build.procs[p].dir, build.root);
        const int ordinal = seen[dir]++;
        keys.emplace(std::make_pair(std::move(dir), ordinal), p);
    }
    return keys;
}

void pair_procs(const Build &a, const Build &b, Pairing &pairing)
{
    pairing.proc_partner_a.assign(a.procs.size(), none);
    const auto kids_a = children(a), kids_b = children(b);
    // Pairs of parents whose sub-makes are matched next; the tops first.
    std::vector<std::pair<Index, Index>> work = {{static_cast<Index>(a.procs.size()), static_cast<Index>(b.procs.size())}};
    while (!work.empty()) {
        const auto [pa, pb] = work.back();
        work.pop_back();
        const auto keys_b = sibling_keys(b, kids_b[pb]);
        for (const auto &[key, ca] : sibling_keys(a, kids_a[pa])) {
            auto it = keys_b.find(key);
            if (it == keys_b.end())
                continue;
            pairing.proc_partner_a[ca] = it->second;
            work.emplace_back(ca, it->second);
        }
    }
}

/// The instances of each make process, ordered by file and then OID.
FileGroups instances_by_proc(const Build &build, const std::vector<std::uint32_t> &file_of)
{
    // Instances of no known make process go to the group past the last.
    std::vector<std::uint32_t> proc_of(build.insts.size());
    for (Index i = 0; i < build.insts.size(); ++i)
        proc_of[i] = build.insts[i].proc == none ? static_cast<std::uint32_t>(build.procs.size()) : build.insts[i].proc;
    FileGroups groups = group(proc_of, build.procs.size() + 1);
    for (std::size_t p = 0; p < build.procs.size(); ++p)
        std::stable_sort(groups.insts.begin() + groups.start[p], groups.insts.begin() + groups.start[p + 1],
                         [&](Index x, Index y) { return file_of[x] < file_of[y]; });
    return groups;
}

void pair_instances(const Build &a, const Build &b, Pairing &pairing)
{
    pairing.partner_a.assign(a.insts.size(), none);
    pairing.partner_b.assign(b.insts.size(), none);
    const FileGroups by_proc_a = instances_by_proc(a, pairing.file_a);
    const FileGroups by_proc_b = instances_by_proc(b, pairing.file_b);
    for (Index pa = 0; pa < a.procs.size(); ++pa) {
        const Index pb = pairing.proc_partner_a[pa];
        if (pb == none)
            continue;
        // Both lists are ordered by file: the k-th instance of a file in
        // one process pairs with the k-th in the other.
        auto x = by_proc_a.begin(pa), x_end = by_proc_a.end(pa);
        auto y = by_proc_b.begin(pb), y_end = by_proc_b.end(pb);
        while (x != x_end && y != y_end) {
            const std::uint32_t fx = pairing.file_a[*x], fy = pairing.file_b[*y];
            if (fx < fy) {
                ++x;
            } else if (fy < fx) {
                ++y;
            } else {
                pairing.partner_a[*x] = *y;
                pairing.partner_b[*y] = *x;
                ++x;
                ++y;
            }
        }
    }
}

} // namespace

std::string relative_dir(const std::string &dir, const std::string &root)
{
    if (dir == root)
        return "";
    const std::string prefix = root == "/" ? "/" : root + "/";
    if (dir.size() > prefix.size() && dir.compare(0, prefix.size(), prefix) == 0)
        return dir.substr(prefix.size());
    return dir;
}

std::string place_under(const std::string &relative, const std::string &root)
{
    if (relative.empty())
        return root;
    if (relative.front() == '/')
        return relative;
    return spool::joined_path(root, relative);
}

std::string Pairing::file_path(std::uint32_t f) const
{
    return file_dir[f].empty() ? file_name[f] : file_dir[f] + "/" + file_name[f];
}

Pairing pair_builds(const Build &a, const Build &b)
{
    Pairing pairing;
    FileNumbers numbers(pairing);
    pairing.file_a = numbers.number(a);
    pairing.file_b = numbers.number(b);
    pairing.files_a = group(pairing.file_a, pairing.file_count());
    pairing.files_b = group(pairing.file_b, pairing.file_count());
    pair_procs(a, b, pairing);
    pair_instances(a, b, pairing);
    return pairing;
}

} // namespace pairing
