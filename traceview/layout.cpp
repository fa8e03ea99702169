#include "layout.h"

#include <csignal>
#include <memory>
#include <stdexcept>

#include "child.h"
#include "common/sha256.h"
#include "views.h"

namespace traceview {

namespace {

constexpr std::size_t dot_text_cap = 256UL << 20;
constexpr std::size_t svg_cap = 256UL << 20;

// relplot gave no DOT text; what() says why, for the page.
struct NoDotText : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

LayoutEngine::LayoutEngine(LayoutSettings settings, const PrivateDir &scratch)
    : settings_(std::move(settings)), scratch_(scratch)
{
}

std::string LayoutEngine::dot_text(const std::string &rsf,
                                   const std::vector<std::pair<std::string, std::string>> &labels)
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
    const std::size_t close = dot.rfind('}');
    if (truncated || close == std::string::npos)
        throw NoDotText("relplot wrote no complete DOT text");
    // Labels of the boxes go in as node statements after relplot's own: the later attribute wins.
    std::string extra;
    for (const auto &[id, label] : labels)
        extra += dot_label_statement(id, label);
    dot.insert(close, extra);
    return dot;
}

Layout LayoutEngine::draw(const std::string &rsf, const std::vector<std::pair<std::string, std::string>> &labels)
{
    Layout layout;
    // Each part with its length first, so that no two inputs read alike.
    std::string input = std::to_string(rsf.size()) + ":" + rsf;
    for (const auto &[id, label] : labels)
        input += std::to_string(id.size()) + ":" + id + std::to_string(label.size()) + ":" + label;
    layout.digest = sha256::hex(input);
    if (lookup(layout.digest, layout.svg)) {
        layout.ok = layout.cached = true;
        return layout;
    }
    ScratchFile in(scratch_, "view-gv");
    try {
        in.write(dot_text(rsf, labels));
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
