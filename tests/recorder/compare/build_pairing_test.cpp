// Pairing of two hand-made builds: which make processes and files of one
// stand for which of the other, and what the folders learnt take out.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/build_pairing.h"

namespace {

using recorded::Build;
using recorded::Index;
using recorded::none;

struct Proc {
    std::string dir, cmdline;
    Index parent = none;
    int seq = 0;
};

/// A build in `root` of `procs`, each holding the files `names` in its own folder.
Build make_build(const std::string &root, const std::vector<Proc> &procs, const std::vector<std::string> &names)
{
    Build b;
    b.label = root;
    b.root = b.topdir = root;
    long long oid = 1;
    for (const Proc &p : procs) {
        recorded::MakeProc mp;
        mp.oid = oid++;
        mp.parent = p.parent;
        mp.seq = p.seq;
        mp.dir = p.dir;
        mp.cmdline = p.cmdline;
        b.procs.push_back(mp);
    }
    for (Index p = 0; p < b.procs.size(); ++p)
        for (const std::string &name : names) {
            recorded::Instance inst;
            inst.oid = oid++;
            inst.name = name;
            inst.dir = b.procs[p].dir;
            inst.proc = p;
            b.insts.push_back(inst);
        }
    b.prereq_start.assign(b.insts.size() + 1, 0);
    return b;
}

/// The command line of each first-build make process's partner; "-" for none.
std::vector<std::string> partners(const Build &a, const Build &b, const pairing::Pairing &p)
{
    std::vector<std::string> out;
    for (Index x = 0; x < a.procs.size(); ++x)
        out.push_back(p.proc_partner_a[x] == none ? "-" : b.procs[p.proc_partner_a[x]].cmdline);
    return out;
}

TEST(BuildPairing, PairsMakeProcessesByPlaceAndCommandLine)
{
    const struct {
        std::string what;
        Build a, b;
        std::vector<std::string> expected;  // per make process of a: its partner's command line
    } cases[] = {
        {"a build with itself",
         make_build("/t", {{"/t", "make"}, {"/t/o", "make -C o obj=x", 0, 0}, {"/t/o", "make -C o obj=y", 0, 1}}, {"f"}),
         make_build("/t", {{"/t", "make"}, {"/t/o", "make -C o obj=x", 0, 0}, {"/t/o", "make -C o obj=y", 0, 1}}, {"f"}),
         {"make", "make -C o obj=x", "make -C o obj=y"}},
        {"sub-makes of one folder started in another order",
         make_build("/t", {{"/t", "make"}, {"/t/o", "make -C o obj=x", 0, 0}, {"/t/o", "make -C o obj=y", 0, 1}}, {"f"}),
         make_build("/t", {{"/t", "make"}, {"/t/o", "make -C o obj=y", 0, 0}, {"/t/o", "make -C o obj=x", 0, 1}}, {"f"}),
         {"make", "make -C o obj=x", "make -C o obj=y"}},
        {"another tree, another object folder, named by O=",
         make_build("/a", {{"/a", "make O=../oa"}, {"/oa", "make -C ../oa -f /a/rules.mk obj=x", 0, 0},
                           {"/oa", "make -C ../oa -f /a/rules.mk obj=y", 0, 1}}, {"f"}),
         make_build("/c", {{"/c", "make O=../oc"}, {"/oc", "make -C ../oc -f /c/rules.mk obj=y", 0, 0},
                           {"/oc", "make -C ../oc -f /c/rules.mk obj=x", 0, 1}}, {"f"}),
         {"make O=../oc", "make -C ../oc -f /c/rules.mk obj=x", "make -C ../oc -f /c/rules.mk obj=y"}},
        {"a sub-make gone, another changed its arguments: paired in order within the folder",
         make_build("/t", {{"/t", "make"}, {"/t/s", "make -C s V=1", 0, 0}, {"/t/u", "make -C u", 0, 1}}, {"f"}),
         make_build("/t", {{"/t", "make"}, {"/t/s", "make -C s V=2", 0, 0}}, {"f"}),
         {"make", "make -C s V=2", "-"}},
        {"a level of recursion more: the grandchild still paired",
         make_build("/t", {{"/t", "make"}, {"/t/x", "make -C x", 0, 0}, {"/t/x/k", "make -C k", 1, 0}}, {"f"}),
         make_build("/t", {{"/t", "make"}, {"/t/x/k", "make -C k", 0, 0}}, {"f"}),
         {"make", "-", "make -C k"}},
    };
    for (const auto &c : cases) {
        const pairing::Pairing p = pairing::pair_builds(c.a, c.b);
        EXPECT_EQ(partners(c.a, c.b, p), c.expected) << c.what;
        // The files of paired make processes pair, those of the others do not.
        for (Index i = 0; i < c.a.insts.size(); ++i)
            EXPECT_EQ(p.partner_a[i] != none, p.proc_partner_a[c.a.insts[i].proc] != none) << c.what << " " << i;
    }
}

TEST(BuildPairing, FoldersLearntAreTakenOutOfPathsAndCommands)
{
    const Build a = make_build("/a", {{"/a", "make O=../oa V=1"}, {"/oa/x", "make -C ../oa/x", 0, 0}}, {"f.o"});
    const Build b = make_build("/c", {{"/c", "make O=../oc V=2"}, {"/oc/x", "make -C ../oc/x", 0, 0}}, {"f.o"});
    const pairing::Pairing p = pairing::pair_builds(a, b);
    const struct {
        std::string dir, first;
    } places[] = {
        {"/c", "/a"}, {"/c/sub", "/a/sub"}, {"/oc", "/oa"}, {"/oc/x/y", "/oa/x/y"},
        {"/ocx", "/ocx"},  // another name that only starts alike
        {"/elsewhere", "/elsewhere"},
    };
    for (const auto &pl : places)
        EXPECT_EQ(p.folders.to_first(pl.dir), pl.first) << pl.dir;
    const struct {
        std::string text_a, text_b;
        bool same;
    } texts[] = {
        {"cc -I/a/include -o ../oa/x/f.o", "cc -I/c/include -o ../oc/x/f.o", true},
        {"mkdir -p /oa/x", "mkdir -p /oc/x", true},
        {"make V=1", "make V=2", false},        // not a folder: stays a difference
        {"cp /a2/f /oa", "cp /c2/f /oc", false}, // /a2 is not /a
    };
    for (const auto &t : texts)
        EXPECT_EQ(p.folders.taken_out(0, t.text_a) == p.folders.taken_out(1, t.text_b), t.same) << t.text_a;
    // The object file of the sub-make is one file of both builds, placed in the first's folder.
    EXPECT_EQ(p.file_count(), 2u);
    EXPECT_EQ(p.file_path(p.file_a[1]), "/oa/x/f.o");
    EXPECT_EQ(p.file_b[1], p.file_a[1]);
    EXPECT_EQ(p.partner_a[1], 1u);
}

} // namespace
