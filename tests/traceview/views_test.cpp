// traceview's modules on their own: the RSF model, the views cut from it,
// the request checks and the layout cache.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "http_guard.h"
#include "layout.h"
#include "private_dir.h"
#include "reports.h"
#include "rsf_model.h"
#include "test_support.h"
#include "views.h"

using namespace traceview;

namespace {

std::string sample_rsf()
{
    return testsupport::read_file(DAVER_SOURCE_DIR "/demo/sample.rsf");
}

std::size_t count_lines(const std::string &text, const std::string &line)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1))
        n += at == 0 || text[at - 1] == '\n';
    return n;
}

// A directory /d holding `files` files and one subdirectory /d/sub with two.
std::string wide_directory(int files)
{
    std::string rsf = "ROOT\t/d\t-\nCONTAIN\t/d\t/d/sub\n";
    for (int i = 0; i < files; ++i)
        rsf += "FILE\t" + std::to_string(i) + "\tf" + std::to_string(i) + "\nCONTAIN\t/d\t" + std::to_string(i) + "\n";
    rsf += "FILE\t900\ta\nCONTAIN\t/d/sub\t900\nFILE\t901\tb\nCONTAIN\t/d/sub\t901\n";
    rsf += "DEPENDON\t0\t900\nDEPENDON\t0\t901\nDEPENDON\t900\t901\n";
    return rsf;
}

TEST(RsfModel, RecordsSpanLinesAndMustBeWhole)
{
    const auto records = parse_rsf("FILE f1\n a.c\tCONTAIN\r\n/x f1\n");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].object, "a.c");
    EXPECT_EQ(records[1].subject, "/x");
    EXPECT_THROW(parse_rsf("FILE f1"), std::runtime_error);
}

TEST(RsfModel, RefusesWhatRelplotWouldRefuse)
{
    for (const char *bad : {"file\tx\ty\n", "CONTAIN\t/a\t/b\nCONTAIN\t/c\t/b\n", "CONTAIN\t/a\t/a\n",
                            "ROOT\t/a\t-\nCONTAIN\t/a\t/b\nCONTAIN\t/b\t/a\n"})
        EXPECT_THROW(RsfModel{bad}, std::runtime_error) << bad;
}

TEST(RsfModel, OneEdgePerPairOfUnitsAndKindAndNoneToWhatIsNotPlaced)
{
    const RsfModel m("FILE\t1\ta\nCONTAIN\t/\t1\nFILE\t2\tb\nCONTAIN\t/\t2\nFILE\t3\tc\n"
                     "DEPENDON\t1\t2\nINVOKE\t1\t2\nDEPENDON\t1\t2\nDEPENDON\t2\t1\nDEPENDON\t1\t3\n");
    const int a = m.find_unit("1"), b = m.find_unit("2");
    ASSERT_EQ(m.edges().size(), 3u);
    EXPECT_TRUE(m.edges()[0].from == a && m.edges()[0].to == b && !m.edges()[0].invoke);
    EXPECT_TRUE(m.edges()[1].from == a && m.edges()[1].to == b && m.edges()[1].invoke);
    EXPECT_TRUE(m.edges()[2].from == b && m.edges()[2].to == a && !m.edges()[2].invoke);
    EXPECT_EQ(m.edge_records().size(), 5u);

    const RsfModel empty("ROOT\t/r\t-\nFILE\t1\ta\nCONTAIN\t/\t1\nDEPENDON\t1\t1\n");
    EXPECT_EQ(empty.root(), -1);
    EXPECT_EQ(empty.file_count(), 0u);
    EXPECT_TRUE(empty.edges().empty());
}

TEST(RsfModel, TheSampleAsRelplotDrawsIt)
{
    const RsfModel m(sample_rsf());
    EXPECT_EQ(m.units()[static_cast<std::size_t>(m.root())].primary, "/home/dev/calc-v1");
    EXPECT_EQ(m.file_count(), 27u);   // 24 pairs, compat.h of v1, mul.c and mul.o of v2
    const int add_o = m.find_unit("16417 16517");
    ASSERT_GE(add_o, 0);
    EXPECT_EQ(m.path_of(add_o), "/home/dev/calc-v1/lib/add.o");
    EXPECT_EQ(m.unit_of_raw("16517"), add_o);
    EXPECT_EQ(m.find_unit("16417"), -1);
    const int mul_c = m.find_unit("16523");
    EXPECT_EQ(m.units()[static_cast<std::size_t>(mul_c)].only_in_layer, 1);
    EXPECT_EQ(m.path_of(mul_c), "/home/dev/calc-v2/lib/mul.c");
    EXPECT_EQ(m.units()[static_cast<std::size_t>(m.find_unit("16424"))].only_in_layer, 0);
    const int lib = m.find_unit("/home/dev/calc-v1/lib");
    EXPECT_EQ(m.units()[static_cast<std::size_t>(lib)].files_below, 13u);
    EXPECT_FALSE(m.units()[static_cast<std::size_t>(add_o)].changed);
    const RsfModel marked(sample_rsf() + "DIFF\t16517\t-\n");
    EXPECT_TRUE(marked.units()[static_cast<std::size_t>(marked.find_unit("16417 16517"))].changed);
}

TEST(Views, TheWholeSampleFitsTheDefaultLimit)
{
    const RsfModel m(sample_rsf());
    const View v = make_view(m, ViewKind::directory, m.root(), 200);
    EXPECT_EQ(v.node_count(), 27u);
    EXPECT_TRUE(v.boxes.empty());
    EXPECT_TRUE(v.note.empty());
    // The subset reads back as the same build.
    const RsfModel again(v.rsf);
    EXPECT_EQ(again.file_count(), 27u);
    EXPECT_EQ(again.edges().size(), m.edges().size());
}

TEST(Views, DirectoriesBeyondTheLimitBecomeBoxesWithMergedEdges)
{
    const RsfModel m(sample_rsf());
    const View v = make_view(m, ViewKind::directory, m.root(), 10);
    // The top's three files fit, the next level (24 units) does not: three boxes.
    EXPECT_EQ(v.boxes.size(), 3u);
    EXPECT_EQ(v.node_count(), 6u);
    EXPECT_EQ(v.rsf.find("CONTAIN\t/home/dev/calc-v1/doc\t16436"), std::string::npos);
    // With room for the whole next level, all three open.
    EXPECT_TRUE(make_view(m, ViewKind::directory, m.root(), 27).boxes.empty());
    EXPECT_EQ(make_view(m, ViewKind::directory, m.root(), 26).boxes.size(), 3u);
    // v1's and v2's sub-make edges into lib become one edge into its box.
    EXPECT_EQ(count_lines(v.rsf, "INVOKE\t16411\t/home/dev/calc-v1/lib"), 1u);
    // src/calc depends on lib/libcalc.a: one edge between the two boxes.
    EXPECT_EQ(count_lines(v.rsf, "DEPENDON\t/home/dev/calc-v1/src\t/home/dev/calc-v1/lib"), 1u);
    EXPECT_EQ(v.rsf.find("CONTAIN\t/home/dev/calc-v1/lib\t"), std::string::npos);
    const auto lib = std::find_if(v.extras.labels.begin(), v.extras.labels.end(),
                                  [](const auto &l) { return l.first == "/home/dev/calc-v1/lib"; });
    ASSERT_NE(lib, v.extras.labels.end());
    EXPECT_EQ(lib->second, "lib/\n13 files\n+2 -1");
}

TEST(Views, AFileWithItsNeighboursAndTheGoalsOfItsMake)
{
    const RsfModel m(sample_rsf());
    const View v = make_view(m, ViewKind::file, m.find_unit("16417 16517"), 200);
    std::vector<std::string> ids;
    for (int u : v.files)
        ids.push_back(m.units()[static_cast<std::size_t>(u)].id);
    for (const char *expected : {"16417 16517", "16420 16521", "16423 16525", "16416 16516", "16414 16514", "16411 16511"})
        EXPECT_NE(std::find(ids.begin(), ids.end(), expected), ids.end()) << expected;
    EXPECT_EQ(std::find(ids.begin(), ids.end(), "16430 16531"), ids.end());
    EXPECT_NE(v.rsf.find("ROOT\t/home/dev/calc-v1\t-"), std::string::npos);
}

TEST(Views, ALimitCutsTheFilesOfOneDirectoryAndSaysSo)
{
    const RsfModel m(wide_directory(50));
    const View v = make_view(m, ViewKind::directory, m.root(), 10);
    EXPECT_EQ(v.node_count(), 10u);   // nine files and the box of /d/sub
    EXPECT_NE(v.note.find("41 files of /d are not drawn"), std::string::npos) << v.note;
    EXPECT_EQ(count_lines(v.rsf, "DEPENDON\t0\t/d/sub"), 1u);
    EXPECT_EQ(v.rsf.find("900\t901"), std::string::npos);
    // Below the smallest limit the smallest is taken.
    EXPECT_EQ(make_view(m, ViewKind::directory, m.root(), 1).node_count(), min_view_limit);
}

// A build whose top make ran in /src, written as the recorder writes it:
// what lies outside the top hangs from it by its full path.  The object
// folder /obj holds what the build made; a system header and an installed
// manual page lie outside both.
std::string rooted_build()
{
    std::string rsf = "ROOT\t/src\t-\nCONTAIN\t/src\t/src/lib\n";
    for (const char *dir : {"/obj/lib/x86", "/obj/lib", "/usr/include/sys", "/usr/include", "/usr/share/man/man1"})
        rsf += "CONTAIN\t/src\t" + std::string(dir) + "\n";
    const struct {
        int oid;
        const char *dir, *name, *flag;
    } files[] = {{1, "/src", "Makefile", "-"}, {2, "/src/lib", "a.c", "-"}, {3, "/src/lib", "b.c", "-"},
                 {4, "/obj/lib", "a.o", "TARGET"}, {5, "/obj/lib/x86", "b.o", "EXECUTED"},
                 {6, "/usr/include/sys", "types.h", "-"}, {7, "/usr/include", "stdio.h", "-"},
                 {8, "/usr/share/man/man1", "calc.1", "-"}};
    for (const auto &f : files) {
        rsf += "FILE\t" + std::to_string(f.oid) + "\t" + f.name + "\nCONTAIN\t" + f.dir + "\t" + std::to_string(f.oid) + "\n";
        if (std::string(f.flag) != "-")
            rsf += std::string(f.flag) + "\t" + std::to_string(f.oid) + "\t-\n";
    }
    return rsf + "DEPENDON\t4\t2\nDEPENDON\t4\t7\nDEPENDON\t5\t3\nDEPENDON\t5\t6\nDEPENDON\t5\t7\nDEPENDON\t8\t4\n";
}

// A directory /t holding `dirs` subdirectories d0, d1, ... of `files` files each.
std::string wide_tree(int dirs, int files)
{
    std::string rsf = "ROOT\t/t\t-\n";
    int oid = 1;
    for (int d = 0; d < dirs; ++d) {
        const std::string dir = "/t/d" + std::to_string(d);
        rsf += "CONTAIN\t/t\t" + dir + "\n";
        for (int f = 0; f < files; ++f, ++oid)
            rsf += "FILE\t" + std::to_string(oid) + "\tf.c\nCONTAIN\t" + dir + "\t" + std::to_string(oid) + "\n";
    }
    return rsf;
}

TEST(Outline, EachRootItsOwnTopNamedByItsPath)
{
    const RsfModel m(rooted_build());
    const Outline o(m);
    const OutlineDir &top = o.dirs()[static_cast<std::size_t>(o.top())];
    EXPECT_EQ(top.id, Outline::top_id);
    std::vector<std::string> roots;
    for (int r : top.dirs)
        roots.push_back(o.dirs()[static_cast<std::size_t>(r)].name);
    ASSERT_FALSE(roots.empty());
    EXPECT_EQ(roots.front(), "/src");   // the top directory first
    std::sort(roots.begin(), roots.end());
    EXPECT_EQ(roots, (std::vector<std::string>{"/obj/lib", "/src", "/usr/include", "/usr/share/man/man1"}));
    EXPECT_EQ(top.files_below, m.file_count());
    // Where each file lies: its directory and the root above it.
    const struct {
        const char *oid, *dir, *root;
    } cases[] = {{"1", "/src", "/src"}, {"2", "/src/lib", "/src"}, {"5", "/obj/lib/x86", "/obj/lib"},
                 {"4", "/obj/lib", "/obj/lib"}, {"6", "/usr/include/sys", "/usr/include"},
                 {"8", "/usr/share/man/man1", "/usr/share/man/man1"}};
    for (const auto &c : cases) {
        int d = o.dir_of_file(m.find_unit(c.oid));
        ASSERT_GE(d, 0) << c.oid;
        EXPECT_EQ(o.dirs()[static_cast<std::size_t>(d)].id, c.dir) << c.oid;
        while (!o.dirs()[static_cast<std::size_t>(d)].root)
            d = o.dirs()[static_cast<std::size_t>(d)].parent;
        EXPECT_EQ(o.dirs()[static_cast<std::size_t>(d)].id, c.root) << c.oid;
    }
    // Without anything outside the top, the top is the one root.
    const RsfModel alone(sample_rsf());
    const Outline one(alone);
    EXPECT_EQ(one.dirs()[static_cast<std::size_t>(one.top())].unit, alone.root());
    EXPECT_FALSE(one.find("no such directory"));
    EXPECT_FALSE(one.find("more:x:/home/dev/calc-v1"));
    EXPECT_FALSE(one.find("more:99:/home/dev/calc-v1"));
}

TEST(Views, TheRootsAsTopBoxesWithTheirEdgesMerged)
{
    const RsfModel m(rooted_build());
    const Outline o(m);
    const View v = make_directory_view(m, o, {o.top(), 0}, 10);
    EXPECT_LE(v.node_count(), 10u);
    // No frame holds the roots: relplot starts at the first and walks on along its siblings.
    EXPECT_NE(v.rsf.find("ROOT\t/src\t-"), std::string::npos);
    EXPECT_NE(v.rsf.find("CONTAIN\troots:\t/obj/lib\n"), std::string::npos);
    const auto frame = std::find_if(v.extras.cluster_labels.begin(), v.extras.cluster_labels.end(),
                                    [](const auto &l) { return l.first == "/usr/share/man/man1"; });
    ASSERT_NE(frame, v.extras.cluster_labels.end());
    EXPECT_EQ(frame->second, "/usr/share/man/man1");
    // Files drawn on both ends keep their own edge; an end in a box is merged and counted.
    EXPECT_EQ(count_lines(v.rsf, "DEPENDON\t4\t2"), 1u);
    std::string more_files = "CONTAIN\t/src/lib\t/src/lib/x\nDEPENDON\t4\t9\n";
    for (int f = 9; f <= 13; ++f)
        more_files += "FILE\t" + std::to_string(f) + "\tc.c\nCONTAIN\t/src/lib/x\t" + std::to_string(f) + "\n" +
                      (f < 13 ? "DEPENDON\t5\t" + std::to_string(f) + "\n" : "");
    // /src/lib/x stays a box: its five files would pass the limit.
    const RsfModel deep(rooted_build() + more_files);
    const Outline od(deep);
    const View cut = make_directory_view(deep, od, {od.top(), 0}, 10);
    std::map<std::pair<std::string, std::string>, std::size_t> counts;
    for (const EdgeMark &e : cut.extras.edges)
        counts[{e.from, e.to}] = e.count;
    EXPECT_EQ(counts, (std::map<std::pair<std::string, std::string>, std::size_t>{{{"5", "/src/lib/x"}, 4},
                                                                                  {{"4", "/src/lib/x"}, 1}}));
    EXPECT_EQ(count_lines(cut.rsf, "DEPENDON\t5\t/src/lib/x"), 1u);
    EXPECT_EQ(count_lines(cut.rsf, "DEPENDON\t4\t2"), 1u);
    EXPECT_EQ(cut.node_count(), 9u);
}

TEST(Views, TheLimitHoldsBoxesIncluded)
{
    const struct {
        int dirs, files;
        std::size_t limit, boxes, files_drawn;
        bool more;
    } cases[] = {
        {5, 3, 10, 5, 0, false},     // 5 boxes; opening them (15 files) would pass 10
        {5, 3, 15, 0, 15, false},    // all open
        {30, 2, 10, 10, 0, true},    // 9 boxes and "21 more directories"
        {30, 2, 60, 0, 60, false},   // all open: 60 files
        {30, 2, 59, 30, 0, false},   // all boxes
        {250, 2, 200, 200, 0, true}, // 199 boxes and one box of the other 51
        {250, 1, 200, 1, 199, true}, // the 199 open in place of their boxes: one file each
    };
    for (const auto &c : cases) {
        const RsfModel m(wide_tree(c.dirs, c.files));
        const Outline o(m);
        const View v = make_directory_view(m, o, {o.top(), 0}, c.limit);
        EXPECT_LE(v.node_count(), c.limit) << c.dirs << " " << c.limit;
        EXPECT_EQ(v.boxes.size(), c.boxes) << c.dirs << " " << c.limit;
        EXPECT_EQ(v.files.size(), c.files_drawn) << c.dirs << " " << c.limit;
        EXPECT_EQ(!v.boxes.empty() && v.boxes.back().more > 0, c.more) << c.dirs << " " << c.limit;
        std::size_t files = v.files.size();
        for (const Box &b : v.boxes)
            files += b.files;
        EXPECT_EQ(files, m.file_count()) << "every file drawn or counted in a box";
    }
}

TEST(Views, TheBoxOfMoreDirectoriesOpensThem)
{
    const RsfModel m(wide_tree(25, 2));
    const Outline o(m);
    const View first = make_directory_view(m, o, {o.top(), 0}, 10);
    ASSERT_EQ(first.boxes.size(), 10u);
    const Box &more = first.boxes.back();
    EXPECT_EQ(more.more, 16u);
    EXPECT_EQ(more.files, 32u);
    EXPECT_NE(first.note.find("16 of the 25 directories of /t are in the box \"16 more directories\""), std::string::npos)
        << first.note;
    const auto place = o.find(more.id);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->skip, 9u);
    const View rest = make_directory_view(m, o, *place, 10);
    EXPECT_EQ(rest.boxes.size(), 10u);
    EXPECT_EQ(rest.boxes.back().more, 7u);   // and the last seven in a box again
    EXPECT_EQ(rest.crumbs.back().second, "16 more directories");
    // The directories of the second view are those the first did not draw.
    for (std::size_t i = 0; i + 1 < rest.boxes.size(); ++i)
        for (const Box &b : first.boxes)
            EXPECT_NE(b.id, rest.boxes[i].id);
}

TEST(Views, LabelsAreQuotedAsRelplotQuotes)
{
    EXPECT_EQ(dot_label_statement("/a\"b\\c", "x\ny\"z"), "\t\"/a\\\"b\\\\c\"[label=\"x\\ny\\\"z\"];\n");
}

TEST(RequestChecks, Oids)
{
    const struct {
        const char *text;
        std::size_t count;
    } cases[] = {{"1", 1}, {"16417 16517", 2}, {"0", 1}, {"9223372036854775807", 1}, {"", 0}, {"1 2 3", 0},
                 {"1  2", 0}, {" 1", 0}, {"1 ", 0}, {"-1", 0}, {"1\n", 0}, {"1\t2", 0}, {"a", 0},
                 {"12345678901234567890", 0}, {"1;2", 0}};
    for (const auto &c : cases) {
        const auto oids = parse_oids(c.text);
        EXPECT_EQ(oids ? oids->size() : 0u, c.count) << '"' << c.text << '"';
    }
}

TEST(RequestChecks, HostAndOrigin)
{
    EXPECT_TRUE(host_allowed("127.0.0.1:8080", 8080));
    EXPECT_TRUE(host_allowed("LocalHost:8080", 8080));
    for (const char *host : {"127.0.0.1", "127.0.0.1:80", "evil.example:8080", "localhost.evil:8080", "", "[::1]:8080"})
        EXPECT_FALSE(host_allowed(host, 8080)) << host;
    EXPECT_TRUE(origin_allowed("http://localhost:8080", 8080));
    for (const char *origin : {"null", "", "https://127.0.0.1:8080", "http://127.0.0.1:8081", "http://evil.example"})
        EXPECT_FALSE(origin_allowed(origin, 8080)) << origin;
}

TEST(RequestChecks, StaticFilesStayInTheirFolder)
{
    testsupport::TempDir dir;
    const auto root = std::filesystem::canonical(dir.path());
    std::filesystem::create_directory(root / "www");
    testsupport::write_file((root / "www" / "index.html").string(), "<p>");
    testsupport::write_file((root / "secret.txt").string(), "no");
    std::filesystem::create_directory(root / "www" / "css");
    testsupport::write_file((root / "www" / "css" / "a.css").string(), "");
    std::filesystem::create_symlink(root / "secret.txt", root / "www" / "out.txt");
    std::filesystem::create_symlink("index.html", root / "www" / "in.html");
    std::filesystem::create_directory_symlink(root, root / "www" / "up");
    const auto www = root / "www";
    EXPECT_EQ(static_file(www, "/"), www / "index.html");
    EXPECT_EQ(static_file(www, "/css/a.css"), www / "css" / "a.css");
    for (const char *bad : {"", "index.html", "/../secret.txt", "/..", "/./index.html", "/css/../index.html",
                            "//index.html", "/css/", "/css", "/out.txt", "/in.html", "/up/secret.txt",
                            "/.hidden", "/index.html\\..", "/a b", "/index.html%00"})
        EXPECT_FALSE(static_file(www, bad)) << bad;
}

TEST(LayoutCache, AViewDrawnOnceComesBackWithoutRelplotOrDot)
{
    // relplot through a script that counts its runs.
    testsupport::TempDir bin;
    const std::string counter = bin.file("runs");
    testsupport::write_file(bin.file("relplot"), "#!/bin/sh\necho run >> '" + counter + "'\nexec '" +
                                                     testsupport::bin_path("relplot") + "' \"$@\"\n");
    chmod(bin.file("relplot").c_str(), 0755);
    PrivateDir scratch;
    LayoutSettings settings;
    settings.relplot = bin.file("relplot");
    LayoutEngine engine(settings, scratch);
    const std::string rsf = "ROOT\t/\t-\nCONTAIN\t/\ta\nFILE\ta\ta.c\n";
    const auto runs = [&] { return count_lines(testsupport::read_file(counter), "run"); };

    const Layout first = engine.draw(rsf, {});
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_FALSE(first.cached);
    const Layout again = engine.draw(rsf, {});
    EXPECT_TRUE(again.cached);
    EXPECT_EQ(again.svg, first.svg);
    EXPECT_EQ(runs(), 1u);
    // Other box labels are another picture.
    const Layout relabelled = engine.draw(rsf, DotExtras{{{"a", "other"}}, {}, {}, {}});
    ASSERT_TRUE(relabelled.ok) << relabelled.error;
    EXPECT_FALSE(relabelled.cached);
    EXPECT_NE(relabelled.digest, first.digest);
    EXPECT_EQ(runs(), 2u);
}

} // namespace
