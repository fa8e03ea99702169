// A recorded build as its RSF relation file describes it, held in memory so
// that views of it can be cut out: the directory tree, the file nodes as
// relplot draws them (the two instances of a SAME pair as one node, named
// "A B"), the edges between them and the relations that style them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace traceview {

/// One RSF record: relation, subject, object.
struct Record {
    std::string relation, subject, object;
};

/// A drawn unit: a file (one node, or a SAME pair drawn as one) or a directory.
struct Unit {
    std::string id;                 ///< the node id relplot gives it: "A", or "A B" for a pair
    std::string primary;            ///< the name relplot keeps for it (SAME subject, or the only one)
    std::string partner;            ///< the SAME object, or empty
    std::string name;               ///< its visible name (FILE object, or the last part of a path)
    std::string dir;                ///< the directory that holds it in its own build (CONTAIN subject)
    bool is_dir = false;            ///< a directory rather than a file
    int parent = -1;                ///< index of the directory unit holding it, or -1
    std::vector<int> children;      ///< for a directory: the units it holds
    std::size_t files_below = 0;    ///< for a directory: the file units anywhere beneath it
    bool changed = false;           ///< marked by a DIFF record
    bool goal = false;              ///< a goal of its make process (GOAL)
    int only_in_layer = -1;         ///< 0 or 1 when it is in one layer of a comparison only
};

/// An INVOKE or DEPENDON record between two units.
struct UnitEdge {
    int from, to;
    bool invoke;
};

/// The build model: units, edges and the records each raw node owns.
class RsfModel {
public:
    /// Reads RSF text (white-space separated tokens taken three at a time);
    /// throws std::runtime_error for input that relplot would refuse.
    explicit RsfModel(std::string_view text);
    // The model points into its own records.
    RsfModel(const RsfModel &) = delete;
    RsfModel &operator=(const RsfModel &) = delete;

    const std::vector<Unit> &units() const { return units_; }
    const std::vector<UnitEdge> &edges() const { return edges_; }
    /// Index of the root directory unit (ROOT, or "/"), or -1 when nothing lies under it.
    int root() const { return root_; }
    /// The unit drawn under node id `id` ("A" or "A B"), or -1.
    int find_unit(const std::string &id) const;
    /// Full path of a unit: its directory's path and its name.
    std::string path_of(int unit) const;
    /// The layer names of a comparison ("" when not given).
    const std::string &layer_name(int i) const { return layer_names_[i]; }
    /// Number of file units under the root.
    std::size_t file_count() const;

    /// The records that belong to a raw node (its FILE, flags, LAYER, DIFF,
    /// and the CONTAIN that places it), in input order.
    const std::vector<const Record *> &own_records(const std::string &raw) const;
    /// The INVOKE and DEPENDON records, in input order.
    const std::vector<const Record *> &edge_records() const { return edge_records_; }
    /// The LAYERNAME records.
    const std::vector<const Record *> &layername_records() const { return layername_records_; }
    /// The unit that a raw node name belongs to, or -1.
    int unit_of_raw(const std::string &raw) const;

private:
    // The steps of reading: what the records say of each raw node, the
    // directory tree over them, the units in breadth-first order, the
    // parent and child links with the file counts, the edges between units.
    struct Facts;
    using Children = std::unordered_map<std::string, std::vector<std::string>>;
    Facts sort_records();
    Children directory_tree(const Facts &facts) const;
    void place_units(const std::string &root, const Facts &facts, const Children &children_of);
    Unit make_unit(const std::string &name, const Facts &facts, bool holds_units) const;
    void link_units(const Children &children_of);
    void collect_edges();

    std::vector<Record> records_;
    std::vector<const Record *> edge_records_, layername_records_;
    std::unordered_map<std::string, std::vector<const Record *>> own_;
    std::vector<Unit> units_;
    std::vector<UnitEdge> edges_;
    std::unordered_map<std::string, int> by_id_, by_raw_;
    std::string layer_names_[2];
    int root_ = -1;
};

/// Splits RSF text into records; throws std::runtime_error on a record cut short.
std::vector<Record> parse_rsf(std::string_view text);

} // namespace traceview
