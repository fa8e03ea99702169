// End-to-end tests of relplot: the built program converts RSF files, and
// Graphviz's own dot must accept every DOT file of a successful run.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relplot_e2e.h"

using namespace relplot_e2e;
using namespace std::string_literals;

namespace {

TEST_F(Relplot, WorkedExamples)
{
    const Case cases[] = {
        {"clusters and nodes",
         "LAYERNAME\told\t0\nLAYERNAME\tnew\t1\nFILE\tf1\tmain.c\nFILE\tf2\tmain.o\nFILE\tf3\tprog\nFILE\tg3\tprog\n"
         "FILE\tf4\tclean\nCONTAIN\t/\t/src\nCONTAIN\t/src\tf1\nCONTAIN\t/src\tf2\nCONTAIN\t/\tf3\nCONTAIN\t/\tg3\n"
         "CONTAIN\t/\t/doc\nCONTAIN\t/\tf4\nLAYER\tf1\told\nLAYER\tf2\tnew\nLAYER\tf3\told\nLAYER\tg3\tnew\n"
         "SAME\tf3\tg3\nGOAL\tf3\t-\nPHONY\tf4\t-\nTARGET\tf2\t-\nEXECUTED\tf2\t-\nDBLCLN\tf1\t2\nDIFF\t/doc\t-\n",
         dot_file(root_cluster(
             "\t\t\"f4\"[label=\"clean\",shape=ellipse,fontname=\"Courier\",fontcolor=blue];\n"
             "\t\t\"/doc\"[shape=box,label=\"doc\",color=orange];\n"
             "\t\t\"f3 g3\"[label=\"prog\",shape=doublecircle,fontname=\"Times-Roman\",fontcolor=blue,layer=\"all\","
             "color=black];\n"
             "\t\tsubgraph \"cluster_/src\" {\n"
             "\t\t\tlabel=\"src\";\n"
             "\t\t\t\"f2\"[label=\"main.o\",shape=ellipse,fontname=\"Times-Roman\",fontcolor=red,color=lightyellow,"
             "style=filled,layer=\"new\",color=green];\n"
             "\t\t\t\"f1\"[label=\"main.c ((2))\"" + plain + ",layer=\"old\",color=red];\n"
             "\t\t}\n"))},
        {"edges",
         "LAYER\ta\told\nLAYER\tb\told\nSAME\tc\td\nSAME\tm\tn\nDEPENDON\ta\tb\nINVOKE\ta\tc\nDEPENDON\td\tb\n"
         "DEPENDON\tc\tm\nDEPENDON\td\tn\nINVOKE\tf\tg\n",
         dot_file("\t\"f\"->\"g\"[style=dotted];\n"
                  "\t\"c d\"->\"m n\"[layer=\"all\",style=filled];\n"
                  "\t\"c d\"->\"b\"[layer=\"old\",style=filled];\n"
                  "\t\"a\"->\"c d\"[layer=\"old\",style=dotted];\n"
                  "\t\"a\"->\"b\"[layer=\"old\",style=filled];\n")},
    };
    for (const auto &c : cases)
        expect_converts(c);
}

TEST_F(Relplot, ReadsTokensWhateverTheLayout)
{
    const std::string f1 = dot_file(root_cluster("\t\t\"f1\"[label=\"main.c\"" + plain + "];\n"));
    const std::string long_name(5000, 'n');
    const Case cases[] = {
        {"empty input", "", dot_file("")},
        {"white space only", " \n\t\r\n\v\f  ", dot_file("")},
        {"tab separated lines", "FILE\tf1\tmain.c\nCONTAIN\t/\tf1\n", f1},
        {"CRLF line ends", "FILE\tf1\tmain.c\r\nCONTAIN\t/\tf1\r\n", f1},
        {"records across lines", "FILE\tf1\nmain.c\nCONTAIN /\n\n   f1", f1},
        {"short last record keeps the object before", "CONTAIN\t/src\tf1\nROOT\t/src",
         dot_file("\tsubgraph \"cluster_/src\" {\n\t\tlabel=\"src\";\n\t\t\"f1\"[shape=box,label=\"f1\"];\n\t}\n")},
        {"short first record reads empty tokens", "CONTAIN\t/", dot_file(root_cluster("\t\t\"\"[shape=box,label=\"\"];\n"))},
        {"lone first token", "ROOT", dot_file("")},
        {"token longer than any buffer", "CONTAIN\t/\t" + long_name + "\n",
         dot_file(root_cluster("\t\t\"" + long_name + "\"[shape=box,label=\"" + long_name + "\"];\n"))},
    };
    for (const auto &c : cases)
        expect_converts(c);
}

TEST_F(Relplot, InterpretsRelations)
{
    const Case cases[] = {
        {"DBLCLN keeps the low 8 bits; negative means no count",
         "FILE f1 a\nFILE f2 b\nFILE f3 c\nDBLCLN f1 5\nDBLCLN f1 300\nDBLCLN f2 200\nDBLCLN f3 x\n"
         "CONTAIN / f1\nCONTAIN / f2\nCONTAIN / f3\nCONTAIN / d\nDBLCLN d 0\n",
         dot_file(root_cluster("\t\t\"d\"[label=\"d ((0))\"" + plain + "];\n" +
                               "\t\t\"f3\"[label=\"c ((0))\"" + plain + "];\n" +
                               "\t\t\"f2\"[label=\"b\"" + plain + "];\n" +
                               "\t\t\"f1\"[label=\"a ((44))\"" + plain + "];\n"))},
        {"repeated relations",
         "LAYERNAME a 0\nLAYERNAME b 0\nROOT /x y\nROOT / y\nPHONY f1 -\nPHONY f1 -\nLAYER f1 b\nLAYER f1 b\n"
         "LAYER f2 b\nCONTAIN / f1\nCONTAIN / f2\nCONTAIN / f2\nINVOKE f2 g\nINVOKE f2 g\nSAME h h\nDIFF h -\nDIFF h -\n",
         dot_file(root_cluster("\t\t\"f2\"[shape=box,label=\"f2\",layer=\"b\",color=red];\n"
                               "\t\t\"f1\"[label=\"f1\",shape=ellipse,fontname=\"Courier\",fontcolor=blue,layer=\"all\"];\n") +
                  "\t\"f2\"->\"g\"[layer=\"b\",style=dotted];\n\t\"f2\"->\"g\"[layer=\"b\",style=dotted];\n")},
        {"one name is one node whatever relations name it",
         "INVOKE x f9\nFILE f9 late.c\nCONTAIN / f9\nTARGET f9 -\nGOAL f9 -\n",
         dot_file(root_cluster("\t\t\"f9\"[label=\"late.c\",shape=doublecircle,fontname=\"Times-Roman\",fontcolor=red];\n") +
                  "\t\"x\"->\"f9\"[style=dotted];\n")},
        {"labels: a later FILE wins, names with '/', no label text",
         "TARGET src/y -\nFILE src/x x.c\nFILE src/x x2.c\nFILE f1 a.c\nFILE f1 b.c\nCONTAIN / src/y\n"
         "CONTAIN / src/x\nCONTAIN / f1\nCONTAIN / leaf\nCONTAIN / a/b/\n",
         dot_file(root_cluster("\t\t\"a/b/\"[shape=box,label=\"/\"];\n"
                               "\t\t\"leaf\"[shape=box,label=\"leaf\"];\n"
                               "\t\t\"f1\"[label=\"b.c\"" + plain + "];\n" +
                               "\t\t\"src/x\"[label=\"x2.c\"" + plain + "];\n" +
                               "\t\t\"src/y\"[label=\"y\",shape=ellipse,fontname=\"Times-Roman\",fontcolor=red];\n"))},
        {"quotes and backslashes are escaped",
         "FILE q\"1 say\"hi\\.c\nCONTAIN / /a\"b\nCONTAIN /a\"b q\"1\nLAYER q\"1 l\"ay\\er\nINVOKE q\"1 z\\\n",
         dot_file(root_cluster("\t\tsubgraph \"cluster_/a\\\"b\" {\n"
                               "\t\t\tlabel=\"a\\\"b\";\n"
                               "\t\t\t\"q\\\"1\"[label=\"say\\\"hi\\\\.c\"" + plain + ",layer=\"l\\\"ay\\\\er\"];\n" +
                               "\t\t}\n") +
                  "\t\"q\\\"1\"->\"z\\\\\"[layer=\"l\\\"ay\\\\er\",style=dotted];\n")},
    };
    for (const auto &c : cases)
        expect_converts(c);
}

TEST_F(Relplot, WritesTheTreeFromTheStartNode)
{
    const Case cases[] = {
        {"a start node without children is one line", "ROOT /lone -\nDIFF /lone -\n",
         dot_file("\t\"/lone\"[shape=box,label=\"lone\",color=orange];\n")},
        {"no node for the root name", "ROOT /none -\nCONTAIN / a\n", dot_file("")},
        {"the start node's own siblings follow it", "CONTAIN / /a\nCONTAIN / /b\nCONTAIN /b f\nROOT /b -\n",
         dot_file("\tsubgraph \"cluster_/b\" {\n\t\tlabel=\"b\";\n\t\t\"f\"[shape=box,label=\"f\"];\n\t}\n"
                  "\t\"/a\"[shape=box,label=\"a\"];\n")},
        {"a duplicate start node is skipped", "CONTAIN / /a\nCONTAIN / /b\nSAME /x /b\nROOT /b -\n",
         dot_file("\t\"/a\"[shape=box,label=\"a\"];\n")},
        {"a file node with children is a cluster", "FILE f1 a.c\nPHONY f1 -\nCONTAIN / f1\nCONTAIN f1 g\n",
         dot_file(root_cluster("\t\tsubgraph \"cluster_f1\" {\n\t\t\tlabel=\"f1\";\n\t\t\t\"g\"[shape=box,label=\"g\"];\n\t\t}\n"))},
        {"a pair given again, also reversed, is one pair", "CONTAIN / s\nCONTAIN / d\nSAME s d\nSAME s d\nSAME d s\nCONTAIN / t\n",
         dot_file(root_cluster("\t\t\"t\"[shape=box,label=\"t\"];\n"))},
        {"only the duplicate has children", "CONTAIN / s\nCONTAIN / d\nCONTAIN d k\nSAME s d\n",
         dot_file(root_cluster("\t\t\"s d\"[shape=box,label=\"s\",color=black];\n"))},
        {"both members of a pair have children", "CONTAIN / s\nCONTAIN / d\nCONTAIN s k1\nCONTAIN d k2\nSAME s d\n",
         dot_file(root_cluster("\t\tsubgraph \"cluster_s\" {\n\t\t\tlabel=\"s\";\n"
                               "\t\t\t\"k1\"[shape=box,label=\"k1\"];\n\t\t\t\"k2\"[shape=box,label=\"k2\"];\n\t\t}\n"))},
        {"cluster labels and depth",
         "CONTAIN / /src/\nCONTAIN /src/ f\nCONTAIN / /src/lib\nCONTAIN /src/lib g\nCONTAIN g h\n",
         dot_file(root_cluster("\t\tsubgraph \"cluster_/src/lib\" {\n\t\t\tlabel=\"lib\";\n"
                               "\t\t\tsubgraph \"cluster_g\" {\n\t\t\t\tlabel=\"g\";\n"
                               "\t\t\t\t\"h\"[shape=box,label=\"h\"];\n\t\t\t}\n\t\t}\n"
                               "\t\tsubgraph \"cluster_/src/\" {\n\t\t\tlabel=\"/src/\";\n"
                               "\t\t\t\"f\"[shape=box,label=\"f\"];\n\t\t}\n"))},
        {"a layer equal to both layer names is red", "LAYERNAME L 0\nLAYERNAME L 1\nLAYER n L\nCONTAIN / n\n",
         dot_file(root_cluster("\t\t\"n\"[shape=box,label=\"n\",layer=\"L\",color=red];\n"))},
        {"a layer set twice reads all", "LAYERNAME all 1\nLAYER n x\nLAYER n y\nCONTAIN / n\nLAYER m x\nCONTAIN / m\n",
         dot_file(root_cluster("\t\t\"m\"[shape=box,label=\"m\",layer=\"x\"];\n"
                               "\t\t\"n\"[shape=box,label=\"n\",layer=\"all\",color=green];\n"))},
        {"DIFF before SAME colour; SAME without layer",
         "DIFF a -\nSAME a b\nCONTAIN / a\nSAME c e\nCONTAIN / c\n",
         dot_file(root_cluster("\t\t\"c e\"[shape=box,label=\"c\",color=black];\n"
                               "\t\t\"a b\"[shape=box,label=\"a\",color=orange];\n"))},
        {"fill of an executed file, then its colour", "EXECUTED f -\nLAYERNAME x 0\nLAYER f x\nCONTAIN / f\n",
         dot_file(root_cluster("\t\t\"f\"[label=\"f\"" + plain + ",color=lightyellow,style=filled,layer=\"x\",color=red];\n"))},
    };
    for (const auto &c : cases)
        expect_converts(c);
}

TEST_F(Relplot, WritesEdgesOfSamePairsAndLayers)
{
    const Case cases[] = {
        {"an edge from a node to itself", "INVOKE a a\n", dot_file("\t\"a\"->\"a\"[style=dotted];\n")},
        {"an edge within a pair", "SAME s d\nINVOKE s d\n", dot_file("\t\"s d\"->\"s d\"[layer=\"all\",style=dotted];\n")},
        {"an edge within a pair whose subject has layer all", "LAYER s x\nLAYER s x\nSAME s d\nINVOKE s d\n", dot_file("")},
        {"an edge from a duplicate to layer all is left out, its subject's is kept",
         "LAYER n y\nLAYER n y\nSAME s d\nDEPENDON d n\nDEPENDON s n\nDEPENDON n d\n",
         dot_file("\t\"s d\"->\"n\"[layer=\"all\",style=filled];\n")},
        {"a pair member and a layered node", "SAME s d\nLAYER o old\nDEPENDON s o\nINVOKE o d\n",
         dot_file("\t\"o\"->\"s d\"[layer=\"old\",style=dotted];\n\t\"s d\"->\"o\"[layer=\"old\",style=filled];\n")},
    };
    for (const auto &c : cases)
        expect_converts(c);
}

TEST_F(Relplot, SaysOnStandardErrorWhichFilesTheTreeLeavesOut)
{
    const std::string none = "there is no ROOT record and no directory \"/\" to start the tree from";
    const struct {
        std::string what, rsf, err;
    } cases[] = {
        {"every file drawn", "FILE f1 a.c\nCONTAIN / d\nCONTAIN d f1\nSAME f1 g\nFILE g b.c\n", ""},
        {"no ROOT and no /", "FILE f1 a.c\nPHONY f2 -\nCONTAIN /src f1\nINVOKE f1 f2\n",
         "relplot: 2 files not drawn: " + none + ": f1 (a.c), f2\n"},
        {"a ROOT that names no node", "ROOT /none -\nFILE f1 a.c\nCONTAIN / f1\n",
         "relplot: 1 file not drawn: no record names the root directory \"/none\" that ROOT gives: f1 (a.c)\n"},
        {"files below a directory that no chain joins to the root",
         "ROOT /top -\nCONTAIN /top /top/a\nCONTAIN /top/a f0\nFILE f0 in.c\nCONTAIN /lost f1\nCONTAIN /lost f2\n"
         "CONTAIN /lost/sub f3\nCONTAIN /lost/sub f4\nTARGET f1 -\nTARGET f2 -\nTARGET f3 -\nTARGET f4 -\n",
         "relplot: 4 files not drawn: no CONTAIN chain joins them to the root directory \"/top\": f1, f2, f3, ...\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = convert(c.rsf);
        EXPECT_EQ(r.exit_code, 0) << c.what;
        EXPECT_EQ(r.out, succeeded) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
    // The DOT bytes are those of the tree that reaches no file.
    EXPECT_EQ(read_file(out), dot_file("\tsubgraph \"cluster_/top\" {\n\t\tlabel=\"top\";\n"
                                       "\t\tsubgraph \"cluster_/top/a\" {\n\t\t\tlabel=\"a\";\n"
                                       "\t\t\t\"f0\"[label=\"in.c\"" + plain + "];\n\t\t}\n\t}\n"));
}

TEST_F(Relplot, NamesTheOutputOutputDotByDefaultAndIgnoresExtraArguments)
{
    write_file(in, "CONTAIN / a\n");
    const std::string want = dot_file(root_cluster("\t\t\"a\"[shape=box,label=\"a\"];\n"));

    RunOptions in_dir;
    in_dir.cwd = dir.path();
    RunResult r = run_program({bin_path("relplot"), in}, in_dir);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, succeeded);
    EXPECT_EQ(read_file(dir.file("output.dot")), want);

    r = run_program({bin_path("relplot"), in, out, dir.file("extra")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(out), want);
    EXPECT_FALSE(std::filesystem::exists(dir.file("extra")));
}

TEST_F(Relplot, UsageWithoutArguments)
{
    const RunResult r = run_program({bin_path("relplot")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Usage: relplot rsffilename [output dot filename]\n");
}

TEST_F(Relplot, RefusesFilesItCannotOpen)
{
    write_file(in, "CONTAIN / a\n");
    std::filesystem::create_symlink(in, dir.file("link.rsf"));
    std::filesystem::create_hard_link(in, dir.file("hard.rsf"));
    const struct {
        std::string what, input, output;
    } cases[] = {
        {"missing input", dir.file("none.rsf"), out},
        {"output in a missing folder", in, dir.file("no/such/out.dot")},
        {"output is the input", in, in},
        {"output is a link to the input", in, dir.file("link.rsf")},
        {"output is a hard link to the input", in, dir.file("hard.rsf")},
    };
    for (const auto &c : cases) {
        const RunResult r = run_program({bin_path("relplot"), c.input, c.output});
        EXPECT_EQ(r.term_signal, SIGABRT) << c.what << ": exit " << r.exit_code;
        const std::string named = c.what == "missing input" ? c.input : c.output;
        EXPECT_EQ(r.out, "Error: can not open " + named + " !!!\n") << c.what;
        EXPECT_EQ(read_file(in), "CONTAIN / a\n") << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(out)); // a missing input creates no output

    // A folder opens, but reading it fails: no graph, and no success.
    const RunResult r = run_program({bin_path("relplot"), dir.path().string(), out});
    EXPECT_EQ(r.term_signal, SIGABRT) << "exit " << r.exit_code;
    EXPECT_EQ(r.out, "Error: can not read " + dir.path().string() + " !!!\n");
    EXPECT_EQ(read_file(out), "");
}

TEST_F(Relplot, RefusesInputTheGraphCannotTake)
{
    const Case cases[] = {
        {"relation names are case-sensitive", "CONTAIN / a\nfile f1 a.c\n", "ERROR: unrecognized relation: file\n"},
        {"a relation name with more letters", "CONTAIN / a\nLAYERNAMES x 0\n",
         "ERROR: unrecognized relation: LAYERNAMES\n"},
        {"a relation name cut short", "CONTAIN / a\nDIF a -\n", "ERROR: unrecognized relation: DIF\n"},
        {"a letter no relation begins with", "CONTAIN / a\nXFILE a -\n", "ERROR: unrecognized relation: XFILE\n"},
        {"a byte above 127", "CONTAIN / a\n\xc4IFF a -\n", "ERROR: unrecognized relation: \xc4IFF\n"},
        {"a line short of its object takes the next line's relation", "ROOT\t/src\nFILE\tf1\ta.c\n",
         "ERROR: unrecognized relation: f1\n"},
        {"LAYERNAME index above 1", "LAYERNAME x 2\n", "ERROR: LAYERNAME index 2 for x is neither 0 nor 1\n"},
        {"LAYERNAME index below 0", "LAYERNAME x -1\n", "ERROR: LAYERNAME index -1 for x is neither 0 nor 1\n"},
        {"a child of two parents", "CONTAIN / a\nCONTAIN / a\nCONTAIN /b a\n", "ERROR: a is contained in both / and /b\n"},
        {"a node containing itself", "CONTAIN / a\nCONTAIN s s\n", "ERROR: containment loop through s\n"},
        {"a partner's children lead back into the cluster", "ROOT X -\nCONTAIN Y X\nCONTAIN X z\nSAME X Y\n",
         "ERROR: cluster X would contain itself through a SAME partner\n"},
        {"a FILE record without a file name", "FILE f1", "ERROR: FILE record for f1 gives no file name\n"},
        {"a subject paired a second time", "SAME a b\nSAME a c\n", "ERROR: a is already paired with b\n"},
        {"an object paired a second time", "SAME a b\nSAME b a\nSAME c b\n", "ERROR: b is already paired with a\n"},
        {"pairs sharing a partner nest", "CONTAIN / X1\nCONTAIN / A1\nCONTAIN X1 x\nSAME X1 Y1\nCONTAIN Y1 X2\nSAME A1 Y1\n",
         "ERROR: Y1 is already paired with X1\n"},
        // Cut at the NUL, a\0b and a\0c would be the one node a.
        {"a NUL byte inside a name", "CONTAIN / a\0b\nCONTAIN / a\0c\n"s,
         "ERROR: record 1 holds a NUL byte inside a token\n"},
        {"a NUL byte ending a relation", "CONTAIN / a\nFILE\0 a a.c\n"s, "ERROR: record 2 holds a NUL byte inside a token\n"},
        {"a NUL byte as an ignored object", "PHONY f -\nPHONY g \0\n"s, "ERROR: record 2 holds a NUL byte inside a token\n"},
        {"a NUL byte in a short last record", "CONTAIN / a\nROOT \0"s, "ERROR: record 2 holds a NUL byte inside a token\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = convert(c.rsf);
        EXPECT_EQ(r.term_signal, SIGABRT) << c.what << ": exit " << r.exit_code;
        EXPECT_EQ(r.out, c.want) << c.what;
        EXPECT_EQ(read_file(out), "") << c.what;
    }
}

TEST_F(Relplot, RefusesContainmentLoops)
{
    for (const std::string rsf : {"CONTAIN x y\nCONTAIN y x\n", "CONTAIN / t\nCONTAIN p q\nCONTAIN q r\nCONTAIN r p\n"}) {
        const RunResult r = convert(rsf);
        EXPECT_EQ(r.term_signal, SIGABRT) << rsf;
        EXPECT_EQ(r.out.rfind("ERROR: containment loop through ", 0), 0u) << r.out;
        EXPECT_EQ(read_file(out), "") << rsf;
    }
}

TEST_F(Relplot, MessagesReachAFileBeforeTheAbnormalEnd)
{
    const std::string messages = dir.file("stdout.txt");
    RunOptions to_file;
    to_file.stdout_path = messages;
    const RunResult r = convert("LAYERNAME x 7\n", to_file);
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_EQ(read_file(messages), "ERROR: LAYERNAME index 7 for x is neither 0 nor 1\n");
}

TEST_F(Relplot, LayerConflictLeavesTheEdgeLineUnfinished)
{
    const Case cases[] = {
        {"different layers", "LAYER a old\nLAYER b new\nINVOKE a b\nINVOKE c d\n",
         header + "\t\"c\"->\"d\"[style=dotted];\n\t\"a\"->\"b\""},
        {"all is no wildcard on edges", "LAYER a x\nLAYER a x\nLAYER b old\nCONTAIN / a\nDEPENDON a b\n",
         header + root_cluster("\t\t\"a\"[shape=box,label=\"a\",layer=\"all\"];\n") + "\t\"a\"->\"b\""},
    };
    for (const auto &c : cases) {
        const RunResult r = convert(c.rsf);
        EXPECT_EQ(r.term_signal, SIGABRT) << c.what;
        EXPECT_EQ(r.out, "Error: conflict layer information\n") << c.what;
        EXPECT_EQ(read_file(out), c.want) << c.what;
    }
}

// A tmpfs of `size` mounted on a new folder `path` while it lives; error()
// is the errno of a mount this process may not make, else 0.
class SmallTmpfs {
public:
    SmallTmpfs(const std::string &path, const std::string &size) : path_(path)
    {
        std::filesystem::create_directory(path_);
        error_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0 ? 0 : errno;
    }
    ~SmallTmpfs()
    {
        if (error_ == 0)
            umount2(path_.c_str(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;
    int error() const { return error_; }

private:
    std::string path_;
    int error_;
};

TEST_F(Relplot, FailedWritesAreNoSuccess)
{
    write_file(in, "CONTAIN / a\n");
    const RunResult r = run_program({bin_path("relplot"), in, "/dev/full"});
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_EQ(r.out, "Error: can not write /dev/full !!!\n");
}

TEST_F(Relplot, ADotFileThatOverfillsItsFileSystemIsNoSuccess)
{
    const SmallTmpfs tmpfs(dir.file("full"), "64k");
    if (tmpfs.error() != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root with CAP_SYS_ADMIN): " << std::strerror(tmpfs.error());
    // Many edge lines behind a tree that fits.
    std::string many_edges = wide_rsf(3);
    for (int i = 0; i < 70000; ++i)
        many_edges += "DEPENDON f0 f1\n";
    const struct {
        std::string what;
        std::string rsf;
        std::size_t whole; // bytes of the DOT file had it fit
    } cases[] = {
        {"the whole file fails at the final flush", wide_rsf(3000), wide_dot(3000).size()}, // about 120 KB, within the write buffer
        {"writes fail while the tree is written", wide_rsf(60000), wide_dot(60000).size()}, // about 2.5 MB, past the write buffer
        {"writes fail while the edges are written", many_edges, 70000 * std::string("\t\"f0\"->\"f1\"[style=filled];\n").size()},
    };
    for (const auto &c : cases) {
        const std::string dot = dir.file("full/out.dot");
        write_file(in, c.rsf);
        const RunResult r = run_program({bin_path("relplot"), in, dot});
        EXPECT_EQ(r.term_signal, SIGABRT) << c.what << ": exit " << r.exit_code;
        EXPECT_EQ(r.out, "Error: can not write " + dot + " !!!\n") << c.what;
        EXPECT_LT(read_file(dot).size(), c.whole) << c.what;
        std::filesystem::remove(dot);
    }
}

TEST_F(Relplot, SmallWideAndDeepTreesAreValidDot)
{
    expect_converts({"a directory of 300 files", wide_rsf(300), wide_dot(300)});
    expect_converts({"a chain 60 deep", chain_rsf(60), chain_dot(60)});
}

} // namespace
