// The summary of two hand-made builds: what the screen gets of long lists,
// and that the whole summary keeps every entry.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/build_pairing.h"
#include "compare/changes.h"
#include "compare/compare_summary.h"

namespace {

using recorded::Build;

/// A build of one make process in /t holding the files `names`, each with `digest`.
Build one_make(const std::string &label, const std::vector<std::string> &names, const std::string &digest)
{
    Build b;
    b.label = label;
    b.root = b.topdir = "/t";
    b.procs.push_back({});
    b.procs[0].dir = "/t";
    b.procs[0].oid = 1;
    long long oid = 10;
    for (const std::string &name : names) {
        recorded::Instance inst;
        inst.oid = oid++;
        inst.name = name;
        inst.dir = "/t";
        inst.proc = 0;
        inst.digest = digest;
        b.insts.push_back(inst);
    }
    b.prereq_start.assign(b.insts.size() + 1, 0);
    return b;
}

/// The number of lines of `text` that begin with `start`.
int lines(const std::string &text, const std::string &start)
{
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.rfind(start, 0) == 0 ? 1 : 0;
    return count;
}

std::vector<std::string> numbered(const std::string &stem, int count)
{
    std::vector<std::string> names;
    for (int k = 0; k < count; ++k)
        names.push_back(stem + std::to_string(100 + k));
    return names;
}

TEST(CompareSummary, LongListsAreCutForTheScreenAndKeptWhole)
{
    const struct {
        int added;
        bool cut;
    } cases[] = {{static_cast<int>(summary::screenful), false}, {static_cast<int>(summary::screenful) + 7, true}};
    for (const auto &c : cases) {
        std::vector<std::string> second = numbered("new", c.added);
        second.push_back("kept");
        const Build a = one_make("a", {"kept"}, "same"), b = one_make("b", second, "same");
        const pairing::Pairing pairs = pairing::pair_builds(a, b);
        const changes::ChangeSet set = changes::find_changes(a, b, pairs);
        ASSERT_EQ(set.added.size(), static_cast<std::size_t>(c.added));
        const std::string shown = summary::write(a, b, pairs, set, {}, {}, "/o", "/o/summary-full.txt");
        const std::string whole = summary::write(a, b, pairs, set, {}, {}, "/o", "");
        EXPECT_EQ(lines(whole, "  new"), c.added);
        EXPECT_EQ(lines(shown, "  new"), c.cut ? static_cast<int>(summary::screenful) : c.added);
        EXPECT_EQ(shown.find("  ... and 7 more (all of them in /o/summary-full.txt)\n") != std::string::npos, c.cut)
            << shown;
        EXPECT_EQ(whole.find("... and"), std::string::npos);
        EXPECT_NE(shown.find("files changed: 0, added: " + std::to_string(c.added) + ", removed: 0\n"), std::string::npos);
    }
}

TEST(CompareSummary, MakeProcessesWithoutAPartnerAreCounted)
{
    const Build a = one_make("a", {"kept"}, "same");
    Build b = one_make("b", {"kept"}, "same");
    const struct {
        std::string what;
        bool extra;
        std::string line;
    } cases[] = {
        {"all paired", false, ""},
        {"a sub-make more", true, "make processes without a partner: 0 of 1 in a, 1 of 2 in b (their files count as removed and added)\n"},
    };
    for (const auto &c : cases) {
        if (c.extra) {
            recorded::MakeProc sub;
            sub.oid = 2;
            sub.parent = 0;
            sub.dir = "/t/sub";
            b.procs.push_back(sub);
        }
        const pairing::Pairing pairs = pairing::pair_builds(a, b);
        const std::string shown =
            summary::write(a, b, pairs, changes::find_changes(a, b, pairs), {}, {}, "/o", "/o/summary-full.txt");
        if (c.line.empty())
            EXPECT_EQ(shown.find("make processes without a partner"), std::string::npos) << c.what << "\n" << shown;
        else
            EXPECT_NE(shown.find(c.line), std::string::npos) << c.what << "\n" << shown;
    }
}

} // namespace
