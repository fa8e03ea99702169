// The fixture and DOT builders shared by relplot's end-to-end tests: the
// built program converts RSF files, and Graphviz's own dot must accept every
// DOT file of a successful run.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace relplot_e2e {

using namespace testsupport;

inline const std::string succeeded = "\n Convert to DOT format succeeded. \n";
inline const std::string header = "digraph G {\n\tsize = \"10,7.5\"; ratio = fill; rotate = 90\n";

// A whole DOT file around the tree and edge lines `body`.
inline std::string dot_file(const std::string &body)
{
    return header + body + "}\n";
}

// The tree part: the cluster of / at depth 1 holding `lines`.
inline std::string root_cluster(const std::string &lines)
{
    return "\tsubgraph \"cluster_/\" {\n\t\tlabel=\"/\";\n" + lines + "\t}\n";
}

// The attributes of a plain file node after its label.
inline const std::string plain = ",shape=ellipse,fontname=\"Times-Roman\",fontcolor=blue";

struct Case {
    std::string what, rsf, want;
};

class Relplot : public testing::Test {
protected:
    TempDir dir;
    std::string in = dir.file("in.rsf");
    std::string out = dir.file("out.dot");

    RunResult convert(const std::string &rsf, const RunOptions &options = {})
    {
        write_file(in, rsf);
        return run_program({bin_path("relplot"), in, out}, options);
    }

    // Renders `path` with Graphviz: it must take the file without a word.
    static void expect_dot_accepts(const std::string &path, const std::string &what)
    {
        const RunResult r = run_program({DAVER_DOT, "-Tsvg", "-o", "/dev/null", path});
        EXPECT_EQ(r.exit_code, 0) << what << "\n" << r.err;
        EXPECT_EQ(r.err, "") << what;
    }

    void expect_converts(const Case &c)
    {
        const RunResult r = convert(c.rsf);
        EXPECT_EQ(r.exit_code, 0) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, succeeded) << c.what;
        EXPECT_EQ(read_file(out), c.want) << c.what;
        expect_dot_accepts(out, c.what);
    }
};

// A directory holding `files` files f0, f1, ...
inline std::string wide_rsf(int files)
{
    std::string rsf;
    for (int i = 0; i < files; ++i)
        rsf += "CONTAIN\t/\tf" + std::to_string(i) + "\n";
    return rsf;
}

// The DOT file of wide_rsf(files).
inline std::string wide_dot(int files)
{
    std::string lines;
    for (int i = files - 1; i >= 0; --i) {
        const std::string name = "f" + std::to_string(i);
        lines += "\t\t\"" + name + "\"[shape=box,label=\"" + name + "\"];\n";
    }
    return dot_file(root_cluster(lines));
}

// A chain of directories d0 (the root) to d`depth`.
inline std::string chain_rsf(int depth)
{
    std::string rsf = "ROOT\td0\t-\n";
    for (int i = 0; i < depth; ++i)
        rsf += "CONTAIN\td" + std::to_string(i) + "\td" + std::to_string(i + 1) + "\n";
    return rsf;
}

// The DOT file of chain_rsf(depth).
inline std::string chain_dot(int depth)
{
    std::string opening, closing;
    for (int i = 0; i < depth; ++i) {
        const std::string tabs(static_cast<std::size_t>(i) + 1, '\t');
        opening += tabs + "subgraph \"cluster_d" + std::to_string(i) + "\" {\n" + tabs + "\tlabel=\"d" +
                   std::to_string(i) + "\";\n";
        closing.insert(0, tabs + "}\n");
    }
    const std::string leaf = "d" + std::to_string(depth);
    return dot_file(opening + std::string(static_cast<std::size_t>(depth) + 1, '\t') + "\"" + leaf +
                    "\"[shape=box,label=\"" + leaf + "\"];\n" + closing);
}

} // namespace relplot_e2e
