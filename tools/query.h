// The shared query module of the trace tools: the one connection to the
// trace database "DAVER", its transaction, the fatal-error exit `die`,
// string helpers, and the wrapped record printers of the reports.
//
// Every tool defines the two process-wide objects below; the module uses
// them.  Every failure ends the process: nothing is returned as an error.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include <libpq-fe.h>

#include "common/pg.h"

/// The run's one database connection; set by initdbconnection().
extern PGconn *conn;
/// The report stream, opened by the tool before the connection.
extern FILE *outfp;
/// Path of the report stream, named by die's line on standard error.
extern const char *report_path;

/// Owns a libpq result and clears it on every path.
using PgResult = pg::Result;

/// Answers a lone `--help` (prints `usage` and a line on the server
/// variables) or `--version` on standard output.  True when it answered;
/// the tool then exits with status 0.  Any other command line is the tool's.
bool answer_info_option(int argc, char *argv[], const char *usage);

/// Allocation that never returns null; exhaustion ends the process.
void *xmalloc(std::size_t size);

/// Writes `msg`, the connection's error text and an empty line into the
/// report, closes the connection and exits with status 1.  One line on
/// standard error names the program, what failed and the report; when the
/// report cannot take the diagnostic, all of it goes to standard error.
[[noreturn]] void die(const char *msg);
[[noreturn]] inline void die(const std::string &msg) { die(msg.c_str()); }

/// Connects `conn` to "DAVER" with libpq's defaults for host, port and user.
void initdbconnection();
/// Closes `conn`.
void enddbconnection();
/// Runs "BEGIN"; a failure ends the run through die.
void begintransaction();
/// Runs "END"; its outcome is not examined.
void endtransaction();

/// Writes the report's final "\n" and closes the report.  Returns the exit
/// status: 0 only when every byte of the report reached the file; otherwise
/// a line on standard error says so.
int closereport();

/// Compares two texts with their leading and trailing blanks (code 32)
/// ignored, in strcmp order.  Two nulls are equal; exactly one null gives 1.
/// Allocates nothing.
int xstrcmp(const char *str1, const char *str2);

// Text helpers used inside the module (declared here for its tests).

/// The one line on standard error for a run that ended with `msg` and the
/// database error text `error`: "<program>: <what failed>: <first line of
/// the error> (details in <report>)", white space runs folded to one blank.
std::string failure_line(const char *program, std::string_view msg, std::string_view error, const char *report);

/// A copy of `ptr`.
std::string xstrdup(const char *ptr);
/// The first `len` characters of `ptr` (all of it when it is shorter).
std::string xstrncpy(const char *ptr, int len);
/// `str` without its leading and trailing blanks; tabs and newlines stay.
std::string xtrim(std::string_view str);

/// The fixed query `text` with every placeholder %s replaced by the next of
/// `values`, exactly as typed: the text that die() shows for a failed query.
std::string substitute_query(std::string_view text, std::initializer_list<const char *> values);

/// The statement that is sent for `text`: each placeholder %s, and each
/// quoted '%s', becomes the next numbered parameter $1, $2, ...
std::string parameterize_query(std::string_view text);

/// Runs the fixed SELECT `text` with `values` bound as parameters, so no
/// value ever becomes part of the statement.  No result at all ends the run
/// with "meet error when SELECT command is being executed"; a status other
/// than PGRES_TUPLES_OK ends it with the substituted query text.
PgResult run_select(std::string_view text, std::initializer_list<const char *> values);

/// Writes one variable record: a header "<prefix> <source> <name>=" and the
/// value, wrapped into lines of at most 60 characters (continuations start
/// with a tab).  A header longer than a line is written whole on its own
/// line and the value follows on continuation lines.  A null name or value
/// reads as empty text, as a NULL column does.
void print_var(int source, const char *name, const char *value, const char *prefix);

/// Writes a command text line by line, each line as a tab and at most 60
/// characters; a null text writes " NONE.\n".
void print_cmd(const char *cmd);

/// run_select for a query that must find something: a result without rows
/// ends the run through die with `no_rows_msg`.
PgResult run_select_rows(std::string_view text, std::initializer_list<const char *> values, const char *no_rows_msg);

/// The lines that open and close a report block (a line holding one space,
/// then 42 "="), and the one that separates its sections (42 "-").
inline constexpr const char *report_block_edge = " \n==========================================\n";
inline constexpr const char *report_block_rule = " \n------------------------------------------\n";

/// Opens the block of one instance: the edge line, " \n<title> <dir>/<name>\n"
/// and the rule line.
void print_instance_head(const char *title, const char *dir, const char *name);
/// Closes a block: the edge line and a line holding one space.
void print_block_end();

/// Refuses a command line with too few arguments: writes the tool's two
/// lines to standard output and returns 0, the status of such a run.
int refuse_command_line(const char *line1, const char *line2);

/// The run of a tool once its command line is accepted: opens the report
/// `path` for writing (on failure writes `open_failure` to standard output
/// and returns 1), connects, begins the transaction, calls `work`, ends the
/// transaction, closes the connection and returns closereport()'s status.
/// Database failures end the run through die.
int run_report(const char *path, const char *open_failure, const std::function<void()> &work);

/// The main of a tool whose command line is a report path and one or more
/// OIDs: a lone --help shows `usage`; with too few arguments the two usage
/// lines are refused; a report that cannot be opened gives "Can not open
/// file" and 1.  Otherwise `report_block` runs for each OID in order inside
/// one transaction, and the result is closereport()'s status.
int report_main(int argc, char *argv[], const char *usage, const char *usage_line1, const char *usage_line2,
                void (*report_block)(const char *oid));
