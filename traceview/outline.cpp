#include "outline.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_map>

namespace traceview {

namespace {

constexpr const char *more_prefix = "more:";

bool under(const std::string &path, const std::string &dir)
{
    if (dir.empty())
        return false;
    if (dir == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

// The first two parts of a path ("/usr/include" of "/usr/include/sys"), by
// which the directories outside the top are grouped into roots.
std::string group_key(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path.substr(0, path.find('/'));
    const std::size_t second = path.find('/', 1);
    if (second == std::string::npos)
        return path;
    const std::size_t third = path.find('/', second + 1);
    return third == std::string::npos ? path : path.substr(0, third);
}

// The deepest directory that holds (or is) both paths.
std::string common_dir(const std::string &a, const std::string &b)
{
    if (a == b || under(b, a))
        return a;
    if (under(a, b))
        return b;
    std::size_t end = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
        if (a[i] == '/')
            end = i;
    if (end == 0)
        return a[0] == '/' && b[0] == '/' ? "/" : "";
    return a.substr(0, end);
}

// A file the build made: its make's goal, a target or a target whose recipe ran.
bool made_by_build(const RsfModel &m, const Unit &file)
{
    for (const std::string *raw : {&file.primary, &file.partner})
        for (const Record *r : m.own_records(*raw))
            if (r->relation == "TARGET" || r->relation == "EXECUTED" || r->relation == "GOAL")
                return true;
    return false;
}

/// The top directory's children inside it, and the directories outside it that hang from it directly.
void split_by_top(const std::vector<Unit> &units, const Unit &top, std::vector<int> &inside, std::vector<int> &outside)
{
    for (int c : top.children) {
        const Unit &u = units[static_cast<std::size_t>(c)];
        const bool within = !u.is_dir || top.primary == "/" || under(u.primary, top.primary) ||
                            under(u.primary, top.partner);
        (within ? inside : outside).push_back(c);
    }
}

/// The roots of the directories outside the top, and the root each of them is placed under.
void group_roots(const RsfModel &model, const std::vector<int> &outside, std::vector<std::string> &root_paths,
                 std::vector<std::pair<std::string, int>> &placed)
{
    const auto &units = model.units();
    // Object folders first, from the directories that hold what the build made.
    std::map<std::string, std::string> made_roots;   // group key -> root path
    for (int c : outside) {
        const Unit &u = units[static_cast<std::size_t>(c)];
        const bool made = std::any_of(u.children.begin(), u.children.end(), [&](int f) {
            return !units[static_cast<std::size_t>(f)].is_dir && made_by_build(model, units[static_cast<std::size_t>(f)]);
        });
        if (!made)
            continue;
        auto [it, fresh] = made_roots.emplace(group_key(u.primary), u.primary);
        if (!fresh)
            it->second = common_dir(it->second, u.primary);
    }
    for (const auto &[key, path] : made_roots)
        root_paths.push_back(path);
    std::map<std::string, std::string> other_roots;
    for (int c : outside) {
        const std::string &path = units[static_cast<std::size_t>(c)].primary;
        const auto in = std::find_if(root_paths.begin(), root_paths.end(),
                                     [&](const std::string &r) { return path == r || under(path, r); });
        if (in != root_paths.end()) {
            placed.emplace_back(*in, c);
            continue;
        }
        auto [it, fresh] = other_roots.emplace(group_key(path), path);
        if (!fresh)
            it->second = common_dir(it->second, path);
        placed.emplace_back(std::string(), c);
    }
    for (auto &[root_path, c] : placed)
        if (root_path.empty())
            root_path = other_roots.at(group_key(units[static_cast<std::size_t>(c)].primary));
    for (const auto &[key, path] : other_roots)
        root_paths.push_back(path);
}

/// The file counts of each directory, from the files up; a directory's index is above its parent's.
void count_below(const std::vector<Unit> &units, const std::vector<int> &file_dir, std::vector<OutlineDir> &dirs)
{
    for (std::size_t i = 0; i < units.size(); ++i) {
        const int d = file_dir[i];
        if (d < 0)
            continue;
        OutlineDir &dir = dirs[static_cast<std::size_t>(d)];
        ++dir.files_below;
        dir.changed_below += units[i].changed ? 1 : 0;
        dir.added_below += units[i].only_in_layer == 1 ? 1 : 0;
        dir.removed_below += units[i].only_in_layer == 0 ? 1 : 0;
    }
    for (std::size_t i = dirs.size(); i-- > 1;) {
        const OutlineDir &d = dirs[i];
        if (d.parent < 0)
            continue;
        OutlineDir &up = dirs[static_cast<std::size_t>(d.parent)];
        up.files_below += d.files_below;
        up.changed_below += d.changed_below;
        up.added_below += d.added_below;
        up.removed_below += d.removed_below;
    }
}

/// Ranks each directory's subdirectories: the top first among the roots, then by changes, files and name.
void rank_dirs(std::vector<OutlineDir> &dirs, int root)
{
    for (OutlineDir &d : dirs) {
        std::stable_sort(d.dirs.begin(), d.dirs.end(), [&](int a, int b) {
            const OutlineDir &x = dirs[static_cast<std::size_t>(a)], &y = dirs[static_cast<std::size_t>(b)];
            const bool x_top = x.root && x.unit == root, y_top = y.root && y.unit == root;
            if (x_top != y_top)
                return x_top;   // the top directory comes first among the roots
            const std::size_t cx = x.changed_below + x.added_below + x.removed_below;
            const std::size_t cy = y.changed_below + y.added_below + y.removed_below;
            return std::tie(cy, y.files_below, x.name) < std::tie(cx, x.files_below, y.name);
        });
    }
}

} // namespace

Outline::Outline(const RsfModel &model) : file_dir_(model.units().size(), -1)
{
    const int root = model.root();
    if (root < 0)
        return;
    const auto &units = model.units();
    const Unit &top = units[static_cast<std::size_t>(root)];

    // What lies outside the top directory hangs from it directly.
    std::vector<int> inside, outside;
    split_by_top(units, top, inside, outside);
    if (outside.empty()) {
        top_ = add(top.primary, top.primary, root, -1);
        dirs_[static_cast<std::size_t>(top_)].root = true;
        mirror(model, root, top_);
    } else {
        top_ = add(top_id, "roots", -1, -1);
        const int main_root = add(top.primary, top.primary, root, top_);
        dirs_[static_cast<std::size_t>(main_root)].root = true;
        for (int c : inside) {
            if (units[static_cast<std::size_t>(c)].is_dir) {
                mirror(model, c, add(units[static_cast<std::size_t>(c)].primary, units[static_cast<std::size_t>(c)].name,
                                     c, main_root));
            } else {
                dirs_[static_cast<std::size_t>(main_root)].files.push_back(c);
                file_dir_[static_cast<std::size_t>(c)] = main_root;
            }
        }

        std::vector<std::string> root_paths;
        std::vector<std::pair<std::string, int>> placed;   // root path, outside unit
        group_roots(model, outside, root_paths, placed);
        std::unordered_map<std::string, int> root_of;
        for (const std::string &path : root_paths) {
            const int r = add(path, path, -1, top_);
            dirs_[static_cast<std::size_t>(r)].root = true;
            root_of.emplace(path, r);
        }
        std::sort(placed.begin(), placed.end(), [&](const auto &a, const auto &b) {
            return units[static_cast<std::size_t>(a.second)].primary < units[static_cast<std::size_t>(b.second)].primary;
        });
        for (const auto &[root_path, c] : placed) {
            const int d = add_path(root_of.at(root_path), root_path, units[static_cast<std::size_t>(c)].primary);
            dirs_[static_cast<std::size_t>(d)].unit = c;
            mirror(model, c, d);
        }
    }

    count_below(units, file_dir_, dirs_);
    rank_dirs(dirs_, root);
}

int Outline::add(std::string id, std::string name, int unit, int parent)
{
    const int index = static_cast<int>(dirs_.size());
    OutlineDir d;
    d.id = std::move(id);
    d.name = std::move(name);
    d.unit = unit;
    d.parent = parent;
    by_id_.emplace(d.id, index);
    dirs_.push_back(std::move(d));
    if (parent >= 0)
        dirs_[static_cast<std::size_t>(parent)].dirs.push_back(index);
    return index;
}

// The directory `path` below root `root` (at `root_path`), with those between them.
int Outline::add_path(int root, const std::string &root_path, const std::string &path)
{
    int at = root;
    std::size_t from = root_path == "/" ? 1 : root_path.size() + 1;
    while (from <= path.size() && path != dirs_[static_cast<std::size_t>(at)].id) {
        const std::size_t slash = std::min(path.find('/', from), path.size());
        const std::string id = path.substr(0, slash);
        const auto known = by_id_.find(id);
        at = known != by_id_.end() ? known->second : add(id, path.substr(from, slash - from), -1, at);
        from = slash + 1;
    }
    return at;
}

// The model's tree below directory unit `unit`, into outline directory `into`.
void Outline::mirror(const RsfModel &model, int unit, int into)
{
    std::vector<std::pair<int, int>> todo{{unit, into}};
    while (!todo.empty()) {
        const auto [u, d] = todo.back();
        todo.pop_back();
        for (int c : model.units()[static_cast<std::size_t>(u)].children) {
            const Unit &child = model.units()[static_cast<std::size_t>(c)];
            if (child.is_dir) {
                todo.emplace_back(c, add(child.primary, child.name, c, d));
            } else {
                dirs_[static_cast<std::size_t>(d)].files.push_back(c);
                file_dir_[static_cast<std::size_t>(c)] = d;
            }
        }
    }
}

int Outline::dir_of_file(int unit) const
{
    return unit >= 0 && static_cast<std::size_t>(unit) < file_dir_.size() ? file_dir_[static_cast<std::size_t>(unit)] : -1;
}

std::optional<OutlinePlace> Outline::find(const std::string &id) const
{
    OutlinePlace place;
    std::string dir_id = id;
    if (id.rfind(more_prefix, 0) == 0) {
        const std::size_t start = std::char_traits<char>::length(more_prefix);
        const std::size_t colon = id.find(':', start);
        if (colon == std::string::npos || colon == start || colon - start > 9)
            return std::nullopt;
        for (std::size_t i = start; i < colon; ++i) {
            if (id[i] < '0' || id[i] > '9')
                return std::nullopt;
            place.skip = place.skip * 10 + static_cast<std::size_t>(id[i] - '0');
        }
        dir_id = id.substr(colon + 1);
    }
    const auto it = by_id_.find(dir_id);
    if (it == by_id_.end())
        return std::nullopt;
    place.dir = it->second;
    if (place.skip != 0 && place.skip >= dirs_[static_cast<std::size_t>(place.dir)].dirs.size())
        return std::nullopt;
    return place;
}

std::string Outline::more_id(int dir, std::size_t skip) const
{
    return more_prefix + std::to_string(skip) + ":" + dirs_[static_cast<std::size_t>(dir)].id;
}

} // namespace traceview
