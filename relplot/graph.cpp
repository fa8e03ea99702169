// The in-memory graph: node and edge records, the registry that finds a node
// by its name, the release of the whole graph, and the allocation helpers.
#include "relplot.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "dot_output.h"
#include "pool.h"

// ---- the process-wide state of a conversion ----

hash_table graphNodes;
GraphEdge_ *edge_head = nullptr;
char *root_directory = nullptr;
char *layer_name[2] = {nullptr, nullptr};
std::vector<GraphNode_ *> nodes_in_input_order;
RecentNode recent_nodes[recent_slots];
LookAhead look_ahead;
bool same_pairs_made = false;
Pool node_storage;
Pool edge_storage;
DotOutput dot_text;

namespace {

static_assert(alignof(GraphNode_) <= 8 && alignof(GraphEdge_) <= 8, "records must fit the pools' alignment");
static_assert(sizeof(void *) != 8 || sizeof(GraphNode_) == 72, "a node's small fields should pack together");

const GraphNode_ *as_node(void const *key)
{
    return static_cast<const GraphNode_ *>(key);
}

// Sum of each character shifted by the low bits of the character after it.
std::uint32_t shifted_sum(const char *name, unsigned mask)
{
    const auto *c = reinterpret_cast<const unsigned char *>(name);
    std::uint32_t hash = 0;
    for (; c[0] != 0; ++c)
        hash += static_cast<std::uint32_t>(c[0]) << (c[1] & mask);
    return hash;
}

// True when the C strings `a` and `b` are equal.  Names are short: a plain
// loop costs less than a call of the library's comparison.
bool same_name(const char *a, const char *b)
{
    for (; *a == *b; ++a, ++b) {
        if (*a == 0)
            return true;
    }
    return false;
}

// The registry's hashes and equality.  The slot order of the registry never
// reaches the output, so it places names by name_hash (kept in the node):
// graph_hash_1/2 pile up names like f123456.  The step between slots is
// another mix of the same bits, so that names that share their first slot
// mostly differ in their step.
unsigned long registry_hash_1(void const *key)
{
    return as_node(key)->namehash;
}

std::uint32_t registry_step(std::uint32_t hash)
{
    hash ^= hash >> 16;
    hash *= 0x7feb352dU;
    hash ^= hash >> 15;
    return hash;
}

unsigned long registry_hash_2(void const *key)
{
    return registry_step(as_node(key)->namehash);
}

int registry_cmp(void const *x, void const *y)
{
    // Unequal hashes settle most comparisons without reading the names.
    return as_node(x)->namehash == as_node(y)->namehash && same_name(as_node(x)->name, as_node(y)->name) ? 0 : 1;
}

// A new node named by the `length` bytes at `name`, whose name_hash is
// `hash`: the name is stored right after the record, in the same block.
GraphNode_ *make_node(NodeType_ nt, const char *name, std::size_t length, std::uint32_t hash)
{
    void *block = node_storage.take(sizeof(GraphNode_) + length + 1);
    auto *node = new (block) GraphNode_{};
    node->type = nt;
    node->namehash = hash;
    node->name = static_cast<char *>(block) + sizeof(GraphNode_);
    std::memcpy(node->name, name, length);
    node->name[length] = 0;
    node->filename = static_cast<char *>(memrchr(node->name, '/', length));
    if (node->filename != nullptr && node->filename[1] != 0)
        node->filename++;
    node->dblcln = -1;
    return node;
}

// The registry's slot for `name`, whose name_hash is `hash`: the one
// holding its node, or the vacant one where that node belongs.
void **registry_slot(const char *name, std::uint32_t hash)
{
    GraphNode_ key{};
    key.name = const_cast<char *>(name);
    key.namehash = hash;
    return hash_find_slot(&graphNodes, &key);
}

void forget_recent_nodes()
{
    std::fill(std::begin(recent_nodes), std::end(recent_nodes), RecentNode{0, nullptr});
    look_ahead.count = 0;
    look_ahead.next = 0;
}

// The length and hash of `name` from look_ahead when it was looked ahead,
// else measured and computed here.
NameAhead name_ahead(const char *name)
{
    for (std::size_t i = look_ahead.next; i < look_ahead.count; ++i) {
        if (look_ahead.names[i].name == name) {
            look_ahead.next = i + 1;
            return look_ahead.names[i];
        }
    }
    const std::size_t length = std::strlen(name);
    return {name, static_cast<std::uint32_t>(length), name_hash(name, length)};
}

// Registers `node` in `slot`, found vacant by hash_find_slot.
void register_node(GraphNode_ *node, void **slot)
{
    hash_insert_at(&graphNodes, node, slot);
    nodes_in_input_order.push_back(node);
}

// Calls `visit` for every registered node: in input order, unless nodes
// were put in or taken out through the table's own interface.
template <class Visit>
void for_each_node(Visit visit)
{
    if (nodes_in_input_order.size() == graphNodes.ht_fill) {
        for (GraphNode_ *node : nodes_in_input_order)
            visit(node);
    } else {
        const auto visit_item = [](void *node, void *v) { (*static_cast<Visit *>(v))(static_cast<GraphNode_ *>(node)); };
        hash_map_arg(&graphNodes, visit_item, &visit);
    }
}

} // namespace

unsigned long graph_hash_1(void const *key)
{
    return shifted_sum(as_node(key)->name, 15);
}

unsigned long graph_hash_2(void const *key)
{
    return shifted_sum(as_node(key)->name, 7);
}

int graph_hash_cmp(void const *x, void const *y)
{
    return std::strcmp(as_node(x)->name, as_node(y)->name);
}

namespace {

// Folds one 64-bit word into the hash: a multiplication spreads its low
// bits upwards, the shift brings the high ones back down.
std::uint64_t fold(std::uint64_t hash, std::uint64_t word)
{
    hash = (hash ^ word) * 0x9e3779b97f4a7c15ULL;
    return hash ^ (hash >> 29);
}

// The eight bytes at `p` as one word.
std::uint64_t load_8(const unsigned char *p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The four bytes at `p` in the low half of a word.
std::uint64_t load_4(const unsigned char *p)
{
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

} // namespace

// Eight bytes at a time; the last one to seven bytes as one or two loads
// that stay inside the name (a copy of them into a word would make the
// processor wait for its stores).  A finaliser then makes every bit of the
// result depend on every byte: names such as f123456 that differ in a digit
// or two land far apart.
std::uint32_t name_hash(const char *name, std::size_t length)
{
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    std::uint64_t hash = 0xcbf29ce484222325ULL ^ (length * 0xff51afd7ed558ccdULL);
    std::size_t left = length;
    for (; left >= 8; p += 8, left -= 8)
        hash = fold(hash, load_8(p));
    if (left >= 4)
        hash = fold(hash, load_4(p) | (load_4(p + left - 4) << 32));
    else if (left > 0)
        hash = fold(hash, p[0] | (std::uint64_t{p[left / 2]} << 8) | (std::uint64_t{p[left - 1]} << 16));
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ULL;
    hash ^= hash >> 33;
    return static_cast<std::uint32_t>(hash);
}

void init_graphNodes(unsigned long size)
{
    hash_init(&graphNodes, size, registry_hash_1, registry_hash_2, registry_cmp);
    nodes_in_input_order.clear();
    forget_recent_nodes();
}

// One name per 64 bytes: a name takes a record of its own in nearly every
// RSF file, and real records are longer.  Every rebuild of a growing
// registry visits every node stored so far; should the input hold more
// names, the registry grows as usual.  Beyond 16M names (a file of 1 GB) it
// grows as usual too, so that a huge file of few names does not cost a huge
// registry.
unsigned long registry_size_for(std::size_t input_bytes)
{
    return std::clamp(static_cast<unsigned long>(input_bytes / 64), 500UL, 1UL << 24);
}

GraphNode_ *GraphNode(NodeType_ nt, const char *nm)
{
    const std::size_t length = std::strlen(nm);
    return make_node(nt, nm, length, name_hash(nm, length));
}

GraphEdge_ *GraphEdge(EdgeType_ et, GraphNode_ *t, GraphNode_ *s)
{
    return new (edge_storage.take(sizeof(GraphEdge_))) GraphEdge_{et, t, s, nullptr};
}

GraphNode_ *get_graphNode(NodeType_ nt, const char *name)
{
    const NameAhead ahead = name_ahead(name);
    const std::size_t length = ahead.length;
    const std::uint32_t hash = ahead.namehash;
    RecentNode &recent = recent_nodes[hash % recent_slots];
    if (recent.node != nullptr && recent.namehash == hash && same_name(recent.node->name, name))
        return recent.node;
    void **slot = registry_slot(name, hash);
    auto *node = static_cast<GraphNode_ *>(*slot);
    if (hash_vacant(slot)) {
        node = make_node(nt, name, length, hash);
        register_node(node, slot);
    }
    recent = {hash, node};
    return node;
}

void prefetch_graphNodes(const char *const *names, std::size_t count)
{
    // The first slot of each search, and its second one: in a registry
    // filled up to half, about a third of the searches for a new name meet
    // another name in the first slot.
    const unsigned long mask = graphNodes.ht_size - 1;
    look_ahead.count = std::min(count, std::size(look_ahead.names));
    look_ahead.next = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = std::strlen(names[i]);
        const std::uint32_t hash = name_hash(names[i], length);
        if (i < look_ahead.count)
            look_ahead.names[i] = {names[i], static_cast<std::uint32_t>(length), hash};
        const RecentNode &recent = recent_nodes[hash % recent_slots];
        if (recent.node != nullptr && recent.namehash == hash)
            continue; // found without the registry, most likely
        __builtin_prefetch(&graphNodes.ht_vec[hash & mask]);
        __builtin_prefetch(&graphNodes.ht_vec[(hash + (registry_step(hash) | 1)) & mask]);
    }
}

GraphNode_ *find_graphNode(const char *name)
{
    void **slot = registry_slot(name, name_hash(name, std::strlen(name)));
    return hash_vacant(slot) ? nullptr : static_cast<GraphNode_ *>(*slot);
}

void insertGraphNode(GraphNode_ *node)
{
    void **slot = hash_find_slot(&graphNodes, node);
    if (!hash_vacant(slot)) {
        std::fprintf(stderr, "relplot: node %s is registered twice\n", node->name);
        abnormal_end();
    }
    register_node(node, slot);
}

void set_filename(GraphNode_ *node, const char *text)
{
    // An earlier owned label stays in the node storage until the registry goes.
    node->filename = node_storage.copy(text, std::strlen(text));
    node->filename_owned = 1;
}

void set_layer(GraphNode_ *node, const char *text)
{
    node->layer = node_storage.copy(text, std::strlen(text));
}

void free_graphNode(GraphNode_ *n)
{
    // Latest first: a node made and dropped at once leaves nothing behind.
    if (n->layer != nullptr)
        node_storage.give_back(n->layer, std::strlen(n->layer) + 1);
    if (n->filename_owned != 0)
        node_storage.give_back(n->filename, std::strlen(n->filename) + 1);
    node_storage.give_back(n, sizeof(GraphNode_) + std::strlen(n->name) + 1);
}

void free_hashtable()
{
    // Every node lives in the node storage: one release frees them all,
    // without a pass over the registry.
    hash_free(&graphNodes, 0);
    forget_recent_nodes();
    std::vector<GraphNode_ *>().swap(nodes_in_input_order);
    node_storage.release();
}

void free_edges()
{
    // Every edge lives in the edge storage: one release frees them all.
    edge_head = nullptr;
    edge_storage.release();
}

GraphNode_ *find_containment_loop()
{
    // Parents may have changed since an earlier check: start from clean marks.
    for_each_node([](GraphNode_ *node) { node->walkmark &= static_cast<std::uint8_t>(~(WM_ON_PATH | WM_CHECKED)); });
    GraphNode_ *loop = nullptr;
    for_each_node([&loop](GraphNode_ *node) {
        if (loop != nullptr || (node->walkmark & WM_CHECKED) != 0)
            return;
        // Follow the parents until a root, a node already checked, or a node
        // of this very path (a loop); then mark the path checked.
        GraphNode_ *up = node;
        while (up != nullptr && (up->walkmark & (WM_CHECKED | WM_ON_PATH)) == 0) {
            up->walkmark |= WM_ON_PATH;
            up = up->parent;
        }
        if (up != nullptr && (up->walkmark & WM_ON_PATH) != 0)
            loop = up;
        for (GraphNode_ *n = node; n != nullptr && (n->walkmark & WM_ON_PATH) != 0; n = n->parent)
            n->walkmark = static_cast<std::uint8_t>((n->walkmark & ~WM_ON_PATH) | WM_CHECKED);
    });
    return loop;
}

void *xmalloc(std::size_t len)
{
    void *block = std::malloc(len);
    if (block == nullptr)
        abnormal_end();
    return block;
}

char *xstrdup(const char *src)
{
    const std::size_t len = std::strlen(src);
    auto *copy = static_cast<char *>(xmalloc(len + 1));
    std::memcpy(copy, src, len + 1);
    return copy;
}

void (*abnormal_end_hook)() = std::abort;

void abnormal_end(FILE *also)
{
    std::fflush(stdout);
    if (also != nullptr)
        std::fflush(also);
    abnormal_end_hook();
    std::abort();
}

void release_graph()
{
    free_hashtable();
    free_edges();
    std::free(root_directory);
    root_directory = nullptr;
    for (char *&name : layer_name) {
        std::free(name);
        name = nullptr;
    }
    same_pairs_made = false;
}
