// The conversion driver and the relation interpreter: reads the RSF file
// a record at a time, applies each record to the graph, then writes the
// DOT file from the finished graph and releases everything.
#include "relplot.h"

#include "record_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace {

// The C library's atoi, without its undefined behaviour on overflow.
int atoi_value(const char *text)
{
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// True when `path` exists and is the very file that `stream` reads, also
// when reached through another name or a link.
bool same_file(const char *path, FILE *stream)
{
    struct stat target {}, open {};
    return stat(path, &target) == 0 && fstat(fileno(stream), &open) == 0 && target.st_dev == open.st_dev &&
           target.st_ino == open.st_ino;
}

// Prints the message of a record the graph cannot take and ends the run.
template <class... Args>
[[noreturn]] void refuse(const char *format, Args... args)
{
    std::printf(format, args...);
    abnormal_end();
}

GraphNode_ *file_node(const char *subject)
{
    GraphNode_ *node = get_graphNode(NT_FILE, subject);
    node->type = NT_FILE;
    return node;
}

void relate_file(const char *subject, const char *object)
{
    if (*object == 0)
        refuse("ERROR: FILE record for %s gives no file name\n", subject);
    // A later FILE record for the node replaces the label of an earlier one.
    set_filename(file_node(subject), object);
}

void relate_phony(const char *subject, const char *) { file_node(subject)->isphony = 1; }
void relate_target(const char *subject, const char *) { file_node(subject)->istarget = 1; }
void relate_goal(const char *subject, const char *) { file_node(subject)->isgoal = 1; }
void relate_executed(const char *subject, const char *) { file_node(subject)->isexecuted = 1; }

void relate_dblcln(const char *subject, const char *object)
{
    // The low 8 bits of the number, as the signed 8-bit field keeps them.
    const auto low = static_cast<std::uint8_t>(atoi_value(object) & 0xff);
    file_node(subject)->dblcln = static_cast<std::int8_t>(low);
}

void relate_contain(const char *subject, const char *object)
{
    GraphNode_ *parent = get_graphNode(NT_DIR, subject);
    GraphNode_ *child = get_graphNode(NT_DIR, object);
    if (child->parent == parent)
        return;
    if (child->parent != nullptr)
        refuse("ERROR: %s is contained in both %s and %s\n", child->name, child->parent->name, parent->name);
    child->parent = parent;
    child->next = parent->children;
    parent->children = child;
}

void add_edge(EdgeType_ type, const char *subject, const char *object)
{
    GraphNode_ *target = get_graphNode(NT_DIR, subject);
    GraphNode_ *source = get_graphNode(NT_DIR, object);
    GraphEdge_ *edge = GraphEdge(type, target, source);
    edge->next = edge_head;
    edge_head = edge;
}

void relate_invoke(const char *subject, const char *object) { add_edge(ET_INVOKE, subject, object); }
void relate_dependon(const char *subject, const char *object) { add_edge(ET_DEPENDON, subject, object); }

void relate_root(const char *subject, const char *)
{
    std::free(root_directory);
    root_directory = xstrdup(subject);
}

void relate_layername(const char *subject, const char *object)
{
    const int index = atoi_value(object);
    if (index != 0 && index != 1)
        refuse("ERROR: LAYERNAME index %s for %s is neither 0 nor 1\n", object, subject);
    std::free(layer_name[index]);
    layer_name[index] = xstrdup(subject);
}

void relate_layer(const char *subject, const char *object)
{
    GraphNode_ *node = get_graphNode(NT_DIR, subject);
    set_layer(node, node->layer == nullptr ? object : "all");
}

void relate_same(const char *subject, const char *object)
{
    GraphNode_ *first = get_graphNode(NT_DIR, subject);
    GraphNode_ *second = get_graphNode(NT_DIR, object);
    if (first == second)
        return;
    // A node with two partners would have its partner's children written
    // under each of them, and pairs nested in such pairs double the output
    // at every level: a few kilobytes of input could ask for terabytes.
    for (const GraphNode_ *node : {first, second}) {
        const GraphNode_ *partner = node == first ? second : first;
        if (node->same != nullptr && node->same != partner)
            refuse("ERROR: %s is already paired with %s\n", node->name, node->same->name);
    }
    second->isdup = 1;
    first->same = second;
    second->same = first;
    same_pairs_made = true;
}

void relate_diff(const char *subject, const char *) { get_graphNode(NT_DIR, subject)->isdiff = 1; }

// The relations the RSF format knows, and what each does to the graph.
struct Relation {
    std::string_view name;
    void (*apply)(const char *subject, const char *object);
};

constexpr Relation relations[] = {
    {"FILE", relate_file},         {"PHONY", relate_phony},   {"TARGET", relate_target},
    {"GOAL", relate_goal},         {"EXECUTED", relate_executed}, {"DBLCLN", relate_dblcln},
    {"CONTAIN", relate_contain},   {"INVOKE", relate_invoke}, {"DEPENDON", relate_dependon},
    {"ROOT", relate_root},         {"LAYERNAME", relate_layername}, {"LAYER", relate_layer},
    {"SAME", relate_same},         {"DIFF", relate_diff},
};

// Bytes of a regular file, or 0 for any other stream.
std::size_t input_size(FILE *in)
{
    struct stat info {};
    const int fd = fileno(in);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return static_cast<std::size_t>(info.st_size);
}

// Records whose names are looked for ahead of their use.
constexpr std::size_t lookahead = 64;

// True for the relations whose object is a node (those of the others are
// a label, a layer, a number or "-").
bool object_is_node(std::string_view op)
{
    return op == "CONTAIN" || op == "DEPENDON" || op == "INVOKE" || op == "SAME";
}

// Hands the node names of `batch` (at most `lookahead` records) to the
// registry, which hashes them and starts loading what their lookups will
// read before the records are applied.
void prefetch_names_of(std::span<const RsfRecord> batch)
{
    const char *names[2 * lookahead];
    std::size_t count = 0;
    for (const RsfRecord &r : batch) {
        names[count++] = r.opa1;
        if (object_is_node(r.op))
            names[count++] = r.opa2;
    }
    prefetch_graphNodes(names, count);
}

// Ends the run when the output did not reach its file.
void check_written(bool written, const char *outfilenm)
{
    if (!written) {
        std::printf("Error: can not write %s !!!\n", outfilenm);
        abnormal_end();
    }
}

} // namespace

void analysis(const char *op, const char *opa1, const char *opa2)
{
    const std::string_view name = op;
    for (const Relation &relation : relations) {
        if (name == relation.name)
            return relation.apply(opa1, opa2);
    }
    refuse("ERROR: unrecognized relation: %s\n", op);
}

void convert_stream(FILE *in, FILE *out, const char *infilenm)
{
    init_graphNodes(registry_size_for(input_size(in)));
    RecordReader reader(in);
    std::size_t record = 0;
    for (auto records = reader.next_records(); !records.empty(); records = reader.next_records()) {
        for (std::size_t first = 0; first < records.size(); first += lookahead) {
            const auto batch = records.subspan(first, std::min(lookahead, records.size() - first));
            prefetch_names_of(batch);
            for (const RsfRecord &r : batch) {
                ++record;
                // The graph takes names as C strings: a NUL would cut a
                // token short and could make two different names one node.
                if (r.holds_nul)
                    refuse("ERROR: record %zu holds a NUL byte inside a token\n", record);
                analysis(r.op, r.opa1, r.opa2);
            }
        }
    }
    // The names looked ahead lie in the reader's storage, which goes now.
    prefetch_graphNodes(nullptr, 0);
    // A read error (a folder given as the input, an I/O error) is no end of
    // the input.
    if (std::ferror(in) != 0)
        refuse("Error: can not read %s !!!\n", infilenm);

    if (const GraphNode_ *loop = find_containment_loop())
        refuse("ERROR: containment loop through %s\n", loop->name);
    // Without SAME pairs the walk follows the containment tree alone, just
    // found free of loops: it cannot come back into a cluster it is in.
    if (same_pairs_made)
        check_components();

    print_file_header(out);
    print_components(out);
    print_all_edges(out);
    print_file_footer(out);
    report_files_not_drawn();
}

int convert_to_format(const char *infilenm, const char *outfilenm)
{
    FILE *in = std::fopen(infilenm, "r");
    if (in == nullptr)
        refuse("Error: can not open %s !!!\n", infilenm);
    // Opening the input itself for writing would truncate it before it is read.
    FILE *out = same_file(outfilenm, in) ? nullptr : std::fopen(outfilenm, "w");
    if (out == nullptr) {
        std::printf("Error: can not open %s !!!\n", outfilenm);
        std::fclose(in);
        abnormal_end();
    }
    convert_stream(in, out, infilenm);
    check_written(std::fflush(out) == 0 && std::ferror(out) == 0, outfilenm);

    release_graph();
    std::fclose(in);
    check_written(std::fclose(out) == 0, outfilenm);
    return 0;
}
