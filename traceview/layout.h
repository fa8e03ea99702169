// From an RSF view to SVG: relplot writes the DOT text, Graphviz's dot lays
// it out upright (relplot's DOT asks for landscape).  Layouts are kept by
// the SHA-256 digest of what they are drawn from (the view's relation text
// and what is set on relplot's DOT text; relplot and dot give the same picture for the same
// input), so a view drawn once comes back without either program; a layout
// that runs past its time is stopped.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <semaphore>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "private_dir.h"
#include "views.h"

namespace traceview {

/// Where the programs are and how long they may take.
struct LayoutSettings {
    std::string relplot;                                ///< path of relplot
    std::string dot = "/usr/bin/dot";                   ///< path of Graphviz dot
    std::chrono::milliseconds relplot_time{10000};      ///< relplot's time limit
    std::chrono::milliseconds dot_time{20000};          ///< dot's time limit
    unsigned long dot_memory = 2048UL << 20;            ///< dot's address-space limit
    std::size_t cache_bytes = 256UL << 20;              ///< SVG text kept at most
};

/// The outcome of drawing one view.
struct Layout {
    bool ok = false;
    bool timed_out = false;     ///< dot ran past its time and was stopped
    bool cached = false;        ///< the SVG came from the cache
    std::string svg;            ///< the drawing (when ok)
    std::string digest;         ///< SHA-256 of the view's relation text and box labels, hex
    std::string error;          ///< what went wrong, for the page
};

/// Draws views and keeps their layouts; safe to use from several threads.
class LayoutEngine {
public:
    LayoutEngine(LayoutSettings settings, const PrivateDir &scratch);

    /// Draws the RSF text `rsf`, with `extras` (box and frame labels, edge counts) set on relplot's DOT text.
    Layout draw(const std::string &rsf, const DotExtras &extras);

private:
    /// relplot's DOT text of `rsf` with `extras` set; throws NoDotText saying why there is none.
    std::string dot_text(const std::string &rsf, const DotExtras &extras);
    bool lookup(const std::string &digest, std::string &svg);
    void keep(const std::string &digest, const std::string &svg);

    LayoutSettings settings_;
    const PrivateDir &scratch_;
    std::mutex mutex_;
    std::list<std::string> order_;   // digests, most recently used first
    std::unordered_map<std::string, std::pair<std::string, std::list<std::string>::iterator>> cache_;
    std::size_t cached_bytes_ = 0;
    // dot may take 2 GB and all of a core: no more than two run at once,
    // whatever the number of requests.
    std::counting_semaphore<> dot_slots_{2};
};

} // namespace traceview
