// A project shaped like large real builds, recorded for real and compared:
// the top make starts one sub-make per source folder, all of them in one
// object folder outside the source tree (`-C OBJ -f SRC/rules.mk obj=DIR`),
// at -j2, so their order of start varies.  Recorded three times: once,
// again in the same tree after one source was edited, and in a copy of the
// tree with an object folder of its own and the same edit.  Each compile
// also writes a dependency record, which the next build in that folder
// includes: the records and the header they name are files the second
// build's makes know and the first's did not, though they were there.
#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "../recorded_rows.h"
#include "compare/comparison.h"
#include "compare/picture_view.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int folders = 24, sources_per_folder = 3;

/// The files of the project: a top Makefile, the rules of a folder, and
/// per folder its list of sources and the sources themselves.
std::map<std::string, std::string> project()
{
    std::map<std::string, std::string> files;
    std::string dirs;
    for (int d = 0; d < folders; ++d) {
        const std::string dir = "d" + std::to_string(d);
        dirs += " " + dir;
        std::string objs;
        for (int s = 0; s < sources_per_folder; ++s) {
            files[dir + "/f" + std::to_string(s) + ".c"] = "int f" + std::to_string(d) + "_" + std::to_string(s) + ";\n";
            objs += " f" + std::to_string(s) + ".o";
        }
        files[dir + "/files.mk"] = "objs :=" + objs + "\n";
    }
    files["include/common.h"] = "#define COMMON 1\n";
    files["include/extra.h"] = "#define EXTRA 1\n";
    files["Makefile"] = "O ?= out\n"
                        "SRC := $(CURDIR)\n"
                        "DIRS :=" + dirs + "\n"
                        "all: $(DIRS)\n"
                        "$(DIRS):\n"
                        "\t@mkdir -p $(O)/$@\n"
                        "\t+$(MAKE) -C $(O) -f $(SRC)/rules.mk obj=$@ src=$(SRC)/$@ inc=$(SRC)/include\n"
                        ".PHONY: all $(DIRS)\n";
    files["rules.mk"] = "include $(src)/files.mk\n"
                        "all: $(obj)/lib.a\n"
                        "-include $(wildcard $(obj)/*.d)\n"
                        "$(obj)/%.o: $(src)/%.c $(inc)/common.h\n"
                        "\tsed 's/^/compiled: /' $< > $@\n"
                        "\techo '$@: $(inc)/extra.h' > $(@:.o=.d)\n"
                        "$(obj)/lib.a: $(addprefix $(obj)/,$(objs))\n"
                        "\tcat $^ > $@\n";
    return files;
}

class LargeShape : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work = new TempDir;
        for (const char *tree : {"a", "c"})
            for (const auto &[name, content] : project()) {
                fs::create_directories((work->path() / tree / name).parent_path());
                write_file((work->path() / tree / name).string(), content);
            }
        record("a", "out-a", label("first"));
        edit("a");
        record("a", "out-a", label("again"));
        edit("c");
        record("c", "out-c", label("elsewhere"));
    }
    static void TearDownTestSuite()
    {
        PgSession db;
        delete_builds(db, {label("first"), label("again"), label("elsewhere")});
        delete work;
    }
    static std::string label(const std::string &which) { return "e2e-large-" + std::to_string(getpid()) + "-" + which; }

    static void edit(const std::string &tree)
    {
        write_file((work->path() / tree / edited).string(), "int edited;\n");
    }

    static void record(const std::string &tree, const std::string &objects, const std::string &name)
    {
        RunOptions options;
        options.cwd = work->path() / tree;
        const RunResult r = run_program({bin_path("tracemake"), "record", "--label", name, "--replace", "--", "make",
                                         "-j2", "O=../" + objects},
                                        options);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    /// A path in the first build's object folder.
    static std::string out_a(const std::string &path) { return (work->path() / "out-a" / path).string(); }

    static inline TempDir *work = nullptr;
    static inline const std::string edited = "d7/f1.c";
};

TEST_F(LargeShape, PairsEverythingAndListsOnlyTheEditAndWhatWasMadeFromIt)
{
    const struct {
        std::string second;
        std::string objects;  // the object folder of the first build, where the changed objects lie
    } cases[] = {
        {"again", "out-a"},
        {"elsewhere", "out-a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        const Comparison cmp = compare_builds(label("first"), label(c.second));
        ASSERT_EQ(cmp.a.procs.size(), static_cast<std::size_t>(folders + 1));
        ASSERT_EQ(cmp.b.procs.size(), cmp.a.procs.size());
        EXPECT_EQ(std::count(cmp.pairs.proc_partner_a.begin(), cmp.pairs.proc_partner_a.end(), recorded::none), 0);
        // Each sub-make with the one of the same folder, whatever the order of start.
        for (recorded::Index p = 0; p < cmp.a.procs.size(); ++p) {
            const recorded::Index q = cmp.pairs.proc_partner_a[p];
            ASSERT_NE(q, recorded::none);
            const std::string obj_a = cmp.a.procs[p].cmdline.substr(cmp.a.procs[p].cmdline.find(" obj=") + 1);
            const std::string obj_b = cmp.b.procs[q].cmdline.substr(cmp.b.procs[q].cmdline.find(" obj=") + 1);
            EXPECT_EQ(obj_a.substr(0, obj_a.find(' ')), obj_b.substr(0, obj_b.find(' ')));
        }
        // Unpaired are only the files that the first build's makes did not
        // know: in the same folders the dependency records and the header
        // they name, one instance of it per sub-make.
        const std::size_t unknown_before = c.second == "again" ? folders * sources_per_folder + folders : 0;
        EXPECT_EQ(std::count(cmp.pairs.partner_a.begin(), cmp.pairs.partner_a.end(), recorded::none), 0);
        EXPECT_EQ(static_cast<std::size_t>(std::count(cmp.pairs.partner_b.begin(), cmp.pairs.partner_b.end(), recorded::none)),
                  unknown_before);
        EXPECT_TRUE(cmp.set.removed.empty());
        // They were there before, all but the record that the edit's compile wrote anew.
        std::vector<std::string> added;
        for (std::uint32_t f : cmp.set.added)
            added.push_back(cmp.pairs.file_path(f));
        EXPECT_EQ(added, c.second == "again" ? std::vector<std::string>{out_a("d7/f1.d")} : std::vector<std::string>{});
        EXPECT_EQ(cmp.set.newly_known.size(), c.second == "again" ? folders * sources_per_folder : 0u);
        std::set<std::string> changed;
        for (const changes::ChangedFile &f : cmp.set.changed)
            changed.insert(cmp.pairs.file_path(f.file));
        const std::string objects = (work->path() / c.objects / "d7").string();
        EXPECT_EQ(changed, (std::set<std::string>{edited, objects + "/f1.o", objects + "/lib.a"}));
    }
}

TEST_F(LargeShape, ChangeListNamesTheSourceAndItsObjectInEachBuild)
{
    const struct {
        std::string second, tree, objects;
    } cases[] = {
        {"again", "a", "out-a"},
        {"elsewhere", "c", "out-c"},
    };
    for (const auto &c : cases) {
        const RunResult r = run_program({bin_path("tracemake"), "changes", label("first"), label(c.second)});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string w = work->path().string();
        // In order of place: the object folder lies outside the tree, so its absolute path comes first.
        EXPECT_EQ(r.out, "f1.o\t" + w + "/out-a/d7\t" + w + "/" + c.objects + "/d7\n"
                         "lib.a\t" + w + "/out-a/d7\t" + w + "/" + c.objects + "/d7\n"
                         "f1.c\t" + w + "/a/d7\t" + w + "/" + c.tree + "/d7\n")
            << c.second;
    }
}

TEST_F(LargeShape, TheRsfOfThePairHoldsEachFileOfBothBuildsAsOneNode)
{
    // What traceview draws a pair from: every instance of the second build
    // has a SAME partner, so no file of both shows twice; the object folder
    // of the second build is not in the tree at all.
    for (const std::string second : {"again", "elsewhere"}) {
        const RunResult r = run_program({bin_path("tracemake"), "rsf", label("first"), label(second)});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::set<std::string> of_second, paired, contained;
        std::istringstream in(r.out);
        for (std::string relation, subject, object; in >> relation >> subject >> object;) {
            if (relation == "LAYER" && object == label(second))
                of_second.insert(subject);
            else if (relation == "SAME")
                paired.insert(object);
            else if (relation == "CONTAIN")
                contained.insert(object);
        }
        ASSERT_FALSE(of_second.empty());
        std::size_t unpaired = 0;
        for (const std::string &oid : of_second)
            unpaired += paired.count(oid) == 0 ? 1 : 0;
        // Only the records and the header that the first build's makes did not know.
        EXPECT_EQ(unpaired, second == "again" ? static_cast<std::size_t>(folders * sources_per_folder + folders) : 0u)
            << second;
        EXPECT_EQ(contained.count((work->path() / "out-c").string()), 0u) << second;
        EXPECT_EQ(contained.count((work->path() / "out-c/d7").string()), 0u) << second;
    }
}

TEST_F(LargeShape, SummaryIsShortPictureSmallAndTheRestIsInTheFolder)
{
    const struct {
        std::string second;
        std::vector<std::string> says;
    } cases[] = {
        {"again",
         {"files changed: 3, added: 1, removed: 0\n",
          "files only newly known to make: 72 (there when " + label("first") + " ended, at the same place; listed in ",
          "changed outside the build (no rule makes them), with the changed targets that depend on them:\n"
          "  d7/f1.c: " + (work->path() / "out-a/d7/f1.o").string() + ", " + (work->path() / "out-a/d7/lib.a").string() + "\n"}},
        {"elsewhere",
         {"files changed: 3, added: 0, removed: 0\n",
          "  d7/f1.c: " + (work->path() / "out-a/d7/f1.o").string() + ", " + (work->path() / "out-a/d7/lib.a").string() + "\n"}},
    };
    for (const auto &c : cases) {
        const std::string out = (work->path() / ("compare-" + c.second)).string();
        const RunResult r = run_program({bin_path("tracemake"), "compare", label("first"), label(c.second), "-o", out});
        ASSERT_EQ(r.exit_code, 0) << c.second << r.out << r.err;
        EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 400) << c.second;
        for (const std::string &part : c.says)
            EXPECT_NE(r.out.find(part), std::string::npos) << c.second << ": " << part << "\n--- in:\n" << r.out;
        EXPECT_EQ(r.out.find("d0/f0.d"), std::string::npos) << c.second;
        // The whole summary names each file newly known to make.
        const std::string whole = read_file(out + "/summary-full.txt");
        EXPECT_EQ(whole.find(out_a("d0/f0.d")) != std::string::npos, c.second == "again") << whole;
        EXPECT_EQ(whole.find("  include/extra.h\n") != std::string::npos, c.second == "again") << whole;

        // The picture: a part within the node limit, drawn by the real dot,
        // the edited object one node of both builds marked changed, the
        // files left out counted in boxes; the whole RSF beside it.
        EXPECT_NE(read_file(out + "/build.svg").find("</svg>"), std::string::npos) << c.second << r.err;
        const std::string dot = read_file(out + "/build.dot");
        const std::regex node("\n\\s*\"([^\"]+)\"\\[label=\"([^\"]*)\"[^\n]*");
        std::size_t nodes = 0, changed_objects = 0, boxes = 0;
        for (auto it = std::sregex_iterator(dot.begin(), dot.end(), node); it != std::sregex_iterator(); ++it) {
            ++nodes;
            const std::string id = (*it)[1], label = (*it)[2], line = (*it)[0];
            if (label == "f1.o" && line.find("color=orange") != std::string::npos) {
                ++changed_objects;
                EXPECT_TRUE(std::regex_match(id, std::regex("[0-9]+ [0-9]+"))) << line;
            }
            boxes += label.find("_files_not_drawn)") != std::string::npos ? 1 : 0;
        }
        EXPECT_LE(nodes, picture::node_limit) << c.second;
        EXPECT_EQ(changed_objects, 1u) << c.second;
        EXPECT_GT(boxes, 0u) << c.second;
        EXPECT_GT(read_file(out + "/build.rsf").size(), read_file(out + "/picture.rsf").size() * 2) << c.second;
    }
}

} // namespace
