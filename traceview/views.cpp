#include "views.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace traceview {

namespace {

// What a view draws, in the terms relplot reads.
struct Drawing {
    std::string root;                                           // the ROOT record's subject
    std::vector<std::pair<std::string, std::string>> contains;  // CONTAIN of directories and boxes
    std::vector<const Unit *> paired_dirs;                      // opened directories with a SAME partner
    std::vector<int> files;                                     // file units drawn
    std::vector<std::string> box_ids;                           // the boxes
    std::vector<int> box_of_file;                               // by unit: index into box_ids, or -1
};

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

// The raw node names of a unit: its name and its SAME partner's.
std::vector<const std::string *> raw_names(const Unit &u)
{
    std::vector<const std::string *> names{&u.primary};
    if (!u.partner.empty())
        names.push_back(&u.partner);
    return names;
}

/// The records of the drawn files and of the edges between them; `drawn` marks those files by unit.
void put_drawn_files(const RsfModel &m, const Drawing &d, std::string &rsf, std::vector<char> &drawn)
{
    const auto &units = m.units();
    std::unordered_set<std::string> raw_in;   // raw nodes drawn as themselves
    for (int f : d.files) {
        const Unit &u = units[static_cast<std::size_t>(f)];
        drawn[static_cast<std::size_t>(f)] = 1;
        for (const std::string *raw : raw_names(u)) {
            raw_in.insert(*raw);
            for (const Record *r : m.own_records(*raw))
                put_record(rsf, *r);
        }
        if (!u.partner.empty())
            put_record(rsf, "SAME", u.primary, u.partner);
    }
    for (const Record *r : m.edge_records())
        if (raw_in.count(r->subject) != 0 && raw_in.count(r->object) != 0)
            put_record(rsf, *r);
}

/// The edges that end in a box, merged per pair of drawn ends: the heaviest of them, as many as there are nodes.
void put_box_edges(const RsfModel &m, const Drawing &d, const std::vector<char> &drawn, std::string &rsf,
                   std::vector<EdgeMark> &marks, std::size_t &left_out)
{
    const auto &units = m.units();
    // Drawn ends: a file unit as itself (its index), a box as -2 - its index.
    auto end_of = [&](int unit) {
        if (drawn[static_cast<std::size_t>(unit)] != 0)
            return unit;
        const int box = d.box_of_file.empty() ? -1 : d.box_of_file[static_cast<std::size_t>(unit)];
        return box < 0 ? -1 : -2 - box;
    };
    auto raw_of = [&](int end) -> const std::string & {
        return end >= 0 ? units[static_cast<std::size_t>(end)].primary : d.box_ids[static_cast<std::size_t>(-2 - end)];
    };
    auto id_of = [&](int end) -> const std::string & {
        return end >= 0 ? units[static_cast<std::size_t>(end)].id : d.box_ids[static_cast<std::size_t>(-2 - end)];
    };
    struct Merged {
        std::size_t count = 0;
        bool depends = false;
    };
    std::map<std::pair<int, int>, Merged> merged;
    for (const UnitEdge &e : m.edges()) {
        const int a = end_of(e.from), b = end_of(e.to);
        if (a == -1 || b == -1 || a == b || (a >= 0 && b >= 0))
            continue;
        Merged &edge = merged[{a, b}];
        ++edge.count;
        edge.depends = edge.depends || !e.invoke;
    }
    std::vector<std::pair<std::pair<int, int>, Merged>> heaviest(merged.begin(), merged.end());
    std::stable_sort(heaviest.begin(), heaviest.end(),
                     [](const auto &a, const auto &b) { return a.second.count > b.second.count; });
    const std::size_t kept = std::min(heaviest.size(), d.files.size() + d.box_ids.size());
    left_out = heaviest.size() - kept;
    heaviest.resize(kept);
    for (const auto &[ends, edge] : heaviest) {
        put_record(rsf, edge.depends ? "DEPENDON" : "INVOKE", raw_of(ends.first), raw_of(ends.second));
        marks.push_back({id_of(ends.first), id_of(ends.second), edge.count});
    }
}

// The RSF subset of a drawing; edges that end in a box are merged into one
// per pair of drawn nodes, counted in `marks`; of those, no more than there
// are nodes, the heaviest, and `left_out` says how many more there were.
std::string write_rsf(const RsfModel &m, const Drawing &d, std::vector<EdgeMark> &marks, std::size_t &left_out)
{
    std::string rsf;
    for (const Record *r : m.layername_records())
        put_record(rsf, *r);
    put_record(rsf, "ROOT", d.root, "-");
    for (const auto &[parent, child] : d.contains)
        put_record(rsf, "CONTAIN", parent, child);
    for (const Unit *u : d.paired_dirs)
        put_record(rsf, "SAME", u->primary, u->partner);

    std::vector<char> drawn(m.units().size(), 0);
    put_drawn_files(m, d, rsf, drawn);
    put_box_edges(m, d, drawn, rsf, marks, left_out);
    return rsf;
}

std::string count_text(std::size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The second line of a box: its files, and what changed among them
// ("3 changed +2 -1": changed, added, removed), short to keep boxes narrow.
std::string box_counts(const Box &b)
{
    std::string text = count_text(b.files, "file", "files");
    std::string changes;
    if (b.changed > 0)
        changes = std::to_string(b.changed) + " changed";
    if (b.added > 0)
        changes += (changes.empty() ? "+" : " +") + std::to_string(b.added);
    if (b.removed > 0)
        changes += (changes.empty() ? "-" : " -") + std::to_string(b.removed);
    return changes.empty() ? text : text + "\n" + changes;
}

// A directory's files, those that changed first.
std::vector<int> ranked_files(const RsfModel &m, const OutlineDir &dir)
{
    std::vector<int> files = dir.files;
    std::stable_partition(files.begin(), files.end(), [&](int f) {
        const Unit &u = m.units()[static_cast<std::size_t>(f)];
        return u.changed || u.only_in_layer >= 0;
    });
    return files;
}

// Columns for n nodes in rows: about as many rows as columns (a box is wider than high).
std::size_t columns_of(std::size_t n)
{
    std::size_t columns = 1;
    while (columns * columns < 2 * n)
        ++columns;
    return columns;
}

// Invisible edges that lay `ids` out in rows: each node below the one a row before it.
void put_in_rows(const std::vector<std::string> &ids, std::vector<std::pair<std::string, std::string>> &hints)
{
    const std::size_t columns = columns_of(ids.size());
    for (std::size_t i = columns; i < ids.size(); ++i)
        hints.emplace_back(ids[i - columns], ids[i]);
}

} // namespace

std::string dot_quote(const std::string &text)
{
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
}

std::string dot_label_statement(const std::string &id, const std::string &label)
{
    return "\t" + dot_quote(id) + "[label=" + dot_quote(label) + "];\n";
}

std::string dot_cluster_label_statement(const std::string &id, const std::string &label)
{
    return "\tsubgraph " + dot_quote("cluster_" + id) + " { label=" + dot_quote(label) + "; }\n";
}

namespace {

/// The start's own files in the room its directories leave, with a note for those left out.
void take_own_files(const OutlineDir &start, std::size_t limit, const std::vector<int> &own_files,
                    const std::vector<int> &level, std::size_t more, View &v, std::vector<std::string> &notes)
{
    const std::size_t file_room = limit - level.size() - (more > 0 ? 1 : 0);
    const std::size_t taken = std::min(file_room, own_files.size());
    v.files.assign(own_files.begin(), own_files.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken < own_files.size())
        notes.push_back(std::to_string(own_files.size() - taken) + " files of " + start.id + " are not drawn (limit " +
                        std::to_string(limit) + " nodes); search finds them");
}

/// Opens the levels below the start while their contents fit; `level` is left as the boxes drawn closed.
void open_levels(const Outline &outline, std::size_t limit, std::size_t more, std::vector<int> &opened,
                 std::vector<int> &level, View &v)
{
    const auto &dirs = outline.dirs();
    auto dir = [&](int d) -> const OutlineDir & { return dirs[static_cast<std::size_t>(d)]; };
    // Level by level: the boxes of one depth are opened together when all
    // their contents fit in place of them, so that a view shows the top
    // levels of the tree and never one directory's files among boxes.
    std::size_t drawn = v.files.size() + level.size() + (more > 0 ? 1 : 0);
    while (!level.empty()) {
        std::size_t inside = 0;
        for (int d : level)
            inside += dir(d).dirs.size() + dir(d).files.size();
        if (drawn - level.size() + inside > limit)
            break;
        drawn = drawn - level.size() + inside;
        std::vector<int> next;
        for (int d : level) {
            opened.push_back(d);
            next.insert(next.end(), dir(d).dirs.begin(), dir(d).dirs.end());
            v.files.insert(v.files.end(), dir(d).files.begin(), dir(d).files.end());
        }
        level.swap(next);
    }
}

/// The closed boxes and the "more" box, and which box each file below the open part lies in.
void put_boxes(const RsfModel &model, const Outline &outline, OutlinePlace place, const std::vector<int> &level,
               const std::vector<int> &kids, std::size_t more_from, std::size_t more, View &v,
               std::vector<std::string> &notes, Drawing &drawing, std::vector<int> &box_frame)
{
    const auto &dirs = outline.dirs();
    auto dir = [&](int d) -> const OutlineDir & { return dirs[static_cast<std::size_t>(d)]; };
    const OutlineDir &start = dir(place.dir);
    drawing.box_of_file.assign(model.units().size(), -1);
    // Which box each directory below the view's open part lies in.
    std::vector<int> box_of_dir(dirs.size(), -1);
    auto add_box = [&](Box box, int frame) {
        drawing.box_ids.push_back(box.id);
        v.boxes.push_back(std::move(box));
        box_frame.push_back(frame);
        return static_cast<int>(v.boxes.size()) - 1;
    };
    for (int d : level) {
        const OutlineDir &o = dir(d);
        box_of_dir[static_cast<std::size_t>(d)] =
            add_box({o.id, o.name, o.id, o.files_below, o.changed_below, o.added_below, o.removed_below, 0}, o.parent);
    }
    if (more > 0) {
        Box box{outline.more_id(place.dir, place.skip + more_from), "", start.id, 0, 0, 0, 0, more};
        for (std::size_t i = more_from; i < kids.size(); ++i) {
            const OutlineDir &o = dir(kids[i]);
            box.files += o.files_below;
            box.changed += o.changed_below;
            box.added += o.added_below;
            box.removed += o.removed_below;
        }
        box.name = count_text(more, "more directory", "more directories");
        const int index = add_box(std::move(box), place.dir);
        for (std::size_t i = more_from; i < kids.size(); ++i)
            box_of_dir[static_cast<std::size_t>(kids[i])] = index;
        notes.push_back(std::to_string(more) + " of the " + std::to_string(kids.size()) + " directories of " +
                        start.name + " are in the box \"" + v.boxes.back().name + "\"");
    }
    // A directory's index is above its parent's: one pass hands the boxes down.
    for (std::size_t d = 0; d < dirs.size(); ++d)
        if (box_of_dir[d] < 0 && dirs[d].parent >= 0)
            box_of_dir[d] = box_of_dir[static_cast<std::size_t>(dirs[d].parent)];
    for (std::size_t u = 0; u < model.units().size(); ++u) {
        const int d = outline.dir_of_file(static_cast<int>(u));
        if (d >= 0)
            drawing.box_of_file[u] = box_of_dir[static_cast<std::size_t>(d)];
    }
}

/// A note for the directories drawn closed, and how many files they hold.
void note_closed_boxes(const View &v, std::size_t more, std::size_t limit, std::vector<std::string> &notes)
{
    const std::size_t closed = v.boxes.size() - (more > 0 ? 1 : 0);
    if (closed > 0) {
        std::size_t files = 0;
        for (std::size_t i = 0; i < closed; ++i)
            files += v.boxes[i].files;
        notes.push_back(count_text(closed, "directory", "directories") + " drawn closed, holding " +
                        count_text(files, "file", "files") + " (opening the next level would pass " +
                        std::to_string(limit) + " nodes); click one to open it");
    }
}

/// The RSF of a directory view: its roots, frames and boxes; says whether the roots are drawn without a frame.
bool write_tree(const RsfModel &model, const Outline &outline, OutlinePlace place, const std::vector<int> &opened,
                const std::vector<int> &level, std::size_t more, View &v, std::vector<std::string> &notes,
                Drawing &drawing)
{
    const auto &dirs = outline.dirs();
    auto dir = [&](int d) -> const OutlineDir & { return dirs[static_cast<std::size_t>(d)]; };
    const OutlineDir &start = dir(place.dir);
    // The drawing: with several roots the view starts at the first and the
    // others follow it as its siblings, without a frame around them all
    // (relplot walks on from its root along the root's siblings, which come
    // in the reverse order of their CONTAIN records).
    std::vector<int> children_drawn;   // of the start, in rank order
    for (std::size_t i = 1; i < opened.size(); ++i)
        if (dir(opened[i]).parent == place.dir)
            children_drawn.push_back(opened[i]);
    for (int d : level)
        if (dir(d).parent == place.dir)
            children_drawn.push_back(d);
    std::stable_sort(children_drawn.begin(), children_drawn.end(), [&](int a, int b) {
        return std::find(start.dirs.begin(), start.dirs.end(), a) < std::find(start.dirs.begin(), start.dirs.end(), b);
    });
    const bool frameless = start.unit < 0 && start.parent < 0 && !children_drawn.empty();
    drawing.root = frameless ? dir(children_drawn.front()).id : start.id;
    if (more > 0)
        drawing.contains.emplace_back(start.id, v.boxes.back().id);
    for (auto it = children_drawn.rbegin(); it != children_drawn.rend(); ++it)
        drawing.contains.emplace_back(start.id, dir(*it).id);
    for (std::size_t i = 1; i < opened.size(); ++i)
        if (dir(opened[i]).parent != place.dir)
            drawing.contains.emplace_back(dir(dir(opened[i]).parent).id, dir(opened[i]).id);
    for (int d : level)
        if (dir(d).parent != place.dir)
            drawing.contains.emplace_back(dir(dir(d).parent).id, dir(d).id);
    for (int d : opened) {
        const OutlineDir &o = dir(d);
        if (o.unit >= 0 && !model.units()[static_cast<std::size_t>(o.unit)].partner.empty())
            drawing.paired_dirs.push_back(&model.units()[static_cast<std::size_t>(o.unit)]);
        if (o.root)
            v.extras.cluster_labels.emplace_back(o.id, o.name);
    }
    drawing.files = v.files;
    std::size_t edges_left_out = 0;
    v.rsf = write_rsf(model, drawing, v.extras.edges, edges_left_out);
    v.extras.straight = !v.boxes.empty();
    if (edges_left_out > 0)
        notes.push_back(std::to_string(edges_left_out) + " lighter edges between boxes are not drawn (" +
                        std::to_string(v.extras.edges.size()) + " are)");
    return frameless;
}

/// Layout hints: rows in each frame, and a frameless view's root frames stacked one below the other.
void lay_out_frames(const RsfModel &model, const Outline &outline, bool frameless, const std::vector<int> &box_frame,
                    View &v)
{
    const auto &dirs = outline.dirs();
    auto dir = [&](int d) -> const OutlineDir & { return dirs[static_cast<std::size_t>(d)]; };
    // Rows in each frame: its boxes first, as ranked, then its files.
    std::map<int, std::vector<std::string>> frames;
    for (std::size_t b = 0; b < v.boxes.size(); ++b)
        frames[box_frame[b]].push_back(v.boxes[b].id);
    for (int f : v.files)
        frames[outline.dir_of_file(f)].push_back(model.units()[static_cast<std::size_t>(f)].id);
    // The roots' frames one below the other, not side by side: those whose
    // files depend on the others' above them, as dot ranks their edges.
    // Side by side they make a picture far wider than a window.
    std::vector<std::pair<long long, const std::vector<std::string> *>> stack;
    std::unordered_map<std::string, int> frame_of;
    for (const auto &[d, ids] : frames) {
        put_in_rows(ids, v.extras.hints);
        for (const std::string &id : ids)
            frame_of.emplace(id, d);
    }
    if (frameless) {
        std::map<int, long long> net;
        for (const EdgeMark &e : v.extras.edges) {
            const auto a = frame_of.find(e.from), b = frame_of.find(e.to);
            if (a != frame_of.end() && b != frame_of.end() && a->second != b->second) {
                net[a->second] += static_cast<long long>(e.count);
                net[b->second] -= static_cast<long long>(e.count);
            }
        }
        for (const auto &[d, ids] : frames)
            if (dir(d).root)
                stack.emplace_back(-net[d], &ids);
        std::stable_sort(stack.begin(), stack.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (std::size_t i = 1; i < stack.size(); ++i) {
            // Column under column, so that the frames stand flush, not in steps.
            const auto &upper = *stack[i - 1].second, &lower = *stack[i].second;
            const std::size_t above = std::min(columns_of(upper.size()), upper.size());
            for (std::size_t c = 0; c < std::min(lower.size(), columns_of(lower.size())); ++c) {
                const std::size_t column = c % above;
                const std::size_t bottom = column + (upper.size() - 1 - column) / above * above;
                v.extras.hints.emplace_back(upper[std::min(bottom, upper.size() - 1)], lower[c]);
            }
        }
    }
}

} // namespace

View make_directory_view(const RsfModel &model, const Outline &outline, OutlinePlace place, std::size_t limit)
{
    limit = std::clamp(limit, min_view_limit, max_view_limit);
    const auto &dirs = outline.dirs();
    auto dir = [&](int d) -> const OutlineDir & { return dirs[static_cast<std::size_t>(d)]; };
    const OutlineDir &start = dir(place.dir);
    View v;
    std::vector<std::string> notes;

    // The start's own level: its directories first (each stands for many
    // files), then as many of its files as there is room for.
    std::vector<int> opened{place.dir}, level;
    std::vector<int> kids(start.dirs.begin() + static_cast<std::ptrdiff_t>(std::min(place.skip, start.dirs.size())),
                          start.dirs.end());
    const std::vector<int> own_files = place.skip == 0 ? ranked_files(model, start) : std::vector<int>{};
    std::size_t more_from = kids.size();
    if (kids.size() + own_files.size() > limit && kids.size() >= limit)
        more_from = limit - 1;
    level.assign(kids.begin(), kids.begin() + static_cast<std::ptrdiff_t>(more_from));
    const std::size_t more = kids.size() - more_from;
    take_own_files(start, limit, own_files, level, more, v, notes);
    open_levels(outline, limit, more, opened, level, v);

    Drawing drawing;
    std::vector<int> box_frame;   // by box: the outline directory whose frame holds it
    put_boxes(model, outline, place, level, kids, more_from, more, v, notes, drawing, box_frame);
    note_closed_boxes(v, more, limit, notes);
    const bool frameless = write_tree(model, outline, place, opened, level, more, v, notes, drawing);
    lay_out_frames(model, outline, frameless, box_frame, v);

    for (const Box &b : v.boxes)
        v.extras.labels.emplace_back(b.id, (b.more > 0 || b.name.back() == '/' ? b.name : b.name + "/") + "\n" +
                                               box_counts(b));
    for (int d = place.dir; d >= 0; d = dir(d).parent)
        v.crumbs.insert(v.crumbs.begin(), {dir(d).id, dir(d).name});
    if (place.skip > 0)
        v.crumbs.emplace_back(outline.more_id(place.dir, place.skip),
                              count_text(start.dirs.size() - place.skip, "more directory", "more directories"));
    for (const std::string &n : notes)
        v.note += (v.note.empty() ? "" : "; ") + n;
    return v;
}

namespace {

/// The file, its neighbours and the make that built it, no more than `limit`; a note in `v` if some are left out.
std::vector<int> file_neighbours(const RsfModel &m, int file, std::size_t limit, View &v)
{
    const auto &units = m.units();
    std::vector<int> chosen{file};
    std::unordered_set<int> taken{file};
    auto take = [&](int u) {
        if (units[static_cast<std::size_t>(u)].is_dir || taken.count(u) != 0)
            return;
        if (chosen.size() >= limit) {
            v.note = "more neighbours than the limit of " + std::to_string(limit) + " nodes; some are not drawn";
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
    return chosen;
}

/// The deepest directory holding all of `chosen`; `dirs` gets every directory above them.
int cluster_root(const RsfModel &m, const std::vector<int> &chosen, std::unordered_set<int> &dirs)
{
    const auto &units = m.units();
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
    return root;
}

} // namespace

View make_file_view(const RsfModel &m, int file, std::size_t limit)
{
    limit = std::clamp(limit, min_view_limit, max_view_limit);
    View v;
    const auto &units = m.units();
    std::vector<int> chosen = file_neighbours(m, file, limit, v);

    // The clusters from the deepest directory holding all of them down to each.
    std::unordered_set<int> dirs;
    const int root = cluster_root(m, chosen, dirs);
    Drawing drawing;
    drawing.root = units[static_cast<std::size_t>(root)].primary;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const int d = static_cast<int>(i);
        if (dirs.count(d) == 0)
            continue;
        bool below_root = false;
        for (int a = d; a >= 0; a = units[static_cast<std::size_t>(a)].parent)
            below_root = below_root || a == root;
        if (!below_root)
            continue;
        if (d != root)
            drawing.contains.emplace_back(units[static_cast<std::size_t>(units[i].parent)].primary, units[i].primary);
        if (!units[i].partner.empty())
            drawing.paired_dirs.push_back(&units[i]);
    }
    drawing.files = chosen;
    std::size_t none_merged = 0;
    v.rsf = write_rsf(m, drawing, v.extras.edges, none_merged);
    v.files = std::move(chosen);
    return v;
}

View make_view(const RsfModel &model, ViewKind kind, int unit, std::size_t limit)
{
    if (kind == ViewKind::file)
        return make_file_view(model, unit, limit);
    const Outline outline(model);
    const auto place = outline.find(model.units()[static_cast<std::size_t>(unit)].id);
    return make_directory_view(model, outline, place ? *place : OutlinePlace{outline.top(), 0}, limit);
}

} // namespace traceview
