// The spool: what a recorded build yields, written as it happens and turned
// into rows only afterwards.  The capturing side (the make shim, the library
// preloaded into the real make) writes it; the loading side reads it and
// stores one build in "DAVER" in one transaction.  A spool left behind by a
// failed load is loaded later with `tracemake load DIR`.
//
// Layout of a spool folder DIR:
//
//   DIR/build.tsv          the build: one "key<TAB>value" line per key
//       label              the build's label
//       replace            1 when an earlier build of that label is replaced, else 0
//       topdir             directory the build was started in
//       command            the make command as the user gave it (words joined by spaces)
//       path               PATH as the user had it (the recorder puts its shim first)
//       start, end         wall-clock times, seconds since the epoch with fraction ("1765136182.123456")
//       status             the build's exit status (128 + N when ended by signal N)
//       complete           1 when the build ran to its end, 0 when it was stopped (Ctrl-C, a signal)
//       shimdir            the folder holding the `make` shim, put first in the build's PATH
//       preload            path of the library preloaded into each real make
//   DIR/digest-table.bin  the digests that the build's make processes took, in a table of fixed
//                          size that each maps (capture/end_digests.h), so that a file content is
//                          read once per build; there while make runs, gone before the load
//   DIR/procs/ID/          one folder per make process; ID is unique within the spool
//       proc.tsv           "key<TAB>value" lines, written by the shim when make has ended; for a
//                          sub-make that make started itself, by the library in the parent make:
//                          the keys up to start when it starts, pid, end and status (and lost)
//                          when the parent reaps it.  A later line of a key wins.  One without
//                          status tells of a make that was not seen to end:
//           parent         ID of the make process whose recipe started this one; empty for the top make
//           parent_target  name of the target (as the parent make knows it) whose recipe started
//                          this make; empty when not known
//           startdir       working directory when the process started (before any -C)
//           cmdline        the command line as the process was started, the recorder's own
//                          additions removed (PS_CMDLINE)
//           pid            process id of the make
//           start, end     as in build.tsv
//           status         exit status of the make
//           argv0          argv[0] as the shim was started ("make", "/usr/bin/make", ...)
//           lost           what of this process's record the recorder could not write or read (the
//                          error); missing when nothing was lost
//           (a key that this list does not name, as user_p and restarts of older spools, is
//           left unread; how often make re-executed itself, its data base tells as MAKE_RESTARTS)
//       db.txt             the last data base that make printed (`make -p`), untouched; missing
//                          when the process printed none (killed before its end)
//       exec.tsv           "target<TAB>command" lines, one per program that make itself
//                          started for a recipe, in the order started: the command exactly as
//                          run (the text given to the shell after -c, or the argv words joined
//                          by single spaces when make ran the program directly)
//       digests.tsv        "path<TAB>sha256-hex<TAB>mtime" lines, one per regular file that make
//                          asked the status of, hashed when make exited; the path as in status.tsv
//                          (older spools: one per existing file that the data base names, the
//                          path lexically normal); mtime is its modification time, seconds since
//                          the epoch with fraction (older spools have no third field).  Missing
//                          when make did not exit normally, or the file could not be written
//                          whole.  A file that make named but never looked at gets its digest at
//                          the load, when it has not changed since make ended.
//       status.tsv         "path<TAB>first<TAB>last" lines, one per path that the real make asked
//                          the status of (stat, lstat, fstatat): what make saw before it updated
//                          anything.  path is absolute (a relative one joined to make's working
//                          directory when make first asked, not normalised); first is the
//                          modification time at make's first status call on it, last when make
//                          ended, each "SECONDS.NANOSECONDS" or "-" when there was no such file.
//                          Written when make exits and before it re-executes itself, so that a
//                          path may come again after a restart: its first line counts.  Missing
//                          when make did not exit normally, and in spools of recorders older
//                          than the file.
//
// Every value is written in PostgreSQL's COPY text form (escape_field): a
// backslash, tab, newline and carriage return become "\\", "\t", "\n" and
// "\r", so that one line is one record and values may hold any byte but NUL.
// What the recorder adds to a build's processes, and the loader takes out
// of every row again (nothing of the recorder's own making is stored):
//   - environment variables TRACEMAKE_SPOOL (spool folder), TRACEMAKE_PROC
//     (ID of the make process whose recipes run), TRACEMAKE_REAL_MAKE (the
//     real make's path) and any other TRACEMAKE_* name;
//   - the make variable TRACEMAKE_TARGET, exported with `--eval` as $@, so
//     that each recipe's processes know their target;
//   - the shim folder (shimdir) first in PATH, the preload library (preload)
//     in the real make's LD_PRELOAD;
//   - the --eval in MAKEFLAGS;
//   - MAKE and MAKE_COMMAND naming the shim's path: argv0 is what the build
//     would have shown.
// The files of one make process are written only by the one that starts it
// (its shim, or its parent make's library: proc.tsv) and its real make, so
// no file has two writers.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace spool {

inline constexpr const char *build_file = "build.tsv";
inline constexpr const char *procs_dir = "procs";
inline constexpr const char *proc_file = "proc.tsv";
inline constexpr const char *database_file = "db.txt";
inline constexpr const char *exec_file = "exec.tsv";
inline constexpr const char *digest_file = "digests.tsv";
inline constexpr const char *status_file = "status.tsv";

/// A value in COPY text form: backslash, tab, newline and CR escaped.
std::string escape_field(std::string_view value);
/// Appends `value` in COPY text form to `out` (what escape_field returns).
void append_field(std::string &out, std::string_view value);
/// The value that escape_field turned into `field`.
std::string unescape_field(std::string_view field);

/// Splits one line (without its newline) at tabs and unescapes each field.
std::vector<std::string> split_record(std::string_view line);
/// Joins fields into one line with tabs, each escaped, ending in a newline.
std::string join_record(const std::vector<std::string> &fields);

/// The "key<TAB>value" lines of a file as a map; a missing file reads as
/// empty, one that cannot be read throws std::runtime_error.
std::map<std::string, std::string> read_keys(const std::filesystem::path &file);
/// Writes "key<TAB>value" lines, replacing the file (written to a temporary name, then renamed).
void write_keys(const std::filesystem::path &file, const std::map<std::string, std::string> &keys);

/// Every record of a tab-separated file (one vector of fields per line); a
/// missing file reads as none, one that cannot be read throws std::runtime_error.
std::vector<std::vector<std::string>> read_records(const std::filesystem::path &file);

} // namespace spool
