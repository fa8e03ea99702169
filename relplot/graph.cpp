// The in-memory graph: node and edge records, the registry that finds a node
// by its name, the release of the whole graph, and the allocation helpers.
#include "relplot.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

hash_table graphNodes;
GraphEdge_ *edge_head = nullptr;
char *root_directory = nullptr;
char *layer_name[2] = {nullptr, nullptr};

namespace {

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

// FNV-1a over the name, then a 64-bit finaliser so that every bit of the
// result depends on every character: names such as f123456 that differ in
// a digit or two land far apart.
std::uint64_t spread_hash(const char *name)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const auto *c = reinterpret_cast<const unsigned char *>(name); *c != 0; ++c)
        hash = (hash ^ *c) * 0x100000001b3ULL;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ULL;
    hash ^= hash >> 33;
    return hash;
}

// A search key: a node shape that carries only the name the hashes read.
GraphNode_ key_node(const char *name)
{
    GraphNode_ key{};
    key.name = const_cast<char *>(name);
    return key;
}

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

unsigned long registry_hash_1(void const *key)
{
    return static_cast<std::uint32_t>(spread_hash(node_name(key)));
}

unsigned long registry_hash_2(void const *key)
{
    return static_cast<std::uint32_t>(spread_hash(node_name(key)) >> 32);
}

int graph_hash_cmp(void const *x, void const *y)
{
    return std::strcmp(node_name(x), node_name(y));
}

void init_graphNodes(unsigned long size)
{
    // The slot order of the registry never reaches the output, so it uses
    // the well-spread pair: the shifted sums pile up on names like f123456.
    hash_init(&graphNodes, size, registry_hash_1, registry_hash_2, graph_hash_cmp);
}

GraphNode_ *GraphNode(NodeType_ nt, const char *nm)
{
    // The name is stored right after the record, in the same block.
    const std::size_t len = std::strlen(nm);
    void *block = xmalloc(sizeof(GraphNode_) + len + 1);
    auto *node = new (block) GraphNode_{};
    node->type = nt;
    node->name = static_cast<char *>(block) + sizeof(GraphNode_);
    std::memcpy(node->name, nm, len + 1);
    node->filename = std::strrchr(node->name, '/');
    if (node->filename != nullptr && node->filename[1] != 0)
        node->filename++;
    node->dblcln = -1;
    return node;
}

GraphEdge_ *GraphEdge(EdgeType_ et, GraphNode_ *t, GraphNode_ *s)
{
    auto *edge = static_cast<GraphEdge_ *>(xmalloc(sizeof(GraphEdge_)));
    *edge = GraphEdge_{et, t, s, nullptr};
    return edge;
}

GraphNode_ *get_graphNode(NodeType_ nt, const char *name)
{
    const GraphNode_ key = key_node(name);
    void **slot = hash_find_slot(&graphNodes, &key);
    if (!hash_vacant(slot))
        return static_cast<GraphNode_ *>(*slot);
    GraphNode_ *node = GraphNode(nt, name);
    hash_insert_at(&graphNodes, node, slot);
    return node;
}

GraphNode_ *find_graphNode(const char *name)
{
    const GraphNode_ key = key_node(name);
    return static_cast<GraphNode_ *>(hash_find_item(&graphNodes, &key));
}

void insertGraphNode(GraphNode_ *node)
{
    void **slot = hash_find_slot(&graphNodes, node);
    if (!hash_vacant(slot)) {
        std::fprintf(stderr, "relplot: node %s is registered twice\n", node->name);
        abnormal_end();
    }
    hash_insert_at(&graphNodes, node, slot);
}

void set_filename(GraphNode_ *node, const char *text)
{
    char *copy = xstrdup(text);
    if (node->filename_owned != 0)
        std::free(node->filename);
    node->filename = copy;
    node->filename_owned = 1;
}

void free_graphNode(GraphNode_ *n)
{
    std::free(n->layer);
    if (n->filename_owned != 0)
        std::free(n->filename);
    n->~GraphNode_();
    std::free(n);
}

void free_hashtable()
{
    hash_map(&graphNodes, [](void *item) { free_graphNode(static_cast<GraphNode_ *>(item)); });
    hash_free(&graphNodes, 0);
}

void free_edges()
{
    while (edge_head != nullptr) {
        GraphEdge_ *edge = edge_head;
        edge_head = edge->next;
        std::free(edge);
    }
}

GraphNode_ *find_containment_loop()
{
    hash_map(&graphNodes, [](void *item) {
        static_cast<GraphNode_ *>(item)->walkmark &= static_cast<std::uint8_t>(~(WM_ON_PATH | WM_CHECKED));
    });
    GraphNode_ *loop = nullptr;
    hash_map_arg(&graphNodes, check_ancestors, &loop);
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

void abnormal_end(FILE *also)
{
    std::fflush(stdout);
    if (also != nullptr)
        std::fflush(also);
    std::abort();
}
