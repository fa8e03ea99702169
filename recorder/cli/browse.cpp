// The subcommands that look at recorded builds (list, find) and the one
// that stores a spool left behind (load).
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "common/pg.h"
#include "spool/spool.h"
#include "load/store.h"

namespace {

/// Writes a result's rows as tab-separated lines under a header line of `columns`.
int print_table(const pg::Result &res, const char *columns)
{
    std::fputs(columns, stdout);
    std::fputc('\n', stdout);
    const int nrows = PQntuples(res.get()), ncols = PQnfields(res.get());
    for (int row = 0; row < nrows; ++row) {
        std::string line;
        for (int col = 0; col < ncols; ++col) {
            if (col > 0)
                line += '\t';
            // A tab or line end inside a name must not split the line.
            spool::append_field(line, PQgetvalue(res.get(), row, col));
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("tracemake: the output could not be written\n", stderr);
        return 1;
    }
    return 0;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "tracemake: %s\n", message.c_str());
    return 1;
}

int usage_error(const char *synopsis)
{
    std::fprintf(stderr, "usage: tracemake %s\n", synopsis);
    return 2;
}

} // namespace

int cmd_list(const Args &args)
{
    if (!args.empty())
        return usage_error("list");
    try {
        const pg::Connection conn = pg::connect();
        const pg::Result res = pg::query(conn.get(), R"(
            SELECT BLD_LABEL,
                   CASE WHEN BLD_COMPLETE = 1 THEN 'complete' ELSE 'incomplete' END,
                   coalesce(BLD_STATUS::text, ''),
                   coalesce(to_char(BLD_START, 'YYYY-MM-DD HH24:MI:SS TZ'), ''),
                   (SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = BLD_LABEL),
                   (SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = BLD_LABEL),
                   (SELECT count(*) FROM ZTR_VARIABLE, ZTR_MAKEPROC
                     WHERE VAR_PROC = ZTR_MAKEPROC.OID AND PS_VERSION = BLD_LABEL),
                   coalesce(BLD_TOPDIR, ''), coalesce(BLD_CMDLINE, '')
              FROM ZTR_BUILD ORDER BY BLD_START, BLD_LABEL)");
        return print_table(res, "LABEL\tSTATUS\tEXIT\tSTARTED\tPROCESSES\tINSTANCES\tVARIABLES\tDIRECTORY\tCOMMAND");
    } catch (const pg::DbError &error) {
        return fail(error.what());
    }
}

int cmd_find(const Args &args)
{
    const char *synopsis = "find [--label LABEL] WORD...";
    std::vector<pg::Param> params;
    std::string label_clause;
    std::string word_clauses;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--label" && label_clause.empty() && i + 1 < args.size()) {
            params.emplace_back(args[++i]);
            label_clause = " AND INST_VERSION = $" + std::to_string(params.size());
        } else if (args[i].starts_with("--") && args[i] != "--") {
            return usage_error(synopsis);
        } else {
            // strpos, not LIKE: a word holding '%' or '_' means just those characters.
            params.emplace_back(args[i]);
            word_clauses += " AND strpos(INST_DIR || '/' || INST_NAME, $" + std::to_string(params.size()) + ") > 0";
        }
    }
    if (word_clauses.empty())
        return usage_error(synopsis);
    try {
        const pg::Connection conn = pg::connect();
        const pg::Result res = pg::query(conn.get(), R"(
            SELECT OID, INST_VERSION, INST_DIR, INST_NAME,
                   concat_ws(',', CASE WHEN INST_ISTARGET = '1' THEN 'target' END,
                                  CASE WHEN INST_ISPHONY = '1' THEN 'phony' END,
                                  CASE WHEN INST_ISDBLCLN = '1' THEN 'double-colon' END,
                                  CASE WHEN INST_ISGOAL = 1 THEN 'goal' END)
              FROM ZTR_FILEINST WHERE TRUE)" + word_clauses + label_clause +
                                                         " ORDER BY INST_VERSION, INST_DIR, INST_NAME, OID",
                                         params);
        return print_table(res, "OID\tLABEL\tDIRECTORY\tNAME\tFLAGS");
    } catch (const pg::DbError &error) {
        return fail(error.what());
    }
}

int cmd_load(const Args &args)
{
    if (args.size() != 1)
        return usage_error("load DIR");
    try {
        store::load_spool(args[0]);
    } catch (const std::runtime_error &error) {
        return fail(error.what() + ("\n  the spool " + args[0] + " is kept"));
    }
    const auto keys = spool::read_keys(std::filesystem::path(args[0]) / spool::build_file);
    std::printf("tracemake: stored the build '%s' from %s\n", keys.at("label").c_str(), args[0].c_str());
    return 0;
}
