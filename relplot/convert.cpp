// The conversion driver and the relation interpreter: reads the RSF file
// a record at a time, applies each record to the graph, then writes the
// DOT file from the finished graph and releases everything.
#include "relplot.h"

#include "record_reader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

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
}

void relate_diff(const char *subject, const char *) { get_graphNode(NT_DIR, subject)->isdiff = 1; }

// The relations in the order they are tried.
struct Relation {
    const char *name;
    void (*apply)(const char *subject, const char *object);
};

const Relation relations[] = {
    {"FILE", relate_file},         {"PHONY", relate_phony},     {"TARGET", relate_target},
    {"GOAL", relate_goal},         {"EXECUTED", relate_executed}, {"DBLCLN", relate_dblcln},
    {"CONTAIN", relate_contain},   {"INVOKE", relate_invoke},   {"DEPENDON", relate_dependon},
    {"ROOT", relate_root},         {"LAYERNAME", relate_layername}, {"LAYER", relate_layer},
    {"SAME", relate_same},         {"DIFF", relate_diff},
};

// The registry's starting size: 500 names, or for a large file one name per
// 64 bytes, so that a big graph is built without a rebuild of the registry
// on the way (every rebuild visits every node stored so far).  A name takes
// a record of its own in nearly every RSF file, and real records are longer
// than 64 bytes; should the file hold more names, the registry grows as usual.
unsigned long registry_size(FILE *in)
{
    constexpr unsigned long small = 500;
    struct stat info {};
    const int fd = fileno(in);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return small;
    const auto by_size = static_cast<unsigned long>(info.st_size) / 64;
    return by_size > small ? by_size : small;
}

// True for the relations whose object names a node too (the others give
// a label, a layer, a number or nothing there).
bool relates_two_nodes(const char *op)
{
    switch (op[0]) {
    case 'C': return std::strcmp(op, "CONTAIN") == 0;
    case 'D': return std::strcmp(op, "DEPENDON") == 0;
    case 'I': return std::strcmp(op, "INVOKE") == 0;
    case 'S': return std::strcmp(op, "SAME") == 0;
    default: return false;
    }
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
    for (const Relation &relation : relations) {
        // The first letter rules out most names without a call.
        if (op[0] == relation.name[0] && std::strcmp(op, relation.name) == 0) {
            relation.apply(opa1, opa2);
            return;
        }
    }
    refuse("ERROR: unrecognized relation: %s\n", op);
}

void convert_stream(FILE *in, FILE *out)
{
    init_graphNodes(registry_size(in));

    RecordReader reader(in);
    RsfRecord batch[64];
    std::size_t record = 0;
    while (const std::size_t count = reader.next_records(batch, std::size(batch))) {
        // The names of the records ahead are looked for in the registry
        // while the records before them are applied.
        const char *names[2 * std::size(batch)];
        std::size_t named = 0;
        for (std::size_t i = 0; i < count; ++i) {
            names[named++] = batch[i].opa1;
            if (relates_two_nodes(batch[i].op))
                names[named++] = batch[i].opa2;
        }
        prefetch_graphNodes(names, named);
        for (std::size_t i = 0; i < count; ++i) {
            const RsfRecord &r = batch[i];
            ++record;
            // The graph takes names as C strings: a NUL would cut a token
            // short and could make two different names one node.
            if (r.holds_nul)
                refuse("ERROR: record %zu holds a NUL byte inside a token\n", record);
            analysis(r.op, r.opa1, r.opa2);
        }
    }

    if (const GraphNode_ *loop = find_containment_loop())
        refuse("ERROR: containment loop through %s\n", loop->name);
    check_components();

    print_file_header(out);
    print_components(out);
    print_all_edges(out);
    print_file_footer(out);
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
    const auto out_buffer = std::make_unique<char[]>(1 << 20);
    std::setvbuf(out, out_buffer.get(), _IOFBF, 1 << 20);

    convert_stream(in, out);
    check_written(std::fflush(out) == 0 && std::ferror(out) == 0, outfilenm);

    release_graph();
    std::fclose(in);
    check_written(std::fclose(out) == 0, outfilenm);
    return 0;
}
