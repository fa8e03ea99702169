// The builds the page can draw: the relation file given on the command line
// (with the DIFF lines of changescan for a change list, when one is given)
// and the builds recorded in the trace database, listed from ZTR_BUILD and
// exported by the recorder's `tracemake rsf` when the page opens them (two
// of them with the DIFF lines of changescan for `tracemake changes`).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "private_dir.h"
#include "rsf_model.h"

namespace traceview {

/// A build loaded for drawing.
struct Build {
    std::string key;                     ///< how the page names it: "rsf" or "label:A[,B]"
    std::string title;                   ///< what the page shows as its name
    std::shared_ptr<const RsfModel> model;
    std::string note;                    ///< something the page should say about it, or empty
    std::vector<std::string> labels;     ///< the recorded builds it shows, in order; none for an RSF file
    std::string recorded;                ///< for labels: their start times in ZTR_BUILD, which a build
                                         ///< recorded again under its label changes
};

/// One row of ZTR_BUILD.
struct LabelInfo {
    std::string label, topdir, cmdline, start;
    std::string status;                  ///< exit status as text, empty when not known
    bool complete = false;
};

/// A build or the trace database that cannot be had now; what() is for the user.
struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Where the helper programs are and how long they may run.
struct BuildSettings {
    std::string bin_dir;                             ///< folder of changescan and tracemake
    std::chrono::milliseconds tool_time{30000};
};

/// The loaded builds; safe to use from several threads.
class BuildRegistry {
public:
    BuildRegistry(BuildSettings settings, const PrivateDir &scratch);

    /// Loads an RSF file as build "rsf"; with `change_list`, changescan marks
    /// the listed files of the two layers.  Throws std::runtime_error.
    void load_rsf_file(const std::string &path, const std::string &change_list);
    /// The build named `key`, or null.
    std::shared_ptr<const Build> get(const std::string &key) const;
    /// The loaded builds, in the order of their keys.
    std::vector<std::shared_ptr<const Build>> loaded() const;
    /// Loads the recorded build(s) `labels` (one or two) through `tracemake rsf`,
    /// unless they are loaded and not recorded anew since; throws Unavailable
    /// when that fails.  Of the recorded builds, the `kept_labels` opened
    /// last stay loaded.
    std::shared_ptr<const Build> open_labels(const std::vector<std::string> &labels);
    /// The rows of ZTR_BUILD; throws Unavailable when the database cannot be read.
    std::vector<LabelInfo> list_labels() const;
    /// The OIDs of the instances of the recorded build `label` at each of
    /// `paths` (absolute, or relative to its top directory), by the path as
    /// given; throws Unavailable when the database cannot be read.
    std::map<std::string, std::vector<std::string>> instance_oids(const std::string &label,
                                                                  const std::vector<std::string> &paths) const;

private:
    /// The model of `text`, with the files of the change list `list` marked
    /// by changescan's DIFF lines; `note` says why they could not be.
    std::shared_ptr<const RsfModel> model_with_changes(std::string text, const std::string &list,
                                                       std::string &note) const;

    /// Loaded recorded builds at most: each may hold hundreds of megabytes.
    static constexpr std::size_t kept_labels = 8;

    /// When `labels` were recorded, as Build::recorded; nothing when the database cannot tell.
    std::optional<std::string> recorded_stamp(const std::vector<std::string> &labels) const;
    /// Adds or replaces `build`, then drops the recorded builds opened
    /// longest ago beyond kept_labels.
    std::shared_ptr<const Build> keep(std::shared_ptr<const Build> build);

    BuildSettings settings_;
    const PrivateDir &scratch_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const Build>> builds_;
    std::vector<std::string> opened_labels_; ///< keys of recorded builds, the latest opened last
};

/// True for a label that may be handed to the recorder as an argument.
bool acceptable_label(const std::string &label);

} // namespace traceview
