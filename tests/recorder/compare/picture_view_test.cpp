// The part of two compared builds that the picture draws, on hand-made builds.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/picture_view.h"

namespace {

using recorded::Build;
using recorded::Index;

/// One make process in /t: `per_dir` files in each of /t/x and /t/y,
/// `extra` more in /t/z, and "app" in /t that depends on all of them.  File
/// x/f3's digest is `changed`.
Build project(const std::string &label, int per_dir, const std::string &changed, int extra = 0)
{
    Build b;
    b.label = label;
    b.root = b.topdir = "/t";
    b.procs.push_back({});
    b.procs[0].oid = 1;
    b.procs[0].dir = "/t";
    long long oid = 10;
    const auto add = [&](const std::string &dir, const std::string &name, const std::string &digest) {
        recorded::Instance inst;
        inst.oid = oid++;
        inst.name = name;
        inst.dir = dir;
        inst.proc = 0;
        inst.digest = digest;
        b.insts.push_back(inst);
    };
    add("/t", "app", "app");
    b.insts[0].target = true;
    for (const char *dir : {"/t/x", "/t/y"})
        for (int k = 0; k < per_dir; ++k)
            add(dir, "f" + std::to_string(k), std::string(dir) == "/t/x" && k == 3 ? changed : "same");
    for (int k = 0; k < extra; ++k)
        add("/t/z", "g" + std::to_string(k), "new");
    b.prereq_start.assign(b.insts.size() + 1, static_cast<Index>(b.insts.size() - 1));
    b.prereq_start[0] = 0;
    for (Index i = 1; i < b.insts.size(); ++i)
        b.prereqs.push_back(i);
    return b;
}

TEST(PictureView, DrawsTheChangesAndTheirNeighboursWithinTheLimitAndCountsTheRest)
{
    const struct {
        int per_dir, added;  // files only the second build has
        std::size_t limit;
        bool whole;
    } cases[] = {{5, 0, 20, true}, {5, 0, 11, true}, {40, 0, 20, false}, {40, 0, 10, false},
                 {300, 0, 12, false}, {40, 3, 20, false}, {40, 300, 30, false}};
    for (const auto &c : cases) {
        const Build a = project("a", c.per_dir, "old"), b = project("b", c.per_dir, "new", c.added);
        const pairing::Pairing pairs = pairing::pair_builds(a, b);
        const changes::ChangeSet set = changes::find_changes(a, b, pairs);
        ASSERT_EQ(set.changed.size(), 1u);
        const picture::View view = picture::select(a, b, pairs, set, c.limit);
        const std::string what = std::to_string(c.per_dir) + " per folder, " + std::to_string(c.added) +
                                 " added, limit " + std::to_string(c.limit);
        EXPECT_EQ(view.whole, c.whole) << what;
        EXPECT_LE(view.nodes, c.limit) << what;
        // The changed file and what depends on it are drawn, paired partners alike.
        EXPECT_TRUE(view.keep_a[4]) << what;
        EXPECT_TRUE(view.keep_a[0]) << what;
        for (Index i = 0; i < a.insts.size(); ++i)
            EXPECT_EQ(view.keep_b[pairs.partner_a[i]], view.keep_a[i]) << what << " " << i;
        // Every file is drawn or counted in a box, none both.
        std::size_t drawn = 0, counted = 0;
        for (bool k : view.keep_a)
            drawn += k ? 1 : 0;
        for (Index j = 0; j < b.insts.size(); ++j)
            drawn += view.keep_b[j] && pairs.partner_b[j] == recorded::none ? 1 : 0;
        for (const auto &[dir, count] : view.boxes)
            counted += count;
        EXPECT_EQ(drawn + counted, a.insts.size() + static_cast<std::size_t>(c.added)) << what;
        EXPECT_EQ(view.nodes, drawn + view.boxes.size()) << what;
    }
}

} // namespace
