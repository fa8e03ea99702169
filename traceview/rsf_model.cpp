#include "rsf_model.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <unordered_set>

namespace traceview {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Relations whose subject is the node the record describes.
bool describes_subject(const std::string &relation)
{
    static const std::unordered_set<std::string> own = {"FILE", "PHONY", "TARGET", "GOAL", "EXECUTED",
                                                        "DBLCLN", "LAYER", "DIFF"};
    return own.count(relation) != 0;
}

bool is_edge(const std::string &relation) { return relation == "INVOKE" || relation == "DEPENDON"; }

bool known_relation(const std::string &relation)
{
    return describes_subject(relation) || is_edge(relation) || relation == "CONTAIN" || relation == "ROOT" ||
           relation == "LAYERNAME" || relation == "SAME";
}

std::string last_part(const std::string &name)
{
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos || slash + 1 == name.size())
        return name;
    return name.substr(slash + 1);
}

} // namespace

std::vector<Record> parse_rsf(std::string_view text)
{
    std::vector<Record> records;
    std::string tokens[3];
    int filled = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !is_space(text[i]))
            ++i;
        if (start == i)
            break;
        tokens[filled++] = std::string(text.substr(start, i - start));
        if (filled == 3) {
            records.push_back({std::move(tokens[0]), std::move(tokens[1]), std::move(tokens[2])});
            filled = 0;
        }
    }
    if (filled != 0)
        throw std::runtime_error("the relation file ends inside a record");
    return records;
}

// What the records say of each raw node.
struct RsfModel::Facts {
    std::unordered_map<std::string, std::string> parent_of, partner_of, file_label;
    std::unordered_set<std::string> dup, files, diff, goals;
    std::unordered_map<std::string, std::string> layer_of;
    std::string root_name = "/";

    // relplot draws the pair under its subject's name and walks both
    // partners' children inside the subject's cluster.
    const std::string &canonical(const std::string &raw) const
    {
        if (dup.count(raw) != 0)
            return partner_of.at(raw);
        return raw;
    }
};

RsfModel::RsfModel(std::string_view text) : records_(parse_rsf(text))
{
    const Facts facts = sort_records();
    const Children children_of = directory_tree(facts);
    const std::string &root_canonical = facts.canonical(facts.root_name);
    if (children_of.count(root_canonical) == 0)
        return;
    place_units(root_canonical, facts, children_of);
    link_units(children_of);
    root_ = 0;
    collect_edges();
}

RsfModel::Facts RsfModel::sort_records()
{
    Facts facts;
    for (const Record &r : records_) {
        if (!known_relation(r.relation))
            throw std::runtime_error("unrecognized relation: " + r.relation);
        if (describes_subject(r.relation)) {
            own_[r.subject].push_back(&r);
            if (r.relation == "LAYER") {
                auto [it, fresh] = facts.layer_of.emplace(r.subject, r.object);
                if (!fresh)
                    it->second = "all";
            } else if (r.relation == "DIFF") {
                facts.diff.insert(r.subject);
            } else {
                facts.files.insert(r.subject);
                if (r.relation == "FILE")
                    facts.file_label[r.subject] = r.object;
                if (r.relation == "GOAL")
                    facts.goals.insert(r.subject);
            }
        } else if (r.relation == "CONTAIN") {
            if (r.subject == r.object || facts.parent_of.count(r.object) != 0)
                throw std::runtime_error("the CONTAIN records do not form a tree at " + r.object);
            facts.parent_of[r.object] = r.subject;
            own_[r.object].push_back(&r);
        } else if (is_edge(r.relation)) {
            edge_records_.push_back(&r);
        } else if (r.relation == "SAME") {
            if (r.subject != r.object) {
                facts.partner_of[r.subject] = r.object;
                facts.partner_of[r.object] = r.subject;
                facts.dup.insert(r.object);
            }
        } else if (r.relation == "ROOT") {
            facts.root_name = r.subject;
        } else if (r.relation == "LAYERNAME") {
            layername_records_.push_back(&r);
            layer_names_[std::atoi(r.object.c_str()) == 1 ? 1 : 0] = r.subject;
        }
    }
    return facts;
}

RsfModel::Children RsfModel::directory_tree(const Facts &facts) const
{
    Children children_of;
    std::unordered_set<std::string> placed;
    for (const Record &r : records_) {
        if (r.relation != "CONTAIN")
            continue;
        const std::string &child = facts.canonical(r.object);
        if (placed.insert(child).second)
            children_of[facts.canonical(r.subject)].push_back(child);
    }
    return children_of;
}

// Breadth first from the root, so that a parent's index is below its children's.
void RsfModel::place_units(const std::string &root, const Facts &facts, const Children &children_of)
{
    std::vector<std::string> order{root};
    for (std::size_t at = 0; at < order.size(); ++at) {
        const std::string name = order[at];
        auto kids = children_of.find(name);
        Unit u = make_unit(name, facts, kids != children_of.end());
        const int index = static_cast<int>(units_.size());
        by_id_[u.id] = index;
        by_raw_[name] = index;
        if (!u.partner.empty())
            by_raw_[u.partner] = index;
        units_.push_back(std::move(u));
        if (kids != children_of.end()) {
            for (const std::string &k : kids->second) {
                if (by_raw_.count(k) != 0)
                    throw std::runtime_error("the CONTAIN records run in a circle at " + k);
                order.push_back(k);
            }
        }
    }
}

Unit RsfModel::make_unit(const std::string &name, const Facts &facts, bool holds_units) const
{
    Unit u;
    u.primary = name;
    auto partner = facts.partner_of.find(name);
    if (partner != facts.partner_of.end())
        u.partner = partner->second;
    u.is_dir = holds_units || facts.files.count(name) == 0;
    u.id = (!u.is_dir && !u.partner.empty()) ? name + " " + u.partner : name;
    auto label = facts.file_label.find(name);
    u.name = label != facts.file_label.end() ? label->second : last_part(name);
    u.changed = facts.diff.count(name) != 0 || (!u.partner.empty() && facts.diff.count(u.partner) != 0);
    u.goal = facts.goals.count(name) != 0;
    if (auto up = facts.parent_of.find(name); up != facts.parent_of.end())
        u.dir = up->second;
    if (u.partner.empty()) {
        auto layer = facts.layer_of.find(name);
        if (layer != facts.layer_of.end() && !layer_names_[0].empty() && layer->second == layer_names_[0])
            u.only_in_layer = 0;
        else if (layer != facts.layer_of.end() && !layer_names_[1].empty() && layer->second == layer_names_[1])
            u.only_in_layer = 1;
    }
    return u;
}

// Parents and children from the order of the units, then the files below each directory.
void RsfModel::link_units(const Children &children_of)
{
    for (std::size_t i = 0; i < units_.size(); ++i) {
        auto kids = children_of.find(units_[i].primary);
        if (kids == children_of.end())
            continue;
        for (const std::string &k : kids->second) {
            const int child = by_raw_.at(k);
            units_[child].parent = static_cast<int>(i);
            units_[i].children.push_back(child);
        }
    }
    for (std::size_t i = units_.size(); i-- > 0;) {
        Unit &u = units_[i];
        if (!u.is_dir)
            u.files_below = 1;
        if (u.parent >= 0)
            units_[u.parent].files_below += u.files_below;
    }
}

// One edge for each distinct pair of units and kind, in the order of the records.
void RsfModel::collect_edges()
{
    std::unordered_set<unsigned long long> seen;
    for (const Record *edge : edge_records_) {
        const Record &r = *edge;
        const int from = unit_of_raw(r.subject), to = unit_of_raw(r.object);
        if (from < 0 || to < 0)
            continue;
        const bool invoke = r.relation == "INVOKE";
        const unsigned long long key = (static_cast<unsigned long long>(from) << 33) |
                                       (static_cast<unsigned long long>(to) << 1) | (invoke ? 1 : 0);
        if (seen.insert(key).second)
            edges_.push_back({from, to, invoke});
    }
}

int RsfModel::find_unit(const std::string &id) const
{
    auto it = by_id_.find(id);
    return it == by_id_.end() ? -1 : it->second;
}

int RsfModel::unit_of_raw(const std::string &raw) const
{
    auto it = by_raw_.find(raw);
    return it == by_raw_.end() ? -1 : it->second;
}

std::string RsfModel::path_of(int unit) const
{
    const Unit &u = units_[static_cast<std::size_t>(unit)];
    if (u.is_dir || u.dir.empty())
        return u.primary;
    return u.dir.back() == '/' ? u.dir + u.name : u.dir + "/" + u.name;
}

std::size_t RsfModel::file_count() const { return units_.empty() ? 0 : units_[0].files_below; }

const std::vector<const Record *> &RsfModel::own_records(const std::string &raw) const
{
    static const std::vector<const Record *> none;
    auto it = own_.find(raw);
    return it == own_.end() ? none : it->second;
}

} // namespace traceview
