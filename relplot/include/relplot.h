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
#include <vector>

#include "hash.h"

class DotOutput;
class Pool;

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
/// node's name, label and layer live with it in the node storage; the links
/// `next`, `children`, `same` and `parent` are borrowed.  The small fields
/// come first and together, so that a node takes 72 bytes.
struct GraphNode_ {
    NodeType_ type;            ///< kind of the node
    std::uint8_t isphony;      ///< set by PHONY
    std::uint8_t istarget;     ///< set by TARGET
    std::uint8_t isgoal;       ///< set by GOAL
    std::uint32_t namehash;    ///< name_hash of `name`, computed once for the registry
    std::uint8_t isexecuted;   ///< set by EXECUTED
    std::int8_t dblcln;        ///< number given by DBLCLN; -1 when none
    std::uint8_t filename_owned; ///< 1 when `filename` is the node's own copy, not part of `name`
    std::uint8_t walkmark;     ///< marks of the checks and the walk of the tree (WalkMark_)
    std::uint8_t isdup;        ///< object of a SAME record: shown through its partner
    std::uint8_t isdiff;       ///< set by DIFF
    char *name;                ///< how RSF records name it; the registry key
    char *filename;            ///< label text: borrowed from `name`, or the node's own (see filename_owned)
    char *layer;               ///< layer set by LAYER ("all" after a second one); null = none
    GraphNode_ *next;          ///< next sibling in the parent's child list
    GraphNode_ *children;      ///< first child: the one most recently contained
    GraphNode_ *same;          ///< partner of a SAME pair, set on both members
    GraphNode_ *parent;        ///< the directory that contains this node, or null
};

/// Bits of GraphNode_::walkmark.
enum WalkMark_ : std::uint8_t {
    WM_ON_PATH = 1, ///< containment check: on the ancestor path being followed
    WM_CHECKED = 2, ///< containment check: ancestors known to end without a loop
    WM_OPEN = 4,    ///< tree check: the node's cluster is open on the walk
    WM_DRAWN = 8,   ///< the tree's walk wrote the node (or its pair) into the DOT file
};

/// An INVOKE or DEPENDON relation; the edge list owns its edges (in its storage).
struct GraphEdge_ {
    EdgeType_ type;            ///< INVOKE or DEPENDON
    GraphNode_ *target;        ///< the node of the record's subject
    GraphNode_ *source;        ///< the node of the record's object
    GraphEdge_ *next;          ///< next edge of the list
};

// ---- the process-wide state of a conversion (defined in graph.cpp) ----

/// The node registry, keyed by node name; owns every node.
extern hash_table graphNodes;
/// The edge list, most recently added edge first.
extern GraphEdge_ *edge_head;
/// Name given by ROOT: where the cluster output starts ("/" when null).
extern char *root_directory;
/// The names given by LAYERNAME for index 0 and 1.
extern char *layer_name[2];
/// Every node that get_graphNode or insertGraphNode registered, in the
/// order they were made: the input's order, and the nodes' order in memory.
extern std::vector<GraphNode_ *> nodes_in_input_order;
/// A node found in the registry lately, with its name_hash.
struct RecentNode {
    std::uint32_t namehash;
    GraphNode_ *node;
};
/// Entries of recent_nodes.
constexpr std::size_t recent_slots = 4096;
/// The nodes found most recently, by the low bits of their name's hash: RSF
/// names the same file or directory in records close together, and such a
/// node is found here without a search of the (much larger) registry.  The
/// hash beside the node lets an entry for another name be passed over
/// without reading that node.  Forgotten with the registry.
extern RecentNode recent_nodes[recent_slots];
/// A name handed to prefetch_graphNodes, with what its lookup needs.
struct NameAhead {
    const char *name;
    std::uint32_t length;
    std::uint32_t namehash;
};
/// The names of the latest prefetch_graphNodes call, in the order given:
/// get_graphNode takes a name's length and hash from here (found by the
/// name's address, from the entry after the last one taken) instead of
/// measuring and hashing the name again.  Forgotten with the registry.
struct LookAhead {
    NameAhead names[128];
    std::size_t count; ///< entries of `names` in use
    std::size_t next;  ///< where the search for the next lookup's name starts
};
extern LookAhead look_ahead;
/// True once a SAME record has paired two nodes.
extern bool same_pairs_made;
/// The storage of the nodes, with their names, labels and layers.
extern Pool node_storage;
/// The storage of the edges.
extern Pool edge_storage;
/// The DOT text on its way to the output stream.
extern DotOutput dot_text;

// ---- graph model and node registry (graph.cpp) ----

/// Shifted-sum hash of a node's name: each character shifted left by the low
/// 4 bits of the next one, summed in unsigned 32 bits.
unsigned long graph_hash_1(void const *key);
/// As graph_hash_1 with the low 3 bits of the next character.
unsigned long graph_hash_2(void const *key);
/// strcmp of the two nodes' names.
int graph_hash_cmp(void const *x, void const *y);
/// The hash of the `length` bytes at `name` that the registry places nodes
/// by: unlike graph_hash_1/2 it spreads names such as f123456 well.
std::uint32_t name_hash(const char *name, std::size_t length);

/// Sets up the empty registry with room for `size` names.
void init_graphNodes(unsigned long size);
/// The registry's starting size for an RSF input of `input_bytes` bytes (0
/// when not known): 500 names, or room for as many as a large input holds.
unsigned long registry_size_for(std::size_t input_bytes);
/// A new, unregistered node of kind `nt` named `nm`.
GraphNode_ *GraphNode(NodeType_ nt, const char *nm);
/// A new edge, not yet linked into the list.
GraphEdge_ *GraphEdge(EdgeType_ et, GraphNode_ *t, GraphNode_ *s);
/// The node named `name`, registered as a new node of kind `nt` when absent.
GraphNode_ *get_graphNode(NodeType_ nt, const char *name);
/// The node named `name`, or null.
GraphNode_ *find_graphNode(const char *name);
/// Starts loading the registry's slots that looking up the `count` names
/// will read, so that lookups made a little later find them in the
/// processor's cache, and keeps the first 128 names with their hashes in
/// look_ahead.  The names must stay as they are until the next call: a
/// lookup of a name at a kept address takes its kept hash.  Changes no node.
void prefetch_graphNodes(const char *const *names, std::size_t count);
/// Registers `node`, whose name must not be registered yet.
void insertGraphNode(GraphNode_ *node);
/// Gives `node` its own copy of `text` as its label (replacing any earlier one).
void set_filename(GraphNode_ *node, const char *text);
/// Gives `node` its own copy of `text` as its layer (replacing any earlier one).
void set_layer(GraphNode_ *node, const char *text);
/// Releases one node: its record, name, label and layer go back to the node
/// storage at once when they are the latest storage taken from it (a node
/// made and dropped), else with the storage in free_hashtable.
void free_graphNode(GraphNode_ *n);
/// Releases every node (the node storage) and the registry's storage.
void free_hashtable();
/// Releases every edge; edge_head becomes null.
void free_edges();
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
/// The closing line; the DOT text goes to `fp` now.
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
/// The two opening lines of a cluster.
void print_SubGraphHeader(int depth, const char *name, FILE *fp);
/// The closing line of a cluster.
void print_SubGraphFooter(int depth, FILE *fp);
/// Says on standard error how many file nodes print_components left out
/// (no CONTAIN chain joins them to the start node) and names the first few;
/// says nothing when it drew them all.
void report_files_not_drawn();

// ---- DOT writer for edges (dot_edges.cpp) ----

/// All edge lines, in list order.
void print_all_edges(FILE *fp);
/// One edge line, or nothing when the edge is left out.
void print_dependency(const GraphEdge_ *e, FILE *fp);
/// 1 when the edge is left out because of SAME pairs, 0 otherwise.
int isduplicated(const GraphEdge_ *e);

// ---- conversion driver and relation interpreter (convert.cpp, main.cpp) ----

/// Applies one record (relation, subject, object) to the graph.
void analysis(const char *op, const char *opa1, const char *opa2);
/// Converts the RSF file `infilenm` into the DOT file `outfilenm`; 0 when done.
int convert_to_format(const char *infilenm, const char *outfilenm);
/// The conversion between two open streams: sets up the registry, applies
/// every record of `in`, checks the graph and writes the DOT text to `out`
/// (errors of writing stay in `out`).  The graph stays for release_graph().
/// A read error of `in` (named `infilenm` in the message) ends the run
/// before anything is written: the graph would be cut short.
void convert_stream(FILE *in, FILE *out, const char *infilenm = "the input");
/// Prints the usage text.
void print_usage();
