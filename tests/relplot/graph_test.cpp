// Unit tests of the graph model: label text of new nodes, the name hashes,
// the registry, label ownership and the containment loop check.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "relplot.h"

namespace {

class Graph : public testing::Test {
protected:
    void SetUp() override { init_graphNodes(500); }
    void TearDown() override
    {
        free_hashtable();
        free_edges();
    }
};

TEST_F(Graph, NewNodeLabelIsTheTextAfterTheLastSlash)
{
    const struct {
        const char *name;
        const char *want; // null: no label text
        long offset;      // where in the name it points
    } cases[] = {{"f12", nullptr, 0},
                 {"src/lib", "lib", 4},
                 {"/", "/", 0},
                 {"a/b/", "/", 3},
                 {"", nullptr, 0},
                 // Names of 32 bytes and beyond are searched another way.
                 {"/usr/src/project/lib/build/x.cpp", "x.cpp", 27},
                 {"/usr/src/project/lib/build/x.cpp/", "/", 32},
                 {"/usr/src/project/library/sources/deep/dir/main.c", "main.c", 42},
                 {"an-identifier-without-any-slash-in-it-at-all", nullptr, 0}};
    for (const auto &c : cases) {
        GraphNode_ *node = GraphNode(NT_FILE, c.name);
        EXPECT_STREQ(node->name, c.name);
        EXPECT_NE(node->name, c.name); // a copy
        if (c.want == nullptr) {
            EXPECT_EQ(node->filename, nullptr) << c.name;
        } else {
            EXPECT_STREQ(node->filename, c.want) << c.name;
            EXPECT_EQ(node->filename - node->name, c.offset) << c.name;
        }
        EXPECT_EQ(node->type, NT_FILE);
        EXPECT_EQ(node->dblcln, -1);
        EXPECT_EQ(node->filename_owned, 0);
        free_graphNode(node);
    }
}

TEST(GraphHash, WorkedValues)
{
    const struct {
        const char *name;
        unsigned long h1, h2;
    } cases[] = {{"abc", 1271, 1271}, {"ai", 49769, 299}, {"", 0, 0}, {"a", 97, 97}};
    for (const auto &c : cases) {
        GraphNode_ *node = GraphNode(NT_DIR, c.name);
        EXPECT_EQ(graph_hash_1(node), c.h1) << c.name;
        EXPECT_EQ(graph_hash_2(node), c.h2) << c.name;
        free_graphNode(node);
    }
}

TEST(GraphHash, SumWrapsInThirtyTwoBits)
{
    // Each '\xff' followed by '\x0f' adds 255 << 15; 600 of them pass 2^32.
    std::string name;
    for (int i = 0; i < 600; ++i)
        name += "\xff\x0f";
    GraphNode_ *node = GraphNode(NT_DIR, name.c_str());
    // The last '\x0f' is followed by the terminating zero and added unshifted;
    // every other '\x0f' is followed by '\xff' and shifted by 15.
    const unsigned long exact = (600UL * (255UL << 15) + 599UL * (15UL << 15) + 15UL) & 0xffffffffUL;
    EXPECT_EQ(graph_hash_1(node), exact);
    free_graphNode(node);
}

TEST_F(Graph, NodeMadeAndDroppedLeavesNothingBehind)
{
    GraphNode_ *node = GraphNode(NT_FILE, "src/x");
    set_filename(node, "x.c");
    set_layer(node, "old");
    free_graphNode(node);
    // The storage of the node, its label and layer is taken again at once.
    GraphNode_ *next = GraphNode(NT_DIR, "y");
    EXPECT_EQ(next, node);
}

TEST_F(Graph, FreshRegistryForgetsEarlierNodes)
{
    get_graphNode(NT_FILE, "f1")->isphony = 1;
    EXPECT_EQ(get_graphNode(NT_DIR, "f1")->isphony, 1); // found again
    free_hashtable();
    init_graphNodes(500);
    GraphNode_ *again = get_graphNode(NT_DIR, "f1");
    EXPECT_EQ(again->isphony, 0);
    EXPECT_EQ(again->type, NT_DIR);
    EXPECT_EQ(graphNodes.ht_fill, 1u);
}

TEST_F(Graph, RegistryKeepsOneNodePerNameAndItsFirstKind)
{
    GraphNode_ *dir = get_graphNode(NT_DIR, "shared");
    EXPECT_EQ(get_graphNode(NT_FILE, "shared"), dir);
    EXPECT_EQ(dir->type, NT_DIR);
    EXPECT_EQ(graphNodes.ht_fill, 1u);

    GraphNode_ *file = get_graphNode(NT_FILE, "f1");
    EXPECT_EQ(file->type, NT_FILE);
    EXPECT_NE(file, dir);
    EXPECT_EQ(find_graphNode("f1"), file);

    EXPECT_EQ(find_graphNode("absent"), nullptr);
    EXPECT_EQ(graphNodes.ht_fill, 2u);

    GraphNode_ *made = GraphNode(NT_DIR, "made");
    insertGraphNode(made);
    EXPECT_EQ(find_graphNode("made"), made);
}

TEST_F(Graph, RegistrySpreadsIdentifierLikeNames)
{
    // Names like those of real traces.  The table fills up to 15/16 before it
    // grows, so even a perfect spread meets about 1.5 other items per search;
    // the shifted sums of graph_hash_1/2 meet about 10 here, 60 at a million.
    for (int i = 0; i < 200000; ++i)
        get_graphNode(NT_FILE, ("f" + std::to_string(i)).c_str());
    EXPECT_EQ(graphNodes.ht_fill, 200000u);
    EXPECT_LT(graphNodes.ht_collisions, 2 * graphNodes.ht_lookups);
    for (int i = 0; i < 200000; i += 997)
        EXPECT_STREQ(find_graphNode(("f" + std::to_string(i)).c_str())->name, ("f" + std::to_string(i)).c_str());
}

TEST_F(Graph, NameLookupsAndTheTablesOwnSearchAgree)
{
    // get_graphNode searches the registry its own way, find_graphNode through
    // the table's functions: after the rebuilds of a growing registry both
    // must still find each node in the same slot, past the same names.
    std::vector<std::string> names;
    std::vector<GraphNode_ *> made;
    for (int i = 0; i < 20000; ++i) {
        names.push_back("d" + std::to_string(i) + "/x");
        made.push_back(get_graphNode(NT_FILE, names.back().c_str()));
    }
    ASSERT_GT(graphNodes.ht_rehashes, 0u);
    unsigned long by_table = 0, by_name = 0;
    for (std::size_t i = 0; i < names.size(); i += 7) {
        const unsigned long before = graphNodes.ht_collisions;
        EXPECT_EQ(find_graphNode(names[i].c_str()), made[i]);
        const unsigned long between = graphNodes.ht_collisions;
        const unsigned long lookups = graphNodes.ht_lookups;
        EXPECT_EQ(get_graphNode(NT_DIR, names[i].c_str()), made[i]);
        if (graphNodes.ht_lookups == lookups)
            continue; // still among the recent nodes: no search to compare
        by_table += between - before;
        by_name += graphNodes.ht_collisions - between;
    }
    EXPECT_EQ(graphNodes.ht_fill, names.size());
    EXPECT_GT(by_table, 100u);
    EXPECT_EQ(by_name, by_table);
}

TEST_F(Graph, NamesOfOneHashAndLengthStayApart)
{
    // Two names of the same length and spread hash, found among numbered
    // names: only their bytes tell them apart, in the recent nodes and in
    // the registry alike.
    std::unordered_map<std::uint32_t, std::string> seen;
    std::string first, second;
    for (int i = 1000000; second.empty(); ++i) {
        const std::string name = "n" + std::to_string(i);
        const auto [at, fresh] = seen.emplace(name_hash(name.data(), name.size()), name);
        if (!fresh) {
            first = at->second;
            second = name;
        }
    }
    ASSERT_EQ(first.size(), second.size());
    GraphNode_ *one = get_graphNode(NT_FILE, first.c_str());
    GraphNode_ *other = get_graphNode(NT_DIR, second.c_str());
    EXPECT_NE(one, other);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(get_graphNode(NT_DIR, first.c_str()), one);
        EXPECT_EQ(get_graphNode(NT_FILE, second.c_str()), other);
    }
    EXPECT_EQ(find_graphNode(first.c_str()), one);
    EXPECT_EQ(find_graphNode(second.c_str()), other);
    EXPECT_EQ(graphNodes.ht_fill, 2u);
}

TEST_F(Graph, LookupsAfterALookAheadFindTheNamedNodes)
{
    // The look-ahead keeps the names it was given by their addresses; lookups
    // may come in another order, skip names, repeat one or ask for a name it
    // was never given, and must still find the node of each name.
    struct Case {
        const char *what;
        std::vector<int> ahead;  // indexes into `names` handed ahead
        std::vector<int> lookups;
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3}, {0, 1, 2, 3}},
        {"names skipped", {0, 1, 2, 3}, {1, 3}},
        {"backwards", {0, 1, 2, 3}, {3, 2, 1, 0}},
        {"repeated", {0, 1, 0, 1}, {0, 1, 0, 1, 1}},
        {"one not handed ahead", {0, 2}, {0, 1, 2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        free_hashtable();
        init_graphNodes(500);
        // Names of equal length, so that a hash or length taken from the
        // wrong entry would name another node.
        char names[4][4] = {"a/1", "a/2", "b/1", "b/2"};
        std::vector<const char *> ahead;
        for (int i : c.ahead)
            ahead.push_back(names[i]);
        prefetch_graphNodes(ahead.data(), ahead.size());
        for (int i : c.lookups)
            EXPECT_STREQ(get_graphNode(NT_FILE, names[i])->name, names[i]);
        for (int i : c.lookups)
            EXPECT_EQ(find_graphNode(names[i]), get_graphNode(NT_DIR, names[i]));
        EXPECT_EQ(graphNodes.ht_fill, std::set<int>(c.lookups.begin(), c.lookups.end()).size());
    }
}

TEST_F(Graph, LongNamesAreFoundWhole)
{
    // Names of 64 KB and more, told apart by their last byte only.
    std::vector<std::string> names;
    for (std::size_t length : {65534, 65535, 65536, 100000}) {
        for (char last : {'a', 'b'})
            names.push_back(std::string(length - 1, 'x') + last);
    }
    std::vector<GraphNode_ *> made;
    for (const std::string &name : names)
        made.push_back(get_graphNode(NT_FILE, name.c_str()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(get_graphNode(NT_DIR, names[i].c_str()), made[i]) << i;
        EXPECT_EQ(find_graphNode(names[i].c_str()), made[i]) << i;
        EXPECT_EQ(made[i]->name, names[i]) << i;
    }
    EXPECT_EQ(graphNodes.ht_fill, names.size());
}

TEST(NameHash, EveryByteOfANameCounts)
{
    // Each length reads its tail another way: a byte left out of the hash
    // would make names that differ only there collide every time.
    for (std::size_t length = 0; length <= 24; ++length) {
        std::string name;
        for (std::size_t i = 0; i < length; ++i)
            name += static_cast<char>('a' + i);
        const std::uint32_t hash = name_hash(name.data(), name.size());
        for (std::size_t i = 0; i < length; ++i) {
            std::string other = name;
            other[i] = 'Z';
            EXPECT_NE(name_hash(other.data(), other.size()), hash) << name << " and " << other;
        }
        if (length > 0) {
            EXPECT_NE(name_hash(name.c_str(), length - 1), hash) << "a prefix of " << name;
        }
    }
}

TEST_F(Graph, LaterLabelReplacesEarlierOne)
{
    // A name with '/' starts with a label borrowed from the name itself.
    GraphNode_ *node = get_graphNode(NT_FILE, "src/x");
    EXPECT_EQ(node->filename, node->name + 4);
    set_filename(node, "x.c");
    EXPECT_STREQ(node->filename, "x.c");
    EXPECT_EQ(node->filename_owned, 1);
    set_filename(node, "y.c"); // releases x.c (the leak check sees it)
    EXPECT_STREQ(node->filename, "y.c");
    EXPECT_STREQ(node->name, "src/x");
}

TEST_F(Graph, EdgesAreReleasedFromTheHead)
{
    free_edges(); // an empty list
    EXPECT_EQ(edge_head, nullptr);
    GraphNode_ *a = get_graphNode(NT_DIR, "a");
    for (EdgeType_ type : {ET_INVOKE, ET_DEPENDON}) {
        GraphEdge_ *edge = GraphEdge(type, a, a);
        EXPECT_EQ(edge->type, type);
        EXPECT_EQ(edge->next, nullptr);
        edge->next = edge_head;
        edge_head = edge;
    }
    free_edges();
    EXPECT_EQ(edge_head, nullptr);
}

TEST_F(Graph, ContainmentLoopsAreFound)
{
    const struct {
        const char *what;
        std::vector<std::pair<const char *, const char *>> contains; // parent, child
        std::vector<const char *> in_loop; // empty: no loop
    } cases[] = {
        {"a tree", {{"/", "a"}, {"a", "b"}, {"/", "c"}}, {}},
        {"a node containing itself", {{"/", "a"}, {"s", "s"}}, {"s"}},
        {"two nodes containing each other", {{"x", "y"}, {"y", "x"}}, {"x", "y"}},
        {"a loop below a tree", {{"/", "t"}, {"p", "q"}, {"q", "r"}, {"r", "p"}}, {"p", "q", "r"}},
    };
    for (const auto &c : cases) {
        free_hashtable(); // a fresh registry for each case
        init_graphNodes(500);
        for (const auto &[parent, child] : c.contains)
            get_graphNode(NT_DIR, child)->parent = get_graphNode(NT_DIR, parent);
        const GraphNode_ *loop = find_containment_loop();
        if (c.in_loop.empty()) {
            EXPECT_EQ(loop, nullptr) << c.what;
        } else {
            ASSERT_NE(loop, nullptr) << c.what;
            bool named = false;
            for (const char *name : c.in_loop)
                named = named || std::strcmp(loop->name, name) == 0;
            EXPECT_TRUE(named) << c.what << ": " << loop->name;
        }
    }
}

TEST_F(Graph, LoopsAmongNodesStoredStraightIntoTheRegistryAreFound)
{
    // Nodes put into the registry through the table's own interface, and
    // one taken out again: the check must still see every stored node.
    GraphNode_ *a = GraphNode(NT_DIR, "a");
    GraphNode_ *b = GraphNode(NT_DIR, "b");
    hash_insert(&graphNodes, a);
    hash_insert(&graphNodes, b);
    GraphNode_ *gone = get_graphNode(NT_DIR, "gone");
    hash_delete(&graphNodes, gone);
    a->parent = b;
    b->parent = a;
    const GraphNode_ *loop = find_containment_loop();
    ASSERT_NE(loop, nullptr);
    EXPECT_TRUE(loop == a || loop == b) << loop->name;
    b->parent = nullptr;
    EXPECT_EQ(find_containment_loop(), nullptr);
}

TEST_F(Graph, DeepChainIsCheckedWithoutRecursion)
{
    GraphNode_ *parent = get_graphNode(NT_DIR, "d0");
    for (int i = 1; i <= 100000; ++i) {
        GraphNode_ *child = get_graphNode(NT_DIR, ("d" + std::to_string(i)).c_str());
        child->parent = parent;
        parent = child;
    }
    EXPECT_EQ(find_containment_loop(), nullptr);
    get_graphNode(NT_DIR, "d0")->parent = parent;
    EXPECT_NE(find_containment_loop(), nullptr);
}

} // namespace
