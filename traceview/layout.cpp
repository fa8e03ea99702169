#include "layout.h"

#include <csignal>
#include <cstdint>

#include <map>
#include <memory>
#include <stdexcept>

#include "child.h"
#include "common/sha256.h"
#include "views.h"

namespace traceview {

namespace {

constexpr std::size_t dot_text_cap = 256UL << 20;
constexpr std::size_t svg_cap = 256UL << 20;

// Reads a DOT-quoted id at `at` (relplot escapes only '"' and '\\').
bool read_quoted(const std::string &text, std::size_t &at, std::string &id)
{
    if (at >= text.size() || text[at] != '"')
        return false;
    id.clear();
    for (++at; at < text.size() && text[at] != '"' && text[at] != '\n'; ++at) {
        if (text[at] == '\\' && at + 1 < text.size())
            ++at;
        id += text[at];
    }
    if (at >= text.size() || text[at] != '"')
        return false;
    ++at;
    return true;
}

// A merged edge shows how many dependencies it stands for: a label from
// two on, and a line that grows with the count.
std::string edge_attributes(std::size_t count, bool straight)
{
    std::size_t width = 1;
    for (std::size_t n = count; n >= 4 && width < 4; n /= 4)
        ++width;
    std::string attributes = "penwidth=" + std::to_string(width) + ",";
    // Straight edges leave the rows and frames where the hints put them.
    if (straight)
        attributes += "constraint=false,color=\"#1a5fb499\",";
    // An external label is placed after the layout and so does not widen it.
    if (count > 1)
        attributes += "xlabel=\"" + std::to_string(count) + "\",fontsize=11,fontcolor=gray30,";
    return attributes;
}

// Sets the attributes of the merged edges on relplot's edge lines: a tab,
// two quoted ids joined by "->", then '['.
void mark_edges(std::string &dot, const std::vector<EdgeMark> &marks, bool straight)
{
    if (marks.empty())
        return;
    std::map<std::pair<std::string, std::string>, std::size_t> counts;
    for (const EdgeMark &m : marks)
        counts[{m.from, m.to}] = m.count;
    std::string out;
    out.reserve(dot.size() + marks.size() * 32);
    std::size_t line = 0;
    std::string from, to;
    while (line < dot.size()) {
        const std::size_t end = std::min(dot.find('\n', line), dot.size());
        std::size_t at = line + 1;
        if (dot[line] == '\t' && read_quoted(dot, at, from) && dot.compare(at, 2, "->") == 0 &&
            read_quoted(dot, at += 2, to) && at < end && dot[at] == '[') {
            const auto it = counts.find({from, to});
            if (it != counts.end()) {
                out.append(dot, line, at + 1 - line);
                out += edge_attributes(it->second, straight);
                line = at + 1;
            }
        }
        out.append(dot, line, end + 1 - line);
        line = end + 1;
    }
    dot.swap(out);
}

// relplot gave no DOT text; what() says why, for the page.
struct NoDotText : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

LayoutEngine::LayoutEngine(LayoutSettings settings, const PrivateDir &scratch)
    : settings_(std::move(settings)), scratch_(scratch)
{
}

std::string LayoutEngine::dot_text(const std::string &rsf, const DotExtras &extras)
{
    ScratchFile in(scratch_, "view-rsf"), out(scratch_, "view-dot");
    in.write(rsf);
    const child::Result run =
        child::run({settings_.relplot, in.path(), out.path()}, child_options(settings_.relplot_time, 64 * 1024));
    // relplot's messages go to standard output.
    if (!run.ok())
        throw NoDotText(with_said("relplot " + run.failure(), last_line(run.out + run.err)));
    bool truncated = false;
    std::string dot = out.read(dot_text_cap, truncated);
    if (truncated || dot.rfind('}') == std::string::npos)
        throw NoDotText("relplot wrote no complete DOT text");
    mark_edges(dot, extras.edges, extras.straight);
    // Labels of the boxes and frames go in as statements after relplot's own: the later attribute wins.
    std::string extra;
    for (const auto &[id, label] : extras.labels)
        extra += dot_label_statement(id, label);
    for (const auto &[id, label] : extras.cluster_labels)
        extra += dot_cluster_label_statement(id, label);
    for (const auto &[from, to] : extras.hints)
        extra += "\t" + dot_quote(from) + "->" + dot_quote(to) + "[style=invis];\n";
    // The drawing at its own size: the page fits it to the window.  relplot
    // asks for one of 10 x 7.5 inches filled, which squeezes a wide view
    // until no label can be read.
    extra += "\tsize=\"1000,1000\"; ratio=auto;\n";
    if (extras.straight)
        extra += "\tsplines=line;\n";
    dot.insert(dot.rfind('}'), extra);
    return dot;
}

Layout LayoutEngine::draw(const std::string &rsf, const DotExtras &extras)
{
    Layout layout;
    // Each part with its length first, so that no two inputs read alike.
    std::string input = std::to_string(rsf.size()) + ":" + rsf;
    auto part = [&input](const std::string &text) { input += std::to_string(text.size()) + ":" + text; };
    for (const auto &[id, label] : extras.labels) {
        part(id);
        part(label);
    }
    input += "|";
    for (const auto &[id, label] : extras.cluster_labels) {
        part(id);
        part(label);
    }
    input += "|";
    for (const auto &[from, to] : extras.hints) {
        part(from);
        part(to);
    }
    input += extras.straight ? "|straight|" : "|";
    for (const EdgeMark &m : extras.edges) {
        part(m.from);
        part(m.to);
        part(std::to_string(m.count));
    }
    layout.digest = sha256::hex(input);
    if (lookup(layout.digest, layout.svg)) {
        layout.ok = layout.cached = true;
        return layout;
    }
    ScratchFile in(scratch_, "view-gv");
    try {
        in.write(dot_text(rsf, extras));
    } catch (const NoDotText &e) {
        layout.error = e.what();
        return layout;
    }
    child::Options limits = child_options(settings_.dot_time, svg_cap);
    limits.limits.memory_bytes = settings_.dot_memory;
    limits.limits.cpu_seconds = static_cast<unsigned long>(settings_.dot_time.count() / 1000 + 1);
    if (!dot_slots_.try_acquire_for(settings_.dot_time)) {
        layout.error = "too many views are being laid out at once; try again";
        return layout;
    }
    struct SlotBack {
        std::counting_semaphore<> &slots;
        ~SlotBack() { slots.release(); }
    } slot_back{dot_slots_};
    const child::Result run = child::run({settings_.dot, "-Tsvg", "-Grotate=0", in.path()}, limits);
    if (run.timed_out || run.term_signal == SIGXCPU) {
        layout.timed_out = true;
        layout.error = "the layout took longer than " + std::to_string(settings_.dot_time.count() / 1000) +
                       " s and was stopped";
        return layout;
    }
    if (!run.ok() || run.truncated) {
        layout.error = with_said("dot " + (run.truncated ? std::string("wrote more than the SVG limit") : run.failure()),
                                 last_line(run.err));
        return layout;
    }
    layout.ok = true;
    layout.svg = run.out;
    keep(layout.digest, layout.svg);
    return layout;
}

bool LayoutEngine::lookup(const std::string &digest, std::string &svg)
{
    std::lock_guard lock(mutex_);
    auto it = cache_.find(digest);
    if (it == cache_.end())
        return false;
    order_.splice(order_.begin(), order_, it->second.second);
    svg = it->second.first;
    return true;
}

void LayoutEngine::keep(const std::string &digest, const std::string &svg)
{
    std::lock_guard lock(mutex_);
    if (cache_.count(digest) != 0 || svg.size() > settings_.cache_bytes)
        return;
    order_.push_front(digest);
    cache_.emplace(digest, std::make_pair(svg, order_.begin()));
    cached_bytes_ += svg.size();
    while (cached_bytes_ > settings_.cache_bytes) {
        auto old = cache_.find(order_.back());
        cached_bytes_ -= old->second.first.size();
        cache_.erase(old);
        order_.pop_back();
    }
}

} // namespace traceview
