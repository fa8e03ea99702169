// The DOT writer for edges: one line per INVOKE or DEPENDON relation, in
// list order, except the edges that SAME pairs make redundant.
#include "relplot.h"

#include "dot_output.h"

#include <cstring>

namespace {

bool is_all(const char *layer)
{
    return layer != nullptr && std::strcmp(layer, "all") == 0;
}

// The layer an edge end contributes: none for a member of a SAME pair.
const char *end_layer(const GraphNode_ *node)
{
    return node->same != nullptr ? nullptr : node->layer;
}

} // namespace

void print_all_edges(FILE *fp)
{
    for (const GraphEdge_ *e = edge_head; e != nullptr; e = e->next)
        print_dependency(e, fp);
}

int isduplicated(const GraphEdge_ *e)
{
    const GraphNode_ *target = e->target;
    const GraphNode_ *source = e->source;
    if (target->isdup != 0 && source->isdup != 0)
        return 1;
    if (is_all(source->layer) && target->isdup != 0)
        return 1;
    if (is_all(target->layer) && source->isdup != 0)
        return 1;
    return 0;
}

void print_dependency(const GraphEdge_ *e, FILE *fp)
{
    if (isduplicated(e) != 0)
        return;
    DotOutput &out = DotOutput::of(fp);
    out.put('\t');
    put_node_id(out, e->target);
    out.put("->");
    put_node_id(out, e->source);

    const char *t = end_layer(e->target);
    const char *s = end_layer(e->source);
    if (e->target->same != nullptr && e->source->same != nullptr) {
        out.put("[layer=\"all\",");
    } else if (t == nullptr && s == nullptr) {
        out.put('[');
    } else if (t == nullptr || s == nullptr || std::strcmp(t, s) == 0) {
        out.put("[layer=\"");
        out.put_quoted(t != nullptr ? t : s);
        out.put("\",");
    } else {
        // The unfinished line goes out with the message, so the file shows
        // the edge that stopped the run.
        out.flush();
        std::printf("Error: conflict layer information\n");
        abnormal_end(fp);
    }
    out.put(e->type == ET_INVOKE ? "style=dotted];\n" : "style=filled];\n");
}
