// relplot: converts an RSF relation file into a Graphviz DOT file.
//
// The relation interpreter builds an in-memory graph: directory and file
// nodes, found by name in the registry `graphNodes`, linked into a
// containment tree by CONTAIN, and a list of INVOKE/DEPENDON edges.  The DOT
// writers then walk that graph: the directory tree as nested clusters with a
// node line per leaf, then one line per edge.  Lists are built by putting
// each new entry first, and the output follows that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "hash.h"
#include "words.h"

class DotOutput;

/// Kind of a node.
enum NodeType_ : std::uint8_t {
    NT_DIR = 0,  ///< a directory, or a node first met outside the file-kind relations
    NT_FILE = 1, ///< a file
};

/// Kind of an edge.
enum EdgeType_ {
    ET_INVOKE = 0,
    ET_DEPENDON = 1,
};

/// A directory or file of the graph.  The registry owns every node, and the
/// node's name, label and layer live with it in the registry's pool; the
/// links `next`, `children`, `same` and `parent` are borrowed.  The small
/// fields come first and together, so that a node takes 72 bytes.
struct GraphNode_ {
    NodeType_ type;            ///< kind of the node
    std::uint8_t isphony;      ///< set by PHONY
    std::uint8_t istarget;     ///< set by TARGET
    std::uint8_t isgoal;       ///< set by GOAL
    std::uint32_t namehash;    ///< spread hash of `name`, computed once for the registry
    std::uint8_t isexecuted;   ///< set by EXECUTED
    std::int8_t dblcln;        ///< number given by DBLCLN; -1 when none
    std::uint8_t filename_owned; ///< 1 when `filename` is the node's own copy, not part of `name`
    std::uint8_t walkmark;     ///< scratch marks of the checks that run before writing
    std::uint8_t isdup;        ///< object of a SAME record: shown through its partner
    std::uint8_t isdiff;       ///< set by DIFF
    std::uint16_t namelength;  ///< length of `name`, or long_name_length for any longer
    char *name;                ///< how RSF records name it; the registry key
    char *filename;            ///< label text: borrowed from `name`, or the node's own (see filename_owned)
    char *layer;               ///< layer set by LAYER ("all" after a second one); null = none
    GraphNode_ *next;          ///< next sibling in the parent's child list
    GraphNode_ *children;      ///< first child: the one most recently contained
    GraphNode_ *same;          ///< partner of a SAME pair, set on both members
    GraphNode_ *parent;        ///< the directory that contains this node, or null
};

/// GraphNode_::namelength of a name of this length or longer.
constexpr std::uint16_t long_name_length = 0xffff;

/// Bits of GraphNode_::walkmark.
enum WalkMark_ : std::uint8_t {
    WM_ON_PATH = 1, ///< containment check: on the ancestor path being followed
    WM_CHECKED = 2, ///< containment check: ancestors known to end without a loop
    WM_OPEN = 4,    ///< tree check: the node's cluster is open on the walk
};

/// An INVOKE or DEPENDON relation; the edge list owns its edges (in its pool).
struct GraphEdge_ {
    EdgeType_ type;            ///< INVOKE or DEPENDON
    GraphNode_ *target;        ///< the node of the record's subject
    GraphNode_ *source;        ///< the node of the record's object
    GraphEdge_ *next;          ///< next edge of the list
};

// ---- process-wide state of a conversion ----

/// The node registry, keyed by node name; owns every node.
extern hash_table graphNodes;
/// The edge list, most recently added edge first.
extern GraphEdge_ *edge_head;
/// Name given by ROOT: where the cluster output starts ("/" when null).
extern char *root_directory;
/// The names given by LAYERNAME for index 0 and 1.
extern char *layer_name[2];

// ---- graph model and node registry (graph.cpp) ----

/// Shifted-sum hash of a node's name: each character shifted left by the low
/// 4 bits of the next one, summed in unsigned 32 bits.
unsigned long graph_hash_1(void const *key);
/// As graph_hash_1 with the low 3 bits of the next character.
unsigned long graph_hash_2(void const *key);
/// strcmp of the two nodes' names.
int graph_hash_cmp(void const *x, void const *y);
/// The registry's primary hash: the node's `namehash`, which spreads names well.
unsigned long registry_hash_1(void const *key);
/// The registry's secondary hash, mixed from `namehash`.
unsigned long registry_hash_2(void const *key);
/// The registry's equality: `namehash` first, then graph_hash_cmp.
int registry_cmp(void const *x, void const *y);
/// The spread hash of a name that GraphNode stores in `namehash`.
std::uint32_t name_hash(const char *name);
/// The same of the `length` bytes at `name`.
std::uint32_t name_hash(const char *name, std::size_t length);

/// Sets up the empty registry with room for `size` names.
void init_graphNodes(unsigned long size);
/// A new, unregistered node of kind `nt` named `nm`.
GraphNode_ *GraphNode(NodeType_ nt, const char *nm);
/// A new edge, not yet linked into the list.
GraphEdge_ *GraphEdge(EdgeType_ et, GraphNode_ *t, GraphNode_ *s);
/// The node named `name`, registered as a new node of kind `nt` when absent.
GraphNode_ *get_graphNode(NodeType_ nt, const char *name);
/// The node named `name`, or null.
GraphNode_ *find_graphNode(const char *name);
/// True when the C strings `a` and `b` are equal.  Names are short: a plain
/// loop beats a library call.
inline bool same_name(const char *a, const char *b)
{
    for (; *a == *b; ++a, ++b) {
        if (*a == 0)
            return true;
    }
    return false;
}
/// True when the `length` bytes at `a` and at `b` are the same: eight at a
/// time, the last one to seven as one or two loads that stay inside them.
[[gnu::always_inline]] inline bool same_bytes(const char *a, const char *b, std::size_t length)
{
    for (; length >= 8; a += 8, b += 8, length -= 8) {
        if (load_8(a) != load_8(b))
            return false;
    }
    if (length >= 4)
        return ((load_4(a) ^ load_4(b)) | (load_4(a + length - 4) ^ load_4(b + length - 4))) == 0;
    // One to three bytes: the first, middle and last cover them all.
    return length == 0 || (a[0] == b[0] && a[length / 2] == b[length / 2] && a[length - 1] == b[length - 1]);
}
/// A name with its name_hash and length, for lookups that know them
/// already.  Two registers wide, so that it is passed in registers.
struct NodeName {
    const char *text;
    std::uint32_t hash;   ///< name_hash(text)
    std::uint32_t length; ///< strlen(text); long_name_length for any longer name
};
/// The NodeName::length of a name of `length` bytes.
inline std::uint16_t name_length(std::size_t length)
{
    return length < long_name_length ? static_cast<std::uint16_t>(length) : long_name_length;
}
/// strlen(node->name), known from the node itself unless the name is long.
inline std::size_t node_name_length(const GraphNode_ *node)
{
    return node->namelength < long_name_length ? node->namelength : std::strlen(node->name);
}
/// As get_graphNode, for a name whose hash is known.
GraphNode_ *get_graphNode(NodeType_ nt, NodeName name);
/// Starts loading what looking up the names of the `count` hashes (at most
/// 256) will read from the registry, so that lookups made a little later
/// find it in the processor's cache.  Changes nothing.
void prefetch_graphNodes(const std::uint32_t *hashes, std::size_t count);
/// Registers `node`, whose name must not be registered yet.
void insertGraphNode(GraphNode_ *node);
/// Gives `node` its own copy of `text` as its label (replacing any earlier one).
void set_filename(GraphNode_ *node, const char *text);
/// A copy of the `length` bytes at `text` in the registry's label storage,
/// for adopt_filename.  Touches no other storage: the reading thread makes
/// the copies while the main thread builds the graph (which must then not
/// call set_filename or free_graphNode).
const char *copy_label(const char *text, std::size_t length);
/// Gives `node` the label `label`, made by copy_label (replacing any
/// earlier one): set_filename without the copy.
void adopt_filename(GraphNode_ *node, const char *label);
/// For the reading thread: gets node and edge storage ready ahead of the
/// main thread's need, with its memory faulted in, so that building the
/// graph does not stop for page faults.  Touches no other storage.
void prepare_graph_storage();
/// Gives `node` its own copy of `text` as its layer (replacing any earlier one).
void set_layer(GraphNode_ *node, const char *text);
/// Releases one node: its record, name, label and layer go back to the
/// registry's pool at once when they are the latest storage taken from it
/// (a node made and dropped), else with the pool in free_hashtable.
void free_graphNode(GraphNode_ *n);
/// Releases every node (the registry's pool) and the registry's storage.
void free_hashtable();
/// Bytes of node and label storage in use in the registry's pools.
std::size_t graph_pool_used();
/// Releases every edge; edge_head becomes null.
void free_edges();
/// Edges made since the edges were last released.
std::size_t graph_edge_count();
/// A node of a containment loop (a node that is its own ancestor), or null.
GraphNode_ *find_containment_loop();
// xmalloc, the allocation that never returns null, is declared in hash.h.
/// A new owned copy of `src`.
char *xstrdup(const char *src);

/// Flushes standard output (and `also`, when given), then ends the process
/// as abort() does, so that every message printed so far is kept.  It is the
/// one place where a conversion ends abnormally.
[[noreturn]] void abnormal_end(FILE *also = nullptr);
/// What abnormal_end calls once the messages are out: std::abort in the
/// program.  A harness that runs many conversions in one process (the
/// fuzzer) puts a function here that throws, then calls release_graph().
/// Should the hook return, the process is aborted all the same.
extern void (*abnormal_end_hook)();
/// Releases the graph and every process-wide value of a conversion (nodes
/// and registry, edges, root name, layer names), also half-built ones.
void release_graph();

// ---- DOT writer for clusters and nodes (dot_nodes.cpp) ----

/// Puts a node's id with its quotes: its name, or both names of a SAME
/// pair (subject first), as node lines and edge ends name it.
void put_node_id(DotOutput &out, const GraphNode_ *node);
/// The two frame lines.
void print_file_header(FILE *fp);
/// The closing line.
void print_file_footer(FILE *fp);
/// The node at which the cluster output starts, or null.
GraphNode_ *start_node();
/// Refuses, before anything is written, a tree whose walk would never end
/// (a cluster that SAME partners lead back into).
void check_components();
/// The whole tree of clusters and node lines from the start node, at depth 1.
void print_components(FILE *fp);
/// `node` and its following siblings, with their subtrees, at `depth`.
void print_GraphNode(GraphNode_ *node, int depth, FILE *fp);
/// The bytes print_GraphNode writes for the same arguments, found without
/// writing them.  Reads the graph only.
std::size_t GraphNode_size(GraphNode_ *node, int depth);
/// The two opening lines of a cluster.
void print_SubGraphHeader(int depth, const char *name, FILE *fp);
/// The closing line of a cluster.
void print_SubGraphFooter(int depth, FILE *fp);

// ---- DOT writer for edges (dot_edges.cpp) ----

/// All edge lines, in list order.
void print_all_edges(FILE *fp);
/// One edge line, or nothing when the edge is left out.
void print_dependency(const GraphEdge_ *e, FILE *fp);
/// 1 when the edge is left out because of SAME pairs, 0 otherwise.
int isduplicated(const GraphEdge_ *e);
/// All edge lines put into `out`, up to the first edge whose ends' layers
/// conflict: that edge is returned (its line put as far as the conflict),
/// or null when there is none.
const GraphEdge_ *put_edges(DotOutput &out);
/// The message of a layer conflict, and the abnormal end (flushing `fp`).
[[noreturn]] void report_layer_conflict(FILE *fp);

// ---- the DOT file as a whole (dot_file.cpp) ----

/// Frame, tree and edges of the finished graph.  A large graph bound for a
/// regular file is written by two threads: the edges go straight to their
/// place behind the tree while the tree is written.  False when text of
/// that thread could not be written; errors of `fp` itself stay in `fp`.
bool print_dot_file(FILE *fp);

// ---- conversion driver and relation interpreter (convert.cpp, main.cpp) ----

/// Applies one record (relation, subject, object) to the graph.
void analysis(const char *op, const char *opa1, const char *opa2);
/// Converts the RSF file `infilenm` into the DOT file `outfilenm`; 0 when done.
int convert_to_format(const char *infilenm, const char *outfilenm);
/// The conversion between two open streams: sets up the registry, applies
/// every record of `in`, checks the graph and writes the DOT text to `out`.
/// The graph stays for release_graph().
/// A read error of `in` (named `infilenm` in the message) ends the run
/// before anything is written: the graph would be cut short.  False when
/// part of the DOT text could not be written (see print_dot_file).
bool convert_stream(FILE *in, FILE *out, const char *infilenm = "the input");
/// Prints the usage text.
void print_usage();
