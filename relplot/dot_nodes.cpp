// The DOT writer for the frame and the directory tree: every node with
// children becomes a nested cluster, every other node one node line with
// the attributes of its make properties, layer and colour.
#include "relplot.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Appends `depth` tabs: the indentation of a tree line.
void append_tabs(std::string &line, int depth)
{
    line.append(static_cast<std::size_t>(depth > 0 ? depth : 0), '\t');
}

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

// The attributes that open a leaf's line, by its kind.
void append_kind_attributes(std::string &line, const GraphNode_ *node)
{
    // A leaf that neither its name nor a FILE record gives a label text
    // is labelled with its whole name.
    const char *label = node->filename != nullptr ? node->filename : node->name;
    if (node->type == NT_DIR) {
        line += "[shape=box,label=\"";
        append_quoted(line, label);
        line += '"';
        return;
    }
    line += "[label=\"";
    append_quoted(line, label);
    if (node->dblcln >= 0) {
        line += " ((";
        line += std::to_string(node->dblcln);
        line += "))";
    }
    line += '"';
    line += node->isgoal != 0 ? ",shape=doublecircle" : ",shape=ellipse";
    line += node->isphony != 0 ? ",fontname=\"Courier\"" : ",fontname=\"Times-Roman\"";
    line += node->istarget != 0 ? ",fontcolor=red" : ",fontcolor=blue";
    if (node->isexecuted != 0)
        line += ",color=lightyellow,style=filled";
}

// The layer attribute and the one colour rule that applies first.
void append_layer_and_colour(std::string &line, const GraphNode_ *node)
{
    if (node->layer != nullptr) {
        if (node->same != nullptr) {
            line += ",layer=\"all\"";
        } else {
            line += ",layer=\"";
            append_quoted(line, node->layer);
            line += '"';
        }
    }
    if (node->isdiff != 0)
        line += ",color=orange";
    else if (node->same != nullptr)
        line += ",color=black";
    else if (equal_text(node->layer, layer_name[0]))
        line += ",color=red";
    else if (equal_text(node->layer, layer_name[1]))
        line += ",color=green";
}

// The node line of a leaf.
void print_leaf(const GraphNode_ *node, int depth, FILE *fp)
{
    static std::string line;
    line.clear();
    append_tabs(line, depth);
    append_node_id(line, node);
    append_kind_attributes(line, node);
    append_layer_and_colour(line, node);
    line += "];\n";
    write_text(line, fp);
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

// Writes the tree.
struct TreePrinter {
    FILE *fp;
    void open(const GraphNode_ *node, int depth) { print_SubGraphHeader(depth, node->name, fp); }
    void leaf(const GraphNode_ *node, int depth) { print_leaf(node, depth, fp); }
    void close(const GraphNode_ *, int depth) { print_SubGraphFooter(depth, fp); }
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

void append_quoted(std::string &line, const char *text)
{
    for (;;) {
        const char *plain_end = text;
        while (*plain_end != 0 && *plain_end != '"' && *plain_end != '\\')
            ++plain_end;
        line.append(text, static_cast<std::size_t>(plain_end - text));
        text = plain_end;
        if (*text == 0)
            return;
        line += '\\';
        line += *text++;
    }
}

void write_text(const std::string &text, FILE *fp)
{
    // The DOT file is written by this one thread: the stream's lock is
    // not needed for the millions of lines of a large graph.
#ifdef __GLIBC__
    fwrite_unlocked(text.data(), 1, text.size(), fp);
#else
    std::fwrite(text.data(), 1, text.size(), fp);
#endif
}

void append_node_id(std::string &line, const GraphNode_ *node)
{
    line += '"';
    if (node->same == nullptr) {
        append_quoted(line, node->name);
    } else {
        // Both members of a SAME pair go by one id: subject, blank, object.
        const bool dup = node->isdup != 0;
        append_quoted(line, dup ? node->same->name : node->name);
        line += ' ';
        append_quoted(line, dup ? node->name : node->same->name);
    }
    line += '"';
}

void print_file_header(FILE *fp)
{
    std::fputs("digraph G {\n", fp);
    std::fputs("\tsize = \"10,7.5\"; ratio = fill; rotate = 90\n", fp);
}

void print_file_footer(FILE *fp)
{
    std::fputs("}\n", fp);
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
    static std::string lines;
    lines.clear();
    append_tabs(lines, depth);
    lines += "subgraph \"cluster_";
    append_quoted(lines, name);
    lines += "\" {\n";
    append_tabs(lines, depth + 1);
    lines += "label=\"";
    append_quoted(lines, cluster_label(name));
    lines += "\";\n";
    write_text(lines, fp);
}

void print_SubGraphFooter(int depth, FILE *fp)
{
    static std::string line;
    line.clear();
    append_tabs(line, depth);
    line += "}\n";
    write_text(line, fp);
}
