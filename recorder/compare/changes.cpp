#include "compare/changes.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "compare/export_rsf.h"

namespace changes {

namespace {

using pairing::FileGroups;
using recorded::Build;
using recorded::Index;
using recorded::none;

/// The distinct digests of a file's instances in one build.
std::vector<std::string_view> digests(const Build &build, const FileGroups &groups, std::uint32_t f)
{
    std::vector<std::string_view> sums;
    for (auto i = groups.begin(f); i != groups.end(f); ++i)
        if (!build.insts[*i].digest.empty())
            sums.push_back(build.insts[*i].digest);
    std::sort(sums.begin(), sums.end());
    sums.erase(std::unique(sums.begin(), sums.end()), sums.end());
    return sums;
}

bool all_phony(const Build &build, const FileGroups &groups, std::uint32_t f)
{
    return std::all_of(groups.begin(f), groups.end(f), [&](Index i) { return build.insts[i].phony; });
}

/// A file that exists or that a makefile has a rule for: the files worth
/// naming as added or removed (make also knows files it only looked for).
bool is_real_file(const Build &build, const FileGroups &groups, std::uint32_t f)
{
    return std::any_of(groups.begin(f), groups.end(f), [&](Index i) {
        const recorded::Instance &inst = build.insts[i];
        return !inst.phony && (!inst.digest.empty() || inst.target);
    });
}

/// Whether file `f`, of the second build only, was there at the same
/// place when the first build ended (dependency records it wrote, the
/// headers they name): its digests' modification times say so.
bool known_before(const Build &a, const Build &b, const pairing::Pairing &pairs, std::uint32_t f)
{
    const double first_ended = a.end >= 0 ? a.end : a.start;
    if (first_ended < 0)
        return false;
    bool dated = false;
    for (auto i = pairs.files_b.begin(f); i != pairs.files_b.end(f); ++i) {
        const recorded::Instance &inst = b.insts[*i];
        if (inst.mtime < 0)
            continue;
        if (inst.mtime > first_ended || pairs.folders.to_first(inst.dir) != inst.dir)
            return false;
        dated = true;
    }
    return dated;
}

bool commands_differ(const Build &a, const Build &b, const pairing::Pairing &pairs, std::uint32_t f)
{
    for (auto i = pairs.files_a.begin(f); i != pairs.files_a.end(f); ++i) {
        const Index j = pairs.partner_a[*i];
        if (j == none)
            continue;
        const recorded::Instance &x = a.insts[*i], &y = b.insts[j];
        if (x.executed && y.executed && x.exec_sum != y.exec_sum)
            return true;
    }
    return false;
}

bool has_white_space(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), rsf::is_word_break);
}

} // namespace

ChangeSet find_changes(const Build &a, const Build &b, const pairing::Pairing &pairs)
{
    ChangeSet set;
    const std::size_t files = pairs.file_count();
    set.is_changed.assign(files, false);
    for (std::uint32_t f = 0; f < files; ++f) {
        const bool in_a = pairs.files_a.has(f), in_b = pairs.files_b.has(f);
        if (!in_a || !in_b) {
            if (in_a && is_real_file(a, pairs.files_a, f))
                set.removed.push_back(f);
            else if (in_b && is_real_file(b, pairs.files_b, f))
                (known_before(a, b, pairs, f) ? set.newly_known : set.added).push_back(f);
            continue;
        }
        ChangedFile change{f};
        const auto sums_a = digests(a, pairs.files_a, f), sums_b = digests(b, pairs.files_b, f);
        change.content = !sums_a.empty() && !sums_b.empty() && sums_a != sums_b;
        change.commands = commands_differ(a, b, pairs, f);
        const bool phony = all_phony(a, pairs.files_a, f) && all_phony(b, pairs.files_b, f);
        if (!phony && sums_a.empty() != sums_b.empty())
            change.missing = sums_a.empty() ? MissingDigest::first : MissingDigest::second;
        if (change.content || change.commands) {
            set.changed.push_back(change);
            set.is_changed[f] = true;
        } else if (change.missing != MissingDigest::none) {
            set.untold.push_back(f);
        }
    }
    const auto by_place = [&](std::uint32_t x, std::uint32_t y) {
        return std::tie(pairs.file_dir[x], pairs.file_name[x]) < std::tie(pairs.file_dir[y], pairs.file_name[y]);
    };
    std::sort(set.changed.begin(), set.changed.end(),
              [&](const ChangedFile &x, const ChangedFile &y) { return by_place(x.file, y.file); });
    for (auto *list : {&set.added, &set.newly_known, &set.removed, &set.untold})
        std::sort(list->begin(), list->end(), by_place);
    return set;
}

std::vector<std::string> write_list(std::FILE *out, const Build &a, const Build &b, const pairing::Pairing &pairs,
                                    const ChangeSet &set)
{
    std::vector<std::string> left_out;
    std::string text;
    for (const ChangedFile &change : set.changed) {
        const std::string &name = pairs.file_name[change.file];
        const std::string &dir_a = a.insts[*pairs.files_a.begin(change.file)].dir;
        const std::string &dir_b = b.insts[*pairs.files_b.begin(change.file)].dir;
        if (name.empty() || has_white_space(name) || has_white_space(dir_a) || has_white_space(dir_b)) {
            left_out.push_back(pairs.file_path(change.file));
            continue;
        }
        text.append(name).append(1, '\t').append(dir_a).append(1, '\t').append(dir_b).append(1, '\n');
    }
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0 || std::ferror(out))
        throw std::runtime_error("cannot write the change list");
    return left_out;
}

} // namespace changes
