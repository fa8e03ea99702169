#include "compare/build_pairing.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "spool/paths.h"


namespace pairing {

namespace {

/// Gives every (relative directory, name) one number, the same in both builds.
class FileNumbers {
public:
    /// `root` is the first build's top directory, what relative folders start from.
    FileNumbers(Pairing &pairing, std::string root) : pairing_(pairing), root_(std::move(root)) {}

    /// The file number of each instance of `build`, whose folders
    /// `place` turns into the first build's.
    template <typename Place>
    std::vector<std::uint32_t> number(const Build &build, const Place &place)
    {
        std::unordered_map<std::string, std::string> relative; // a build has few directories
        std::vector<std::uint32_t> numbers;
        numbers.reserve(build.insts.size());
        for (const recorded::Instance &inst : build.insts) {
            auto dir = relative.find(inst.dir);
            if (dir == relative.end())
                dir = relative.emplace(inst.dir, relative_dir(place(inst.dir), root_)).first;
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
    std::string root_;
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

/// Whether `path` is folder `dir` or lies below it.
bool lies_in(std::string_view path, std::string_view dir)
{
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

/// A character that may continue a path component: a folder found in text
/// followed by one of these is only the start of another name.
bool continues_name(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == '+';
}

/// The length of what comes before a command-line word's value: "-C" of
/// "-CDIR", "--directory=", "NAME=" of a variable assignment; 0 for a bare word.
std::size_t value_start(const std::string &word)
{
    if (word.size() > 2 && word.starts_with("-C"))
        return 2;
    if (word.starts_with("--directory="))
        return 12;
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0 || word[0] == '-')
        return 0;
    const bool name = std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
    return name ? eq + 1 : 0;
}

/// The folders that a build's make processes and instances name: what
/// a command-line value must lead to before it is taken for a folder.
class KnownFolders {
public:
    explicit KnownFolders(const Build &build)
    {
        for (const recorded::MakeProc &p : build.procs)
            dirs_.insert(p.dir);
        for (const recorded::Instance &i : build.insts)
            dirs_.insert(i.dir);
    }
    /// Whether `dir` holds a folder the build used.
    bool holds(const std::string &dir) const
    {
        return std::any_of(dirs_.begin(), dirs_.end(), [&](const std::string &d) { return lies_in(d, dir); });
    }

private:
    std::set<std::string> dirs_;
};

/// Pairs make processes from the top down, learning folders as it goes.
class ProcPairer {
public:
    ProcPairer(const Build &a, const Build &b, Pairing &pairing)
        : a_(a), b_(b), pairing_(pairing), kids_a_(children(a)), kids_b_(children(b)), known_a_(a), known_b_(b)
    {
        pairing_.proc_partner_a.assign(a.procs.size(), none);
        pairing_.proc_partner_b.assign(b.procs.size(), none);
    }

    void run()
    {
        if (a_.root != "/" && b_.root != "/")
            pairing_.folders.add(a_.root, b_.root);
        // Pairs of parents whose sub-makes are matched next; the tops first.
        std::deque<std::pair<Index, Index>> work = {{static_cast<Index>(a_.procs.size()), static_cast<Index>(b_.procs.size())}};
        descend(work);
        // A make process whose parent has no partner may still have one:
        // a level of recursion more or less in one build.
        std::vector<Index> left_a, left_b;
        for (Index p = 0; p < a_.procs.size(); ++p)
            if (pairing_.proc_partner_a[p] == none)
                left_a.push_back(p);
        for (Index p = 0; p < b_.procs.size(); ++p)
            if (pairing_.proc_partner_b[p] == none)
                left_b.push_back(p);
        for (const auto &pair : match(left_a, left_b, false))
            work.push_back(pair);
        descend(work);
    }

private:
    /// Pairs the sub-makes of each pair in `work`, and theirs, down to the last.
    void descend(std::deque<std::pair<Index, Index>> &work)
    {
        while (!work.empty()) {
            const auto [pa, pb] = work.front();
            work.pop_front();
            for (const auto &pair : match(kids_a_[pa], kids_b_[pb]))
                work.push_back(pair);
        }
    }

    /// Where a make process's command line was read: its parent's folder, or the build's top directory.
    static std::string start_dir(const Build &build, Index p)
    {
        const Index parent = build.procs[p].parent;
        return parent == none ? build.topdir : build.procs[parent].dir;
    }

    /// The key of a sub-make among its siblings: its folder and command line, the known folders taken out.
    std::string key(int side, Index p) const
    {
        const recorded::MakeProc &proc = (side == 0 ? a_ : b_).procs[p];
        return pairing_.folders.taken_out(side, proc.dir) + '\0' + pairing_.folders.taken_out(side, proc.cmdline);
    }

    void pair(Index x, Index y, std::vector<std::pair<Index, Index>> &made)
    {
        pairing_.proc_partner_a[x] = y;
        pairing_.proc_partner_b[y] = x;
        made.emplace_back(x, y);
        learn(x, y);
    }

    /// Learns the folders that a pair of make processes shows: their
    /// working directories, and each command-line value that differs
    /// between them and leads, in each build, to a folder that build used.
    void learn(Index x, Index y)
    {
        Folders &folders = pairing_.folders;
        folders.add(a_.procs[x].dir, b_.procs[y].dir);
        const auto words_a = spool::command_words(a_.procs[x].cmdline), words_b = spool::command_words(b_.procs[y].cmdline);
        if (words_a.size() != words_b.size())
            return;
        for (std::size_t w = 1; w < words_a.size(); ++w) {
            const std::size_t at = value_start(words_a[w]);
            if (at != value_start(words_b[w]) || words_a[w].compare(0, at, words_b[w], 0, at) != 0)
                continue;
            const std::string va = words_a[w].substr(at), vb = words_b[w].substr(at);
            if (va.empty() || vb.empty() || folders.taken_out(0, va) == folders.taken_out(1, vb))
                continue;
            const std::string da = absolute(va, start_dir(a_, x)), db = absolute(vb, start_dir(b_, y));
            if (!known_a_.holds(da) || !known_b_.holds(db))
                continue;
            folders.add(da, db);
            if (va.front() != '/')
                folders.add_word(va, vb);
        }
    }

    static std::string absolute(const std::string &value, const std::string &from)
    {
        std::string path = std::filesystem::path(value.front() == '/' ? value : from + "/" + value).lexically_normal();
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path;
    }

    /// Pairs the sub-makes `xs` of one build with `ys` of the other: by
    /// folder and command line, again once what those pairs taught is
    /// known, then (`by_order`) in order of start within one folder.
    std::vector<std::pair<Index, Index>> match(const std::vector<Index> &xs, const std::vector<Index> &ys,
                                               bool by_order = true)
    {
        std::vector<std::pair<Index, Index>> made;
        for (int round = 0; round < (by_order ? 3 : 2); ++round) {
            const bool by_folder = round == 2;
            std::map<std::string, std::deque<Index>> waiting;
            for (Index y : ys)
                if (pairing_.proc_partner_b[y] == none)
                    waiting[by_folder ? pairing_.folders.taken_out(1, b_.procs[y].dir) : key(1, y)].push_back(y);
            for (Index x : xs) {
                if (pairing_.proc_partner_a[x] != none)
                    continue;
                auto it = waiting.find(by_folder ? pairing_.folders.taken_out(0, a_.procs[x].dir) : key(0, x));
                if (it == waiting.end() || it->second.empty())
                    continue;
                pair(x, it->second.front(), made);
                it->second.pop_front();
            }
        }
        return made;
    }

    const Build &a_, &b_;
    Pairing &pairing_;
    std::vector<std::vector<Index>> kids_a_, kids_b_;
    KnownFolders known_a_, known_b_;
};

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

bool Folders::add(const std::string &a, const std::string &b)
{
    if (a.empty() || b.empty() || a == "/" || b == "/" || to_first(b) == a)
        return false;
    for (std::size_t k = 0; k < size(); ++k)
        if (dirs_[0][k] == a || dirs_[1][k] == b)
            return false;
    dirs_[0].push_back(a);
    dirs_[1].push_back(b);
    return true;
}

void Folders::add_word(const std::string &a, const std::string &b)
{
    for (std::size_t k = 0; k < words_[0].size(); ++k)
        if (words_[0][k] == a || words_[1][k] == b)
            return;
    words_[0].push_back(a);
    words_[1].push_back(b);
}

std::string Folders::to_first(const std::string &dir) const
{
    std::size_t best = size();
    for (std::size_t k = 0; k < size(); ++k)
        if (lies_in(dir, dirs_[1][k]) && (best == size() || dirs_[1][k].size() > dirs_[1][best].size()))
            best = k;
    return best == size() ? dir : dirs_[0][best] + dir.substr(dirs_[1][best].size());
}

std::vector<std::pair<std::string, std::string>> Folders::marks(int side) const
{
    std::vector<std::pair<std::string, std::string>> list;
    for (std::size_t k = 0; k < size(); ++k)
        list.emplace_back(dirs_[side][k], "\x01" + std::to_string(k) + "\x02");
    // A relative folder as an argument gave it shows in commands as it was
    // given ("mkdir -p ../out/sub"); one of a letter or two would match too much.
    for (std::size_t k = 0; k < words_[side].size(); ++k)
        if (words_[side][k].size() > 2)
            list.emplace_back(words_[side][k], "\x03" + std::to_string(k) + "\x04");
    std::stable_sort(list.begin(), list.end(), [](const auto &x, const auto &y) { return x.first.size() > y.first.size(); });
    return list;
}

std::string Folders::taken_out(int side, const std::string &cmdline) const
{
    std::string text;
    for (const std::string &word : spool::command_words(cmdline)) {
        const std::size_t at = value_start(word);
        const auto known = std::find(words_[side].begin(), words_[side].end(), std::string_view(word).substr(at));
        text += text.empty() ? "" : " ";
        if (known != words_[side].end())
            text += word.substr(0, at) + "\x03" + std::to_string(known - words_[side].begin()) + "\x04";
        else
            text += word;
    }
    // Folders anywhere in the text, the longest first, each where a name ends.
    for (const auto &[dir, mark] : marks(side)) {
        std::string out;
        std::size_t from = 0;
        for (std::size_t at = text.find(dir); at != std::string::npos; at = text.find(dir, at + 1)) {
            const std::size_t end = at + dir.size();
            if ((end < text.size() && continues_name(text[end])) ||
                (dir.front() != '/' && at > 0 && continues_name(text[at - 1])))
                continue;
            out.append(text, from, at - from).append(mark);
            from = end;
            at = end - 1;
        }
        text = out.append(text, from);
    }
    return text;
}

std::string Pairing::file_path(std::uint32_t f) const
{
    return file_dir[f].empty() ? file_name[f] : file_dir[f] + "/" + file_name[f];
}

Pairing pair_builds(const Build &a, const Build &b)
{
    Pairing pairing;
    ProcPairer(a, b, pairing).run();
    FileNumbers numbers(pairing, a.root);
    pairing.file_a = numbers.number(a, [](const std::string &dir) { return dir; });
    pairing.file_b = numbers.number(b, [&](const std::string &dir) { return pairing.folders.to_first(dir); });
    pairing.files_a = group(pairing.file_a, pairing.file_count());
    pairing.files_b = group(pairing.file_b, pairing.file_count());
    pair_instances(a, b, pairing);
    return pairing;
}

} // namespace pairing
