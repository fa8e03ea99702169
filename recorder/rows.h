// A spool turned into the rows of one recorded build: what every make
// process of the build knew, with the recorder's own additions taken out,
// as COPY text per table, ready to be sent to the server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "makedb.h"

namespace rows {

/// One make process of the spool, read and cleaned.
struct Process {
    std::string id;                                       ///< its folder name under procs/
    std::map<std::string, std::string> keys;              ///< proc.tsv
    std::optional<makedb::Database> db;                   ///< none when it printed no data base
    std::string dir;                                      ///< working directory: CURDIR, else where it started
    std::vector<const makedb::File *> files;              ///< the files that become instances, in order
    std::map<std::string, std::string, std::less<>> executed; ///< target name -> commands run, one a line
    std::map<std::string, std::string, std::less<>> digests;  ///< absolute path -> SHA-256
};

/// A whole spool, read.
struct Spool {
    std::map<std::string, std::string> build; ///< build.tsv
    std::vector<Process> procs;               ///< in order of start
};

/// The directory and the name of an instance: the name's directory part joined
/// to the process's working directory, lexically normal, and its last part.
std::pair<std::string, std::string> instance_location(const std::string &workdir, const std::string &name);

/// Reads the spool in `dir`; throws std::runtime_error when it is not one.
Spool read_spool(const std::filesystem::path &dir);

/// How many OIDs the rows of `spool` take.
std::size_t oid_count(const Spool &spool);

/// The COPY text of each table (columns as in copy_columns) and the counts.
struct Tables {
    std::string makeproc, fileinst, variable, prereq, targetvar;
    std::size_t procs = 0, instances = 0, variables = 0, prereqs = 0;
    std::int64_t top_proc = -1; ///< OID of the top make process, or -1 when the spool has none
};

/// The rows of `spool`, OIDs numbered from `first_oid`.
Tables make_rows(const Spool &spool, std::int64_t first_oid);

/// The column lists that the COPY text of Tables follows.
inline constexpr const char *makeproc_columns =
    "ZTR_MAKEPROC (OID, PS_CMDLINE, PS_VERSION, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR, PS_STATUS, PS_START, PS_END)";
inline constexpr const char *fileinst_columns =
    "ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS, INST_ISPHONY, "
    "INST_ISTARGET, INST_ISDBLCLN, INST_ISGOAL, INST_DBLCOUNT, INST_DIGEST)";
inline constexpr const char *variable_columns = "ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC)";
inline constexpr const char *prereq_columns = "ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY)";
inline constexpr const char *targetvar_columns = "ZTR_TARGETVAR (TV_INST, TV_NAME, TV_VALUE, TV_SOURCE)";

/// A wall-clock time of the spool ("1765136182.123456") as a timestamptz literal in UTC; empty stays empty.
std::string timestamp(const std::string &epoch_seconds);

} // namespace rows
