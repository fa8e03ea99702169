// traceview's modules on their own: the RSF model, the views cut from it,
// the request checks and the layout cache.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

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
    for (const char *bad : {"file\tx\ty\n", "CONTAIN\t/a\t/b\nCONTAIN\t/c\t/b\n", "CONTAIN\t/a\t/a\n"})
        EXPECT_THROW(RsfModel{bad}, std::runtime_error) << bad;
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
    EXPECT_EQ(v.shown.size(), 27u);
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
    EXPECT_EQ(v.shown.size(), 6u);
    EXPECT_EQ(v.rsf.find("CONTAIN\t/home/dev/calc-v1/doc\t16436"), std::string::npos);
    // With room for the whole next level, all three open.
    EXPECT_TRUE(make_view(m, ViewKind::directory, m.root(), 27).boxes.empty());
    EXPECT_EQ(make_view(m, ViewKind::directory, m.root(), 26).boxes.size(), 3u);
    // v1's and v2's sub-make edges into lib become one edge into its box.
    EXPECT_EQ(count_lines(v.rsf, "INVOKE\t16411\t/home/dev/calc-v1/lib"), 1u);
    // src/calc depends on lib/libcalc.a: one edge between the two boxes.
    EXPECT_EQ(count_lines(v.rsf, "DEPENDON\t/home/dev/calc-v1/src\t/home/dev/calc-v1/lib"), 1u);
    EXPECT_EQ(v.rsf.find("CONTAIN\t/home/dev/calc-v1/lib\t"), std::string::npos);
    const auto lib = std::find_if(v.labels.begin(), v.labels.end(),
                                  [](const auto &l) { return l.first == "/home/dev/calc-v1/lib"; });
    ASSERT_NE(lib, v.labels.end());
    EXPECT_EQ(lib->second, "lib/\n13 files");
}

TEST(Views, AFileWithItsNeighboursAndTheGoalsOfItsMake)
{
    const RsfModel m(sample_rsf());
    const View v = make_view(m, ViewKind::file, m.find_unit("16417 16517"), 200);
    std::vector<std::string> ids;
    for (int u : v.shown)
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
    EXPECT_EQ(v.shown.size(), 10u);   // nine files and the box of /d/sub
    EXPECT_NE(v.note.find("41 files of /d are not drawn"), std::string::npos) << v.note;
    EXPECT_EQ(count_lines(v.rsf, "DEPENDON\t0\t/d/sub"), 1u);
    EXPECT_EQ(v.rsf.find("900\t901"), std::string::npos);
    // Below the smallest limit the smallest is taken.
    EXPECT_EQ(make_view(m, ViewKind::directory, m.root(), 1).shown.size(), min_view_limit);
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
    const Layout relabelled = engine.draw(rsf, {{"a", "other"}});
    ASSERT_TRUE(relabelled.ok) << relabelled.error;
    EXPECT_FALSE(relabelled.cached);
    EXPECT_NE(relabelled.digest, first.digest);
    EXPECT_EQ(runs(), 2u);
}

} // namespace
