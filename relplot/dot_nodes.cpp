// The DOT writer for the frame and the directory tree: every node with
// children becomes a nested cluster, every other node one node line with
// the attributes of its make properties, layer and colour.
#include "relplot.h"

#include "dot_output.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// The text after the last '/' when something follows it, else the whole name.
const char *cluster_label(const char *name)
{
    const char *slash = std::strrchr(name, '/');
    return slash != nullptr && slash[1] != 0 ? slash + 1 : name;
}

bool equal_text(const char *a, const char *b)
{
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// A leaf's label text, escaped: the text a FILE record gave, or the text
// after the last '/' of its name, or (with neither) its whole name.
void put_label(DotOutput &out, const GraphNode_ *node)
{
    out.put_quoted(node->filename != nullptr ? node->filename : node->name);
}

// The attributes that open a leaf's line, by its kind.
void put_kind_attributes(DotOutput &out, const GraphNode_ *node)
{
    if (node->type == NT_DIR) {
        out.put("[shape=box,label=\"");
        put_label(out, node);
        out.put('"');
        return;
    }
    out.put("[label=\"");
    put_label(out, node);
    if (node->dblcln >= 0) {
        out.put(" ((");
        out.put_number(node->dblcln);
        out.put("))");
    }
    out.put('"');
    out.put(node->isgoal != 0 ? ",shape=doublecircle" : ",shape=ellipse");
    out.put(node->isphony != 0 ? ",fontname=\"Courier\"" : ",fontname=\"Times-Roman\"");
    out.put(node->istarget != 0 ? ",fontcolor=red" : ",fontcolor=blue");
    if (node->isexecuted != 0)
        out.put(",color=lightyellow,style=filled");
}

// The layer attribute and the one colour rule that applies first.
void put_layer_and_colour(DotOutput &out, const GraphNode_ *node)
{
    if (node->layer != nullptr) {
        if (node->same != nullptr) {
            out.put(",layer=\"all\"");
        } else {
            out.put(",layer=\"");
            out.put_quoted(node->layer);
            out.put('"');
        }
    }
    if (node->isdiff != 0)
        out.put(",color=orange");
    else if (node->same != nullptr)
        out.put(",color=black");
    else if (equal_text(node->layer, layer_name[0]))
        out.put(",color=red");
    else if (equal_text(node->layer, layer_name[1]))
        out.put(",color=green");
}

// The node line of a leaf.
void put_leaf(DotOutput &out, const GraphNode_ *node, int depth)
{
    out.put_tabs(depth);
    put_node_id(out, node);
    put_kind_attributes(out, node);
    put_layer_and_colour(out, node);
    out.put("];\n");
}

// Walks the tree as the cluster output reads it: `node` and its following
// siblings at `depth`; a node with children opens a cluster holding its
// own children and then its SAME partner's; duplicates are skipped.  The
// open clusters live on an explicit stack, so neither long sibling chains
// nor deep trees use the call stack.  The visitor sees open(node, depth),
// leaf(node, depth) and close(node, depth).
template <class Visitor>
void walk_tree(GraphNode_ *node, int depth, Visitor &&visit)
{
    struct Open {
        GraphNode_ *cluster;
        bool partner_done; // its SAME partner's children are walked (or not to be)
    };
    std::vector<Open> open;
    for (;;) {
        while (node != nullptr) {
            if (node->isdup != 0) {
                node = node->next;
            } else if (node->children != nullptr) {
                visit.open(node, depth);
                open.push_back({node, false});
                ++depth;
                node = node->children;
            } else {
                visit.leaf(node, depth);
                node = node->next;
            }
        }
        if (open.empty())
            return;
        Open &top = open.back();
        if (!top.partner_done) {
            top.partner_done = true;
            if (top.cluster->same != nullptr) {
                node = top.cluster->same->children;
                continue;
            }
        }
        GraphNode_ *cluster = top.cluster;
        open.pop_back();
        --depth;
        visit.close(cluster, depth);
        node = cluster->next;
    }
}

// Writes the tree into `fp` and marks the nodes it draws, with their partners.
struct TreePrinter {
    FILE *fp;
    void open(GraphNode_ *node, int depth)
    {
        mark_drawn(node);
        print_SubGraphHeader(depth, node->name, fp);
    }
    void leaf(GraphNode_ *node, int depth)
    {
        mark_drawn(node);
        put_leaf(DotOutput::of(fp), node, depth);
    }
    void close(GraphNode_ *, int depth) { print_SubGraphFooter(depth, fp); }
    static void mark_drawn(GraphNode_ *node)
    {
        node->walkmark |= WM_DRAWN;
        if (node->same != nullptr)
            node->same->walkmark |= WM_DRAWN;
    }
};

// Walks the tree without writing and refuses a cluster that is entered again
// while it is still open: its walk would nest it in itself without end.
struct TreeChecker {
    void open(GraphNode_ *node, int)
    {
        if ((node->walkmark & WM_OPEN) != 0) {
            std::printf("ERROR: cluster %s would contain itself through a SAME partner\n", node->name);
            abnormal_end();
        }
        node->walkmark |= WM_OPEN;
    }
    void leaf(GraphNode_ *, int) {}
    void close(GraphNode_ *node, int) { node->walkmark &= static_cast<std::uint8_t>(~WM_OPEN); }
};

} // namespace

void put_node_id(DotOutput &out, const GraphNode_ *node)
{
    out.put('"');
    if (node->same == nullptr) {
        out.put_quoted(node->name);
    } else {
        // Both members of a SAME pair go by one id: subject, blank, object.
        const bool dup = node->isdup != 0;
        out.put_quoted(dup ? node->same->name : node->name);
        out.put(' ');
        out.put_quoted(dup ? node->name : node->same->name);
    }
    out.put('"');
}

void print_file_header(FILE *fp)
{
    DotOutput &out = DotOutput::of(fp);
    out.put("digraph G {\n");
    out.put("\tsize = \"10,7.5\"; ratio = fill; rotate = 90\n");
}

void print_file_footer(FILE *fp)
{
    // The end of the file: everything goes to the stream now.
    DotOutput &out = DotOutput::of(fp);
    out.put("}\n");
    out.flush();
}

GraphNode_ *start_node()
{
    return find_graphNode(root_directory != nullptr ? root_directory : "/");
}

void check_components()
{
    walk_tree(start_node(), 1, TreeChecker{});
}

void print_components(FILE *fp)
{
    print_GraphNode(start_node(), 1, fp);
}

void print_GraphNode(GraphNode_ *node, int depth, FILE *fp)
{
    walk_tree(node, depth, TreePrinter{fp});
}

void print_SubGraphHeader(int depth, const char *name, FILE *fp)
{
    DotOutput &out = DotOutput::of(fp);
    out.put_tabs(depth);
    out.put("subgraph \"cluster_");
    out.put_quoted(name);
    out.put("\" {\n");
    out.put_tabs(depth + 1);
    out.put("label=\"");
    out.put_quoted(cluster_label(name));
    out.put("\";\n");
}

void print_SubGraphFooter(int depth, FILE *fp)
{
    DotOutput &out = DotOutput::of(fp);
    out.put_tabs(depth);
    out.put("}\n");
}

void report_files_not_drawn()
{
    // A hand-written RSF that forgets its ROOT, or a CONTAIN record, would
    // otherwise lose its files without a word.
    constexpr std::size_t named = 3;
    std::size_t left_out = 0;
    std::string names;
    for (const GraphNode_ *node : nodes_in_input_order) {
        if (node->type != NT_FILE || (node->walkmark & WM_DRAWN) != 0 || ++left_out > named)
            continue;
        names += (left_out > 1 ? ", " : "") + std::string(node->name);
        if (node->filename_owned != 0)
            names += " (" + std::string(node->filename) + ")";
    }
    if (left_out == 0)
        return;
    const std::string root = root_directory != nullptr ? root_directory : "/";
    std::string why = "no CONTAIN chain joins them to the root directory \"" + root + "\"";
    if (start_node() == nullptr) {
        why = root_directory != nullptr ? "no record names the root directory \"" + root + "\" that ROOT gives"
                                        : "there is no ROOT record and no directory \"/\" to start the tree from";
    }
    std::fprintf(stderr, "relplot: %zu file%s not drawn: %s: %s%s\n", left_out, left_out == 1 ? "" : "s",
                 why.c_str(), names.c_str(), left_out > named ? ", ..." : "");
}
