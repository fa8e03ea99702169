#include "compare/picture_view.h"

#include <algorithm>
#include <map>
#include <utility>

namespace picture {

namespace {

using recorded::Build;
using recorded::Index;
using recorded::none;

/// The instances that name each instance as a prerequisite.
std::vector<std::vector<Index>> dependents(const Build &build)
{
    std::vector<std::vector<Index>> users(build.insts.size());
    for (Index i = 0; i < build.insts.size(); ++i)
        for (Index k = build.prereq_start[i]; k < build.prereq_start[i + 1]; ++k)
            users[build.prereqs[k]].push_back(i);
    return users;
}

/// The nodes of the drawing: each instance of the first build, and each
/// unpaired one of the second (numbered after the first's by its index,
/// so that numbers run up to span()).
class Nodes {
public:
    Nodes(const Build &a, const Build &b, const pairing::Pairing &pairs)
        : a_(a), b_(b), pairs_(pairs), users_a_(dependents(a)), users_b_(dependents(b))
    {
    }

    /// The numbers that nodes may have.
    std::size_t span() const { return a_.insts.size() + b_.insts.size(); }
    /// The number of nodes.
    std::size_t count() const
    {
        return a_.insts.size() +
               static_cast<std::size_t>(std::count(pairs_.partner_b.begin(), pairs_.partner_b.end(), none));
    }
    std::size_t of_a(Index i) const { return i; }
    std::size_t of_b(Index j) const
    {
        return pairs_.partner_b[j] != none ? pairs_.partner_b[j] : a_.insts.size() + j;
    }

    /// The prerequisites and dependents of node `n` in either build.
    std::vector<std::size_t> neighbours(std::size_t n) const
    {
        std::vector<std::size_t> out;
        const auto add_b = [&](Index j) {
            for (Index k = b_.prereq_start[j]; k < b_.prereq_start[j + 1]; ++k)
                out.push_back(of_b(b_.prereqs[k]));
            for (Index u : users_b_[j])
                out.push_back(of_b(u));
        };
        if (n < a_.insts.size()) {
            const Index i = static_cast<Index>(n);
            for (Index k = a_.prereq_start[i]; k < a_.prereq_start[i + 1]; ++k)
                out.push_back(of_a(a_.prereqs[k]));
            for (Index u : users_a_[i])
                out.push_back(of_a(u));
            if (pairs_.partner_a[i] != none)
                add_b(pairs_.partner_a[i]);
        } else {
            add_b(static_cast<Index>(n - a_.insts.size()));
        }
        return out;
    }

private:
    const Build &a_, &b_;
    const pairing::Pairing &pairs_;
    std::vector<std::vector<Index>> users_a_, users_b_;
};

/// `dir` (a file's directory as the pairing has it) as an absolute path in the first build's tree.
std::string absolute(const std::string &dir, const std::string &root)
{
    if (dir.empty())
        return root;
    if (dir.front() == '/')
        return dir;
    return root == "/" ? "/" + dir : root + "/" + dir;
}

/// `dir` one level up, no higher than `root`.
std::string parent_within(const std::string &dir, const std::string &root)
{
    if (dir == root || dir.size() <= 1)
        return dir;
    const std::size_t slash = dir.rfind('/');
    const std::string up = slash == 0 ? "/" : dir.substr(0, slash);
    return up.size() < root.size() && root.compare(0, up.size(), up) == 0 ? root : up;
}

/// The nodes to draw, as many as `room` holds: the changed files with their neighbours first,
/// then those removed, then those added.
void choose_nodes(const Nodes &nodes, const pairing::Pairing &pairs, const changes::ChangeSet &set, std::size_t room,
                  std::vector<bool> &drawn, std::vector<std::size_t> &chosen)
{
    const auto take = [&](std::size_t n) {
        if (!drawn[n] && chosen.size() < room) {
            drawn[n] = true;
            chosen.push_back(n);
        }
    };
    // The changed files with their neighbours first, then those removed, then those added.
    std::vector<std::uint32_t> changed;
    for (const changes::ChangedFile &change : set.changed)
        changed.push_back(change.file);
    for (const std::vector<std::uint32_t> *files : {&std::as_const(changed), &set.removed, &set.added}) {
        const std::size_t first = chosen.size();
        for (std::uint32_t f : *files) {
            for (auto i = pairs.files_a.begin(f); i != pairs.files_a.end(f); ++i)
                take(nodes.of_a(*i));
            for (auto j = pairs.files_b.begin(f); j != pairs.files_b.end(f); ++j)
                take(nodes.of_b(*j));
        }
        const std::size_t seeds = chosen.size();
        for (std::size_t k = first; k < seeds && chosen.size() < room; ++k)
            for (std::size_t n : nodes.neighbours(chosen[k]))
                take(n);
    }
}

/// The boxes of what the picture leaves out, no more than the room left beside `nodes_drawn` nodes.
std::map<std::string, std::size_t> left_out(const Build &a, const pairing::Pairing &pairs, const View &view,
                                            std::size_t limit, std::size_t nodes_drawn)
{
    // The files with no instance drawn, counted by directory; directories
    // merged into their parents while there are more boxes than room.
    std::map<std::string, std::size_t> left;
    for (std::uint32_t f = 0; f < pairs.file_count(); ++f) {
        const bool shown = std::any_of(pairs.files_a.begin(f), pairs.files_a.end(f), [&](Index i) { return view.keep_a[i]; }) ||
                           std::any_of(pairs.files_b.begin(f), pairs.files_b.end(f), [&](Index j) { return view.keep_b[j]; });
        if (!shown)
            ++left[absolute(pairs.file_dir[f], a.root)];
    }
    const std::size_t box_room = std::max<std::size_t>(limit - nodes_drawn, 1);
    while (left.size() > box_room) {
        std::map<std::string, std::size_t> merged;
        for (const auto &[dir, count] : left)
            merged[parent_within(dir, a.root)] += count;
        if (merged.size() == left.size()) {
            // Nothing more to merge: one box for all.
            std::size_t all = 0;
            for (const auto &[dir, count] : merged)
                all += count;
            merged = {{a.root, all}};
        }
        left = std::move(merged);
    }
    return left;
}

} // namespace

View select(const Build &a, const Build &b, const pairing::Pairing &pairs, const changes::ChangeSet &set,
            std::size_t limit)
{
    View view;
    const Nodes nodes(a, b, pairs);
    const std::size_t total = nodes.count();
    view.keep_a.assign(a.insts.size(), false);
    view.keep_b.assign(b.insts.size(), false);
    if (total <= limit) {
        view.whole = true;
        view.keep_a.assign(a.insts.size(), true);
        view.keep_b.assign(b.insts.size(), true);
        view.nodes = total;
        return view;
    }
    // A quarter of the room is kept for the boxes of what is left out.
    const std::size_t room = limit - limit / 4;
    std::vector<bool> drawn(nodes.span(), false);
    std::vector<std::size_t> chosen;
    choose_nodes(nodes, pairs, set, room, drawn, chosen);

    for (Index i = 0; i < a.insts.size(); ++i)
        view.keep_a[i] = drawn[nodes.of_a(i)];
    for (Index j = 0; j < b.insts.size(); ++j)
        view.keep_b[j] = drawn[nodes.of_b(j)];

    const std::map<std::string, std::size_t> left = left_out(a, pairs, view, limit, chosen.size());
    view.boxes.assign(left.begin(), left.end());
    view.nodes = chosen.size() + view.boxes.size();
    return view;
}

} // namespace picture
