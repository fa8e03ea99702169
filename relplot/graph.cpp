// The in-memory graph: node and edge records, the registry that finds a node
// by its name, the release of the whole graph, and the allocation helpers.
#include "relplot.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "pool.h"
#include "words.h"

hash_table graphNodes;
GraphEdge_ *edge_head = nullptr;
char *root_directory = nullptr;
char *layer_name[2] = {nullptr, nullptr};

namespace {

// The registry's storage: node records with their names, and layers.
Pool node_pool;
// The labels that FILE records give, apart and packed (text needs no
// alignment): the reading thread copies them here while the main thread
// takes node storage.
Pool label_pool(1);
// The edge list's storage: edges only.
Pool edge_pool;

static_assert(alignof(GraphNode_) <= 8 && alignof(GraphEdge_) <= 8, "records must fit the pools' alignment");
static_assert(sizeof(void *) != 8 || sizeof(GraphNode_) == 72, "a node's small fields should pack together");

// Bytes of a node record with its name stored right after it.
std::size_t node_size(const char *name)
{
    return sizeof(GraphNode_) + std::strlen(name) + 1;
}

const char *node_name(void const *key)
{
    return static_cast<const GraphNode_ *>(key)->name;
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

// The nodes found most recently, by the low bits of their name's hash: RSF
// names the same file or directory in records close together, and such a
// node is found here without a probe of the (much larger) registry.
// Each entry keeps the name's hash beside the node, so that an entry for
// another name is passed over without reading that node.
struct RecentNode {
    std::uint32_t namehash;
    GraphNode_ *node;
};
constexpr std::size_t recent_slots = 4096;
RecentNode recent_nodes[recent_slots];

void forget_recent_nodes()
{
    std::fill(std::begin(recent_nodes), std::end(recent_nodes), RecentNode{0, nullptr});
}

// The registry's step between slots for a name of spread hash `hash`:
// another mix of the same bits, so that names that share their first slot
// mostly differ in their step.
std::uint32_t registry_step(std::uint32_t hash)
{
    hash ^= hash >> 16;
    hash *= 0x7feb352dU;
    hash ^= hash >> 15;
    return hash;
}

// A search key: a node shape that carries only what the registry reads.
GraphNode_ key_node(NodeName name)
{
    GraphNode_ key{};
    key.name = const_cast<char *>(name.text);
    key.namehash = name.hash;
    return key;
}

const GraphNode_ *as_node(void const *key)
{
    return static_cast<const GraphNode_ *>(key);
}

// The last '/' of the `length` bytes at `name`, or null.  Most names are
// short identifiers: a plain loop finds it sooner than a library call.
char *last_slash(char *name, std::size_t length)
{
    if (length > 32)
        return static_cast<char *>(memrchr(name, '/', length));
    for (char *p = name + length; p != name;) {
        if (*--p == '/')
            return p;
    }
    return nullptr;
}

// A new node named `name`: the name is stored right after the record, in
// the same block.
GraphNode_ *make_node(NodeType_ nt, NodeName name)
{
    const std::size_t length = name.length < long_name_length ? name.length : std::strlen(name.text);
    void *block = node_pool.take(sizeof(GraphNode_) + length + 1);
    auto *node = new (block) GraphNode_{};
    node->type = nt;
    node->namehash = name.hash;
    node->namelength = name_length(length);
    node->name = static_cast<char *>(block) + sizeof(GraphNode_);
    std::memcpy(node->name, name.text, length + 1);
    node->filename = last_slash(node->name, length);
    if (node->filename != nullptr && node->filename[1] != 0)
        node->filename++;
    node->dblcln = -1;
    return node;
}

// The nodes registered by get_graphNode and insertGraphNode, in the order
// they were made, which is their order in memory: a pass over every node
// reads them here far faster than in the registry's scattered slot order.
// When the registry's count disagrees (nodes put in or taken out through
// the table's own interface), such a pass goes over the slots instead.
std::vector<GraphNode_ *> nodes_made;

// Registers `node` in `slot`, found vacant by hash_find_slot.
void register_node(GraphNode_ *node, void **slot)
{
    hash_insert_at(&graphNodes, node, slot);
    nodes_made.push_back(node);
}

// True once a containment check has marked the registry's nodes.
bool containment_marked = false;

void check_ancestors(void *item, void *found)
{
    auto *&loop = *static_cast<GraphNode_ **>(found);
    auto *node = static_cast<GraphNode_ *>(item);
    if (loop != nullptr || (node->walkmark & WM_CHECKED) != 0)
        return;
    // Follow the parents until a root, a node already checked, or a node of
    // this very path (a loop); then mark the path checked.
    GraphNode_ *up = node;
    while (up != nullptr && (up->walkmark & (WM_CHECKED | WM_ON_PATH)) == 0) {
        up->walkmark |= WM_ON_PATH;
        up = up->parent;
    }
    if (up != nullptr && (up->walkmark & WM_ON_PATH) != 0)
        loop = up;
    for (GraphNode_ *n = node; n != nullptr && (n->walkmark & WM_ON_PATH) != 0; n = n->parent)
        n->walkmark = static_cast<std::uint8_t>((n->walkmark & ~WM_ON_PATH) | WM_CHECKED);
}

} // namespace

unsigned long graph_hash_1(void const *key)
{
    return shifted_sum(node_name(key), 15);
}

unsigned long graph_hash_2(void const *key)
{
    return shifted_sum(node_name(key), 7);
}

int graph_hash_cmp(void const *x, void const *y)
{
    return std::strcmp(node_name(x), node_name(y));
}

namespace {

// Folds one 64-bit word into the hash: a multiplication spreads its low
// bits upwards, the shift brings the high ones back down.
std::uint64_t fold(std::uint64_t hash, std::uint64_t word)
{
    hash = (hash ^ word) * 0x9e3779b97f4a7c15ULL;
    return hash ^ (hash >> 29);
}

// True when `node` is named `name`: hash and length settle most
// comparisons before a byte of the names is read.
[[gnu::always_inline]] inline bool is_named(const GraphNode_ *node, NodeName name)
{
    if (node->namehash != name.hash || node->namelength != name.length)
        return false;
    if (name.length < long_name_length)
        return same_bytes(node->name, name.text, name.length);
    return same_name(node->name, name.text);
}

NodeName node_name_of(const char *name)
{
    const std::size_t length = std::strlen(name);
    return {name, name_hash(name, length), name_length(length)};
}

} // namespace

std::uint32_t name_hash(const char *name)
{
    return name_hash(name, std::strlen(name));
}

// Eight bytes at a time; the last one to seven bytes as one or two loads
// that stay inside the name.  A finaliser then makes every bit of the
// result depend on every byte: names such as f123456 that differ in a
// digit or two land far apart.
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

unsigned long registry_hash_1(void const *key)
{
    return as_node(key)->namehash;
}

unsigned long registry_hash_2(void const *key)
{
    return registry_step(as_node(key)->namehash);
}

int registry_cmp(void const *x, void const *y)
{
    // Unequal hashes settle most comparisons on the node record itself,
    // without reading the name.
    if (as_node(x)->namehash != as_node(y)->namehash)
        return 1;
    return same_name(node_name(x), node_name(y)) ? 0 : 1;
}

void init_graphNodes(unsigned long size)
{
    // The slot order of the registry never reaches the output, so it uses
    // a well-spread hash: graph_hash_1/2 pile up names like f123456.
    hash_init(&graphNodes, size, registry_hash_1, registry_hash_2, registry_cmp);
    forget_recent_nodes();
    nodes_made.clear();
    // Room for as many nodes as the registry was sized for: pages of it
    // that stay unused are never touched, and so cost no memory.
    nodes_made.reserve(size);
    containment_marked = false;
}

void prepare_graph_storage()
{
    node_pool.prepare_block();
    edge_pool.prepare_block();
}

GraphNode_ *GraphNode(NodeType_ nt, const char *nm)
{
    return make_node(nt, node_name_of(nm));
}

GraphEdge_ *GraphEdge(EdgeType_ et, GraphNode_ *t, GraphNode_ *s)
{
    return new (edge_pool.take(sizeof(GraphEdge_))) GraphEdge_{et, t, s, nullptr};
}

GraphNode_ *get_graphNode(NodeType_ nt, const char *name)
{
    return get_graphNode(nt, node_name_of(name));
}

namespace {

// hash_find_slot in the registry for a name whose hash is known, with
// registry_hash_1/2 and registry_cmp made part of the search: the
// registry is searched for every name a record brings that is not recent.
void **registry_slot(NodeName name)
{
    return hash_find_slot_with(
        &graphNodes, name, [](NodeName n) { return n.hash; }, [](NodeName n) { return registry_step(n.hash); },
        [](NodeName n, void const *item) {
            return is_named(as_node(item), n);
        });
}

// get_graphNode past the recent nodes: the registry's search, and a new
// node when the name is not there.  Out of line, so that the common case
// (a recent node) does not pay for the registers this part needs.
[[gnu::noinline]] GraphNode_ *search_graphNode(NodeType_ nt, NodeName name, RecentNode &recent)
{
    void **slot = registry_slot(name);
    GraphNode_ *node = static_cast<GraphNode_ *>(*slot);
    if (hash_vacant(slot)) {
        node = make_node(nt, name);
        register_node(node, slot);
    }
    recent = {name.hash, node};
    return node;
}

} // namespace

GraphNode_ *get_graphNode(NodeType_ nt, NodeName name)
{
    RecentNode &recent = recent_nodes[name.hash % recent_slots];
    if (recent.node != nullptr && recent.namehash == name.hash && is_named(recent.node, name))
        return recent.node;
    return search_graphNode(nt, name, recent);
}

void prefetch_graphNodes(const std::uint32_t *hashes, std::size_t count)
{
    // First the slots where the searches start, and the second slot of
    // each search (in a registry filled up to half, about a third of the
    // searches for a new name meet another name in the first slot),
    // then (once those have had time to arrive) the nodes in them, which
    // the searches compare.
    constexpr std::size_t most = 256;
    void **slots[2 * most];
    std::size_t wanted = 0;
    const unsigned long mask = graphNodes.ht_size - 1;
    for (std::size_t i = 0; i < std::min(count, most); ++i) {
        const RecentNode &recent = recent_nodes[hashes[i] % recent_slots];
        if (recent.node != nullptr && recent.namehash == hashes[i])
            continue; // found without the registry, most likely
        const unsigned long first = hashes[i] & mask;
        slots[wanted] = &graphNodes.ht_vec[first];
        __builtin_prefetch(slots[wanted++]);
        slots[wanted] = &graphNodes.ht_vec[(first + (registry_step(hashes[i]) | 1)) & mask];
        __builtin_prefetch(slots[wanted++]);
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        if (!hash_vacant(slots[i]))
            __builtin_prefetch(*slots[i]);
    }
}

GraphNode_ *find_graphNode(const char *name)
{
    const GraphNode_ key = key_node(node_name_of(name));
    return static_cast<GraphNode_ *>(hash_find_item(&graphNodes, &key));
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
    adopt_filename(node, copy_label(text, std::strlen(text)));
}

const char *copy_label(const char *text, std::size_t length)
{
    return label_pool.copy(text, length);
}

void adopt_filename(GraphNode_ *node, const char *label)
{
    // An earlier owned label stays in the pool until the registry goes.
    // The label storage hands out writable text; only this interface
    // passes it on as read-only.
    node->filename = const_cast<char *>(label);
    node->filename_owned = 1;
}

void set_layer(GraphNode_ *node, const char *text)
{
    node->layer = node_pool.copy(text);
}

void free_graphNode(GraphNode_ *n)
{
    // Latest first: a node made and dropped at once leaves nothing behind.
    if (n->layer != nullptr)
        node_pool.give_back(n->layer, std::strlen(n->layer) + 1);
    if (n->filename_owned != 0)
        label_pool.give_back(n->filename, std::strlen(n->filename) + 1);
    node_pool.give_back(n, node_size(n->name));
}

void free_hashtable()
{
    // Every node lives in the pool: one release frees them all, without a
    // pass over the registry.
    hash_free(&graphNodes, 0);
    forget_recent_nodes();
    std::vector<GraphNode_ *>().swap(nodes_made);
    node_pool.release();
    label_pool.release();
}

std::size_t graph_pool_used()
{
    return node_pool.used() + label_pool.used();
}

void free_edges()
{
    // Every edge lives in the pool: one release frees them all.
    edge_head = nullptr;
    edge_pool.release();
}

std::size_t graph_edge_count()
{
    static_assert(sizeof(GraphEdge_) % 8 == 0, "an edge takes its own size in the pool");
    return edge_pool.used() / sizeof(GraphEdge_);
}

GraphNode_ *find_containment_loop()
{
    // Parents may have changed since an earlier check: start from clean marks.
    if (containment_marked) {
        hash_map(&graphNodes, [](void *item) {
            static_cast<GraphNode_ *>(item)->walkmark &= static_cast<std::uint8_t>(~(WM_ON_PATH | WM_CHECKED));
        });
    }
    containment_marked = true;
    GraphNode_ *loop = nullptr;
    if (nodes_made.size() == graphNodes.ht_fill) {
        for (GraphNode_ *node : nodes_made) {
            check_ancestors(node, &loop);
            if (loop != nullptr)
                break;
        }
    } else {
        // Nodes were taken out of the registry or put in behind its back.
        hash_map_arg(&graphNodes, check_ancestors, &loop);
    }
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
    std::memcpy(copy, src, len);
    copy[len] = 0;
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
}
