#include "views.h"

#include <algorithm>
#include <deque>
#include <map>
#include <tuple>
#include <unordered_set>

namespace traceview {

namespace {

// What a view draws: the directories it opens as clusters, the units drawn as nodes.
struct Selection {
    int root = -1;
    std::vector<int> opened;            // clusters, parents before children
    std::vector<int> files;             // file units drawn
    std::vector<int> boxes;             // directories drawn as one box
    std::string note;
};

std::size_t direct_files(const RsfModel &m, int dir)
{
    std::size_t n = 0;
    for (int c : m.units()[static_cast<std::size_t>(dir)].children)
        n += m.units()[static_cast<std::size_t>(c)].is_dir ? 0 : 1;
    return n;
}

// Opens `dir`: its files are drawn (as many as `room` allows) and its
// subdirectories become boxes.  Returns the number of files left out.
std::size_t open_dir(const RsfModel &m, int dir, std::size_t room, Selection &s, std::deque<int> &queue)
{
    s.opened.push_back(dir);
    std::size_t left_out = 0;
    for (int c : m.units()[static_cast<std::size_t>(dir)].children) {
        if (m.units()[static_cast<std::size_t>(c)].is_dir) {
            queue.push_back(c);
        } else if (room > 0) {
            s.files.push_back(c);
            --room;
        } else {
            ++left_out;
        }
    }
    return left_out;
}

Selection select_directory(const RsfModel &m, int dir, std::size_t limit)
{
    Selection s;
    s.root = dir;
    std::deque<int> queue;
    const Unit &top = m.units()[static_cast<std::size_t>(dir)];
    std::size_t subdirs = top.children.size() - direct_files(m, dir);
    const std::size_t room = limit > subdirs ? limit - subdirs : 0;
    const std::size_t left_out = open_dir(m, dir, room, s, queue);
    if (left_out > 0)
        s.note = std::to_string(left_out) + " files of " + top.primary + " are not drawn (limit " +
                 std::to_string(limit) + " nodes); search finds them";
    std::size_t drawn = s.files.size() + queue.size();
    // Level by level: the boxes of one depth are opened together when all
    // their contents fit in place of them, so that a view shows the top
    // levels of the tree and never one directory's files among boxes.
    while (!queue.empty()) {
        std::size_t inside = 0;
        for (int box : queue)
            inside += m.units()[static_cast<std::size_t>(box)].children.size();
        if (drawn - queue.size() + inside > limit)
            break;
        drawn = drawn - queue.size() + inside;
        std::deque<int> level;
        level.swap(queue);
        for (int box : level)
            open_dir(m, box, inside, s, queue);
    }
    s.boxes.assign(queue.begin(), queue.end());
    return s;
}

Selection select_file(const RsfModel &m, int file, std::size_t limit)
{
    Selection s;
    const auto &units = m.units();
    std::vector<int> chosen{file};
    std::unordered_set<int> taken{file};
    auto take = [&](int u) {
        if (units[static_cast<std::size_t>(u)].is_dir || taken.count(u) != 0)
            return;
        if (chosen.size() >= limit) {
            s.note = "more neighbours than the limit of " + std::to_string(limit) + " nodes; some are not drawn";
            return;
        }
        taken.insert(u);
        chosen.push_back(u);
    };
    for (const UnitEdge &e : m.edges()) {
        if (e.from == file)
            take(e.to);
        if (e.to == file)
            take(e.from);
    }
    // The make that built it: the goals of its directory and what started them.
    const int dir = units[static_cast<std::size_t>(file)].parent;
    std::vector<int> goals;
    for (int c : units[static_cast<std::size_t>(dir)].children)
        if (units[static_cast<std::size_t>(c)].goal) {
            take(c);
            goals.push_back(c);
        }
    for (const UnitEdge &e : m.edges())
        if (e.invoke && std::find(goals.begin(), goals.end(), e.to) != goals.end())
            take(e.from);

    // The clusters from the deepest directory holding all of them down to each.
    std::unordered_set<int> dirs;
    for (int u : chosen)
        for (int d = units[static_cast<std::size_t>(u)].parent; d >= 0; d = units[static_cast<std::size_t>(d)].parent)
            dirs.insert(d);
    int root = m.root();
    for (;;) {
        int only = -1, count = 0;
        for (int c : units[static_cast<std::size_t>(root)].children)
            if (dirs.count(c) != 0) {
                only = c;
                ++count;
            }
        bool holds_file = false;
        for (int u : chosen)
            holds_file = holds_file || units[static_cast<std::size_t>(u)].parent == root;
        if (count != 1 || holds_file)
            break;
        root = only;
    }
    s.root = root;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const int d = static_cast<int>(i);
        if (dirs.count(d) == 0)
            continue;
        bool below_root = false;
        for (int a = d; a >= 0; a = units[static_cast<std::size_t>(a)].parent)
            below_root = below_root || a == root;
        if (below_root)
            s.opened.push_back(d);
    }
    s.files = std::move(chosen);
    return s;
}

// The raw node names of a unit: its name and its SAME partner's.
std::vector<const std::string *> raw_names(const Unit &u)
{
    std::vector<const std::string *> names{&u.primary};
    if (!u.partner.empty())
        names.push_back(&u.partner);
    return names;
}

void put_record(std::string &rsf, const std::string &relation, const std::string &subject, const std::string &object)
{
    rsf += relation;
    rsf += '\t';
    rsf += subject;
    rsf += '\t';
    rsf += object;
    rsf += '\n';
}

void put_record(std::string &rsf, const Record &r) { put_record(rsf, r.relation, r.subject, r.object); }

std::string write_rsf(const RsfModel &m, const Selection &s)
{
    const auto &units = m.units();
    std::string rsf;
    for (const Record *r : m.layername_records())
        put_record(rsf, *r);
    put_record(rsf, "ROOT", units[static_cast<std::size_t>(s.root)].primary, "-");

    std::unordered_set<std::string> raw_in; // raw nodes drawn as themselves
    for (int d : s.opened) {
        const Unit &u = units[static_cast<std::size_t>(d)];
        for (const std::string *raw : raw_names(u)) {
            raw_in.insert(*raw);
            if (d == s.root)
                continue;
            for (const Record *r : m.own_records(*raw))
                if (r->relation == "CONTAIN")
                    put_record(rsf, *r);
        }
        if (!u.partner.empty())
            put_record(rsf, "SAME", u.primary, u.partner);
    }
    for (int f : s.files) {
        const Unit &u = units[static_cast<std::size_t>(f)];
        for (const std::string *raw : raw_names(u)) {
            raw_in.insert(*raw);
            for (const Record *r : m.own_records(*raw))
                put_record(rsf, *r);
        }
        if (!u.partner.empty())
            put_record(rsf, "SAME", u.primary, u.partner);
    }
    // A box is its directory's node alone, without its partner or contents.
    std::unordered_set<int> box_set(s.boxes.begin(), s.boxes.end());
    for (int b : s.boxes)
        for (const Record *r : m.own_records(units[static_cast<std::size_t>(b)].primary))
            if (r->relation == "CONTAIN")
                put_record(rsf, *r);

    // Where an edge end is drawn: the unit itself, the box it lies in, or nowhere.
    std::unordered_set<int> file_set(s.files.begin(), s.files.end());
    auto drawn_as = [&](int u) {
        if (file_set.count(u) != 0)
            return u;
        for (int d = units[static_cast<std::size_t>(u)].parent; d >= 0; d = units[static_cast<std::size_t>(d)].parent)
            if (box_set.count(d) != 0)
                return d;
        return -1;
    };
    std::map<std::tuple<bool, int, int>, int> merged;
    for (const Record *edge : m.edge_records()) {
        const Record &r = *edge;
        if (raw_in.count(r.subject) != 0 && raw_in.count(r.object) != 0) {
            put_record(rsf, r);
            continue;
        }
        const int from = m.unit_of_raw(r.subject), to = m.unit_of_raw(r.object);
        if (from < 0 || to < 0)
            continue;
        const int a = drawn_as(from), b = drawn_as(to);
        if (a >= 0 && b >= 0 && a != b)
            ++merged[{r.relation == "INVOKE", a, b}];
    }
    for (const auto &[key, count] : merged) {
        const auto &[invoke, a, b] = key;
        put_record(rsf, invoke ? "INVOKE" : "DEPENDON", units[static_cast<std::size_t>(a)].primary,
                   units[static_cast<std::size_t>(b)].primary);
    }
    return rsf;
}

} // namespace

std::string dot_label_statement(const std::string &id, const std::string &label)
{
    auto quote = [](const std::string &text) {
        std::string q = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\')
                q += '\\';
            if (c == '\n') {
                q += "\\n";
                continue;
            }
            q += c;
        }
        return q + "\"";
    };
    return "\t" + quote(id) + "[label=" + quote(label) + "];\n";
}

View make_view(const RsfModel &model, ViewKind kind, int unit, std::size_t limit)
{
    limit = std::clamp(limit, min_view_limit, max_view_limit);
    const Selection s = kind == ViewKind::directory ? select_directory(model, unit, limit)
                                                    : select_file(model, unit, limit);
    View v;
    v.rsf = write_rsf(model, s);
    v.shown = s.files;
    v.shown.insert(v.shown.end(), s.boxes.begin(), s.boxes.end());
    v.boxes = s.boxes;
    v.note = s.note;
    for (int b : s.boxes) {
        const Unit &u = model.units()[static_cast<std::size_t>(b)];
        const std::size_t n = u.files_below;
        v.labels.emplace_back(u.primary, u.name + "/\n" + std::to_string(n) + (n == 1 ? " file" : " files"));
    }
    return v;
}

} // namespace traceview
