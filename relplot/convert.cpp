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
#include <iterator>
#include <memory>
#include <span>
#include <string>
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

GraphNode_ *file_node(NodeName subject)
{
    GraphNode_ *node = get_graphNode(NT_FILE, subject);
    node->type = NT_FILE;
    return node;
}

// The object is the copy of the label that prepare_record made.
void relate_file(NodeName subject, NodeName object)
{
    if (*object.text == 0)
        refuse("ERROR: FILE record for %s gives no file name\n", subject.text);
    // A later FILE record for the node replaces the label of an earlier one.
    adopt_filename(file_node(subject), object.text);
}

void relate_phony(NodeName subject, NodeName) { file_node(subject)->isphony = 1; }
void relate_target(NodeName subject, NodeName) { file_node(subject)->istarget = 1; }
void relate_goal(NodeName subject, NodeName) { file_node(subject)->isgoal = 1; }
void relate_executed(NodeName subject, NodeName) { file_node(subject)->isexecuted = 1; }

void relate_dblcln(NodeName subject, NodeName object)
{
    // The low 8 bits of the number, as the signed 8-bit field keeps them.
    const auto low = static_cast<std::uint8_t>(atoi_value(object.text) & 0xff);
    file_node(subject)->dblcln = static_cast<std::int8_t>(low);
}

void relate_contain(NodeName subject, NodeName object)
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

void add_edge(EdgeType_ type, NodeName subject, NodeName object)
{
    GraphNode_ *target = get_graphNode(NT_DIR, subject);
    GraphNode_ *source = get_graphNode(NT_DIR, object);
    GraphEdge_ *edge = GraphEdge(type, target, source);
    edge->next = edge_head;
    edge_head = edge;
}

void relate_invoke(NodeName subject, NodeName object) { add_edge(ET_INVOKE, subject, object); }
void relate_dependon(NodeName subject, NodeName object) { add_edge(ET_DEPENDON, subject, object); }

void relate_root(NodeName subject, NodeName)
{
    std::free(root_directory);
    root_directory = xstrdup(subject.text);
}

void relate_layername(NodeName subject, NodeName object)
{
    const int index = atoi_value(object.text);
    if (index != 0 && index != 1)
        refuse("ERROR: LAYERNAME index %s for %s is neither 0 nor 1\n", object.text, subject.text);
    std::free(layer_name[index]);
    layer_name[index] = xstrdup(subject.text);
}

void relate_layer(NodeName subject, NodeName object)
{
    GraphNode_ *node = get_graphNode(NT_DIR, subject);
    set_layer(node, node->layer == nullptr ? object.text : "all");
}

// True once a SAME record has paired two nodes in this conversion.
bool paired = false;

void relate_same(NodeName subject, NodeName object)
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
    paired = true;
}

void relate_diff(NodeName subject, NodeName) { get_graphNode(NT_DIR, subject)->isdiff = 1; }

// What the object of a relation is.
enum class Object {
    other, ///< a layer, an index, a number or nothing
    node,  ///< the name of a node
    label, ///< a node's label, which the graph keeps
};

// The relations the RSF format knows.
struct Relation {
    std::string_view name;
    void (*apply)(NodeName subject, NodeName object);
    Object object;
};

constexpr Relation relations[] = {
    {"FILE", relate_file, Object::label},
    {"PHONY", relate_phony, Object::other},
    {"TARGET", relate_target, Object::other},
    {"GOAL", relate_goal, Object::other},
    {"EXECUTED", relate_executed, Object::other},
    {"DBLCLN", relate_dblcln, Object::other},
    {"CONTAIN", relate_contain, Object::node},
    {"INVOKE", relate_invoke, Object::node},
    {"DEPENDON", relate_dependon, Object::node},
    {"ROOT", relate_root, Object::other},
    {"LAYERNAME", relate_layername, Object::other},
    {"LAYER", relate_layer, Object::other},
    {"SAME", relate_same, Object::node},
    {"DIFF", relate_diff, Object::other},
};

constexpr int relation_count = static_cast<int>(std::size(relations));

// For each first byte of a name, the relations whose names begin with it
// (at most three do), ended by -1: a record's relation is compared with
// those alone.
struct FirstLetterIndex {
    static constexpr int most = 3;
    std::int8_t relations[256][most + 1];
};

constexpr FirstLetterIndex index_by_first_letter()
{
    FirstLetterIndex index{};
    for (auto &candidates : index.relations)
        candidates[0] = -1;
    for (int r = 0; r < relation_count; ++r) {
        std::int8_t *candidates = index.relations[static_cast<unsigned char>(relations[r].name[0])];
        int n = 0;
        while (candidates[n] >= 0)
            ++n;
        if (n == FirstLetterIndex::most)
            throw "more relations share a first letter than the index holds";
        candidates[n] = static_cast<std::int8_t>(r);
        candidates[n + 1] = -1;
    }
    return index;
}

constexpr FirstLetterIndex by_first_letter = index_by_first_letter();

// The relation named `op`, `length` bytes long, or null.
const Relation *find_relation(const char *op, std::size_t length)
{
    for (const std::int8_t *r = by_first_letter.relations[static_cast<unsigned char>(op[0])]; *r >= 0; ++r) {
        const std::string_view name = relations[*r].name;
        if (name.size() == length && same_bytes(op, name.data(), length))
            return &relations[*r];
    }
    return nullptr;
}

// What the reader works out for each record as it splits it (on its own
// thread, for a large file): the hashes of the operands, the relation, and
// for a FILE record the lasting copy of its label.
void prepare_record(RsfRecord &record)
{
    record.hash1 = name_hash(record.opa1, record.opa1_length);
    record.hash2 = name_hash(record.opa2, record.opa2_length);
    const Relation *relation = find_relation(record.op, record.op_length);
    record.relation = relation != nullptr ? static_cast<int>(relation - relations) : -1;
    // A label outlives the chunk of input it came in.
    if (relation != nullptr && relation->object == Object::label && record.opa2_length > 0)
        record.kept2 = copy_label(record.opa2, record.opa2_length);
}

// Applies one prepared record to the graph.
void apply_record(const RsfRecord &record)
{
    if (record.relation < 0)
        refuse("ERROR: unrecognized relation: %s\n", record.op);
    const char *object = record.kept2 != nullptr ? record.kept2 : record.opa2;
    relations[record.relation].apply({record.opa1, record.hash1, name_length(record.opa1_length)},
                                     {object, record.hash2, name_length(record.opa2_length)});
}

// Bytes of a regular file, or 0 for any other stream.
std::size_t file_size(FILE *in)
{
    struct stat info {};
    const int fd = fileno(in);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return static_cast<std::size_t>(info.st_size);
}

// The registry's starting size: 500 names, or for a large file one name per
// 64 bytes, so that a big graph is built without a rebuild of the registry
// on the way (every rebuild visits every node stored so far).  A name takes
// a record of its own in nearly every RSF file, and real records are longer
// than 64 bytes; should the file hold more names, the registry grows as usual.
// Beyond 16M names (a file of 1 GB) it grows as usual too, so that a huge
// file of few names does not cost a huge registry.
unsigned long registry_size(std::size_t input_size)
{
    constexpr unsigned long small = 500;
    constexpr unsigned long large = 1UL << 24;
    const auto by_size = static_cast<unsigned long>(input_size / 64);
    return std::clamp(by_size, small, large);
}

// A large file is read and split on a second thread while the graph is
// built from the records before; a small one is not worth a thread.
bool read_in_background(std::size_t input_size)
{
    return input_size >= (std::size_t{8} << 20);
}

// Bytes read at a time.  The reading thread keeps four chunks (and their
// records) in play, so its chunks stay moderate; read inline, a chunk is
// small enough to cost little for the many tiny inputs of a fuzzing run.
constexpr std::size_t background_block = 1 << 18;
constexpr std::size_t inline_block = 1 << 16;

// Records whose names are looked for ahead of their use.
constexpr std::size_t lookahead = 64;

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
    RsfRecord record{};
    record.op = op;
    record.op_length = std::strlen(op);
    record.opa1 = opa1;
    record.opa2 = opa2;
    record.opa1_length = std::strlen(opa1);
    record.opa2_length = std::strlen(opa2);
    prepare_record(record);
    apply_record(record);
}

bool convert_stream(FILE *in, FILE *out, const char *infilenm)
{
    const std::size_t input_size = file_size(in);
    init_graphNodes(registry_size(input_size));
    paired = false;

    const bool background = read_in_background(input_size);
    RecordReader reader(in, background ? background_block : inline_block, background, prepare_record,
                        prepare_graph_storage);
    std::size_t record = 0;
    for (std::span<const RsfRecord> records; !(records = reader.next_records()).empty();) {
        for (std::size_t first = 0; first < records.size(); first += lookahead) {
            const auto batch = records.subspan(first, std::min(lookahead, records.size() - first));
            // The names of these records are looked for in the registry
            // while the records before them are applied.
            std::uint32_t hashes[2 * lookahead];
            std::size_t named = 0;
            for (const RsfRecord &r : batch) {
                hashes[named++] = r.hash1;
                if (r.relation >= 0 && relations[r.relation].object == Object::node)
                    hashes[named++] = r.hash2;
            }
            prefetch_graphNodes(hashes, named);
            for (const RsfRecord &r : batch) {
                ++record;
                // The graph takes names as C strings: a NUL would cut a
                // token short and could make two different names one node.
                if (r.holds_nul)
                    refuse("ERROR: record %zu holds a NUL byte inside a token\n", record);
                apply_record(r);
            }
        }
    }
    // A read error (a folder given as the input, an I/O error) is no end of
    // the input.
    if (std::ferror(in) != 0)
        refuse("Error: can not read %s !!!\n", infilenm);

    if (const GraphNode_ *loop = find_containment_loop())
        refuse("ERROR: containment loop through %s\n", loop->name);
    // Without SAME pairs the walk follows the containment tree alone, just
    // found free of loops: it cannot come back into a cluster it is in.
    if (paired)
        check_components();

    return print_dot_file(out);
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

    const bool handed_over = convert_stream(in, out, infilenm);
    check_written(handed_over && std::fflush(out) == 0 && std::ferror(out) == 0, outfilenm);

    release_graph();
    std::fclose(in);
    check_written(std::fclose(out) == 0, outfilenm);
    return 0;
}
