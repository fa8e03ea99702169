// The fixed query texts of the six query tools, as the tests expect them:
// a rejected query shows up in a report as its text with the values typed
// in place of the "%s".  Written here independently of the tools' sources,
// so that a changed byte in a tool's text is caught.  Also how the tests
// that drive every tool put a tool's command line and environment together.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace testsupport {

inline const std::string envshow_query =
    "SELECT VAR_NAME, VAR_VALUE, VAR_SOURCE\t\t\tFROM ZTR_FILEINST, ZTR_VARIABLE\t\t       WHERE ZTR_FILEINST.OID = "
    "%s\t\t         AND INST_PROC = VAR_PROC\t\t\t AND VAR_SOURCE IN (1, 2, 3, 4, 5, 6)\t\t       ORDER BY VAR_SOURCE, "
    "VAR_NAME";

inline const std::string recipeshow_query =
    "SELECT INST_NAME, INST_DIR, INST_CMDSTXT, INST_EXECMDS\t\t\tFROM ZTR_FILEINST\t\t       WHERE OID = %s";

inline const std::string procshow_query =
    "SELECT INST_NAME, INST_DIR, PS_CMDLINE\t\t\tFROM ZTR_MAKEPROC, ZTR_FILEINST\t\t       WHERE ZTR_FILEINST.OID = "
    "%s\t\t         AND INST_PROC = ZTR_MAKEPROC.OID";

inline const std::string envdiff_query =
    "SELECT ZTR_FILEINST.INST_NAME, \t\t\t     VAR_NAME, VAR_VALUE, VAR_SOURCE\t\t\tFROM ZTR_FILEINST, "
    "ZTR_VARIABLE\t\t       WHERE ZTR_FILEINST.OID = %s\t\t         AND INST_PROC = VAR_PROC\t\t\t AND VAR_SOURCE "
    "IN (1, 2, 3, 4, 5, 6)\t\t       ORDER BY VAR_NAME, VAR_SOURCE";

inline const std::string rulediff_query =
    "SELECT INST_NAME, INST_CMDSTXT, INST_EXECMDS,\t\t\t      INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN,\t\t\t    "
    "  INST_DIR \t\t\t FROM ZTR_FILEINST\t\t\tWHERE OID = %s";

/// Its three "%s" stand for the version label, the name and the directory.
inline const std::string changescan_query =
    "SELECT OID \t\t\t FROM ZTR_FILEINST\t\t\tWHERE INST_VERSION = '%s' \t\t\t  AND INST_NAME = '%s'\t\t\t  AND "
    "INST_DIR = '%s' ";

/// `query` with each "%s" replaced by the next of `values`, as typed: the
/// message that die writes for a rejected query.
inline std::string query_with(std::string query, std::initializer_list<std::string> values)
{
    std::size_t at = 0;
    for (const auto &value : values) {
        at = query.find("%s", at);
        query.replace(at, 2, value);
        at += value.size();
    }
    return query;
}

/// The command line of the tool `program` with `args`, where "{report}"
/// and "{list}" stand for the paths `report` and `list`.
inline std::vector<std::string> tool_argv(const std::string &program, const std::vector<std::string> &args,
                                          const std::string &report, const std::string &list)
{
    std::vector<std::string> argv = {bin_path(program)};
    for (const auto &arg : args)
        argv.push_back(arg == "{report}" ? report : arg == "{list}" ? list : arg);
    return argv;
}

/// A tool run with the environment entries `env`, named `application` to
/// the server, so that the server's views and log tell its statements.
inline RunOptions tool_options(std::vector<std::string> env, const std::string &application)
{
    env.push_back("PGAPPNAME=" + application);
    RunOptions options;
    options.extra_env = std::move(env);
    return options;
}

} // namespace testsupport
