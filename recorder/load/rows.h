// A spool turned into the rows of one recorded build: what every make
// process of the build knew, with the recorder's own additions taken out,
// as COPY text per table, ready to be sent to the server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "load/late_digests.h"
#include "load/make_reasons.h"
#include "makedb/makedb.h"

namespace rows {

/// One make process of the spool, read and cleaned.
struct Process {
    Process() = default;
    // `files` points into `db`: a copy would point into the original.  A
    // move takes the data base's files along, so the pointers stay good.
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&) = default;
    Process &operator=(Process &&) = default;

    std::filesystem::path folder;                         ///< its folder under procs/
    std::string id;                                       ///< the folder's name
    std::map<std::string, std::string> keys;              ///< proc.tsv
    std::optional<makedb::Database> db;                   ///< none when it printed no data base
    std::string dir;                                      ///< working directory: CURDIR, else where it started
    std::vector<const makedb::File *> files;              ///< the files that become instances, in order
    std::map<std::string, std::string, std::less<>> executed; ///< target name -> commands run, one a line
    /// absolute path -> SHA-256 and modification time as the spool has them (no time in older spools)
    std::map<std::string, late_digests::Digest, std::less<>> digests;
    std::optional<make_reasons::Statuses> statuses;       ///< status.tsv; none in a spool without it
    std::vector<std::string> lost; ///< what of its record could not be written or read: the build is incomplete
};

/// A whole spool.
struct Spool {
    std::map<std::string, std::string> build; ///< build.tsv
    std::vector<Process> procs;               ///< in order of start
};

/// The spool in `dir` with each process's proc.tsv, in order of start, but
/// nothing else of the processes read yet; throws std::runtime_error when it is not a spool.
Spool list_spool(const std::filesystem::path &dir);

/// Reads the rest of each process of a listed spool (data base, commands,
/// digests) on every core, in the spool's order, while its owner goes on.
class Reader {
public:
    explicit Reader(Spool &spool);
    /// Stops the reading and waits for the threads.
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    /// Returns once process `index` is read; throws what reading a process threw.
    void wait(std::size_t index);

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// One line per make process whose record is not whole, naming it and what was lost; empty when all are whole.
std::vector<std::string> losses(const Spool &spool);

/// How many instances the processes of `spool` have.
std::size_t instance_count(const Spool &spool);

/// Appends the COPY text of the variables of `proc`, whose OID is `oid`; returns how many.
std::size_t append_variable_rows(const Process &proc, std::int64_t oid, std::string &out);

/// The COPY text of each table but ZTR_VARIABLE (columns as in the lists below) and the counts.
struct Tables {
    std::string makeproc, fileinst, prereq, targetvar, reason;
    std::size_t instances = 0, executed = 0, prereqs = 0, reasons = 0; ///< executed: instances whose commands ran
    std::int64_t top_proc = -1; ///< OID of the top make process, or -1 when the spool has none
};

/// Takes COPY text (whole lines) while rows are still being made.
using TextSink = std::function<void(std::string_view)>;

/// The rows of `spool`: the processes numbered from `first_proc`, their
/// instances from `first_instance`.  With `fileinst`, the ZTR_FILEINST text
/// goes there in pieces of about a MiB as it is made (so that the server
/// takes them in meanwhile) instead of into the result.
Tables make_rows(const Spool &spool, std::int64_t first_proc, std::int64_t first_instance,
                 const TextSink &fileinst = {});

/// The column lists that the COPY text of the tables follows.
inline constexpr const char *makeproc_columns =
    "ZTR_MAKEPROC (OID, PS_CMDLINE, PS_VERSION, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR, PS_STATUS, PS_START, PS_END)";
inline constexpr const char *fileinst_columns =
    "ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS, INST_ISPHONY, "
    "INST_ISTARGET, INST_ISDBLCLN, INST_ISGOAL, INST_DBLCOUNT, INST_DIGEST, INST_MTIME)";
inline constexpr const char *variable_columns = "ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC)";
inline constexpr const char *prereq_columns = "ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY)";
inline constexpr const char *reason_columns =
    "ZTR_REASON (RSN_INST, RSN_POS, RSN_KIND, RSN_PREREQ, RSN_REMADE, RSN_NOTE)";
inline constexpr const char *targetvar_columns = "ZTR_TARGETVAR (TV_INST, TV_NAME, TV_OP, TV_VALUE, TV_SOURCE)";

/// A wall-clock time of the spool ("1765136182.123456") as a timestamptz
/// literal in UTC; empty stays empty, anything else throws std::runtime_error.
std::string timestamp(const std::string &epoch_seconds);

} // namespace rows
