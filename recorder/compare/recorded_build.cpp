#include "compare/recorded_build.h"

#include <algorithm>
#include <cstdlib>

#include "common/pg.h"

namespace recorded {

namespace {

// Columns: 0 topdir, 1 complete, 2 status, 3 command, 4 the top make's directory, 5 start, 6 end.
const char *const build_query =
    "SELECT BLD_TOPDIR, BLD_COMPLETE, BLD_STATUS, BLD_CMDLINE,"
    "       (SELECT PS_DIR FROM ZTR_MAKEPROC WHERE OID = BLD_TOPPROC),"
    "       EXTRACT(EPOCH FROM BLD_START), EXTRACT(EPOCH FROM BLD_END)"
    "  FROM ZTR_BUILD WHERE BLD_LABEL = $1";

// Columns: 0 OID, 1 parent, 2 parent instance, 3 position, 4 directory, 5 command line.
const char *const proc_query =
    "SELECT OID, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR, PS_CMDLINE FROM ZTR_MAKEPROC WHERE PS_VERSION = $1 ORDER BY OID";

// A flag column is set when it reads as a number other than 0, the way
// the report tools read it.  The executed commands and the recipe are
// compared across builds by checksum, with the top directory ($2) taken out
// of them: two checkouts of one project in different places run the same
// commands.
// Columns: 0 OID, 1 name, 2 directory, 3 process, 4 phony, 5 target, 6 goal,
// 7 executed, 8 double-colon count, 9 digest, 10 executed sum, 11 recipe sum, 12 modification time.
const char *const instance_query =
    "SELECT OID, INST_NAME, INST_DIR, INST_PROC,"
    "       COALESCE(INST_ISPHONY ~ '^\\s*[+-]?0*[1-9]', false),"
    "       COALESCE(INST_ISTARGET ~ '^\\s*[+-]?0*[1-9]', false),"
    "       COALESCE(INST_ISGOAL, 0) <> 0, INST_EXECMDS IS NOT NULL, COALESCE(INST_DBLCOUNT, 0), INST_DIGEST,"
    "       md5(replace(INST_EXECMDS, $2, E'\\x01')), md5(replace(INST_CMDSTXT, $2, E'\\x01')),"
    "       EXTRACT(EPOCH FROM INST_MTIME)"
    "  FROM ZTR_FILEINST WHERE INST_VERSION = $1 ORDER BY OID";

// Columns: 0 the target's OID, 1 the prerequisite's OID.  By the OID range
// alone (Build::instance_range()): a join on the label, for a label
// recorded since the tables were last analyzed, the server plans for one
// instance, and a nested loop over a hundred thousand took seconds.
const char *const prereq_query =
    "SELECT PRQ_INST, PRQ_PREREQ FROM ZTR_PREREQ WHERE PRQ_INST BETWEEN $1 AND $2 ORDER BY PRQ_INST, PRQ_POS";

/// `dir` without trailing slashes ("/" stays).
std::string without_trailing_slash(std::string dir)
{
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

/// A column read as an integer; NULL reads as `null_value`.
long long number(const pg::Result &res, int row, int column, long long null_value = 0)
{
    return PQgetisnull(res.get(), row, column) ? null_value : std::strtoll(PQgetvalue(res.get(), row, column), nullptr, 10);
}

/// A column of seconds read as a number; NULL reads as -1.
double seconds(const pg::Result &res, int row, int column)
{
    return PQgetisnull(res.get(), row, column) ? -1 : std::strtod(PQgetvalue(res.get(), row, column), nullptr);
}

Index proc_by_oid(const std::vector<MakeProc> &procs, long long oid)
{
    auto it = std::lower_bound(procs.begin(), procs.end(), oid,
                               [](const MakeProc &p, long long o) { return p.oid < o; });
    return it != procs.end() && it->oid == oid ? static_cast<Index>(it - procs.begin()) : none;
}

void load_procs(PGconn *conn, Build &build)
{
    const pg::Result res = pg::query(conn, proc_query, {build.label});
    const int rows = PQntuples(res.get());
    build.procs.resize(static_cast<std::size_t>(rows));
    std::vector<long long> parent_oids(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        MakeProc &p = build.procs[static_cast<std::size_t>(r)];
        p.oid = number(res, r, 0);
        parent_oids[static_cast<std::size_t>(r)] = number(res, r, 1);
        p.parent_inst = number(res, r, 2);
        p.seq = static_cast<int>(number(res, r, 3));
        p.dir = without_trailing_slash(pg::text(res, r, 4));
        p.cmdline = pg::text(res, r, 5);
    }
    for (std::size_t i = 0; i < build.procs.size(); ++i)
        build.procs[i].parent = parent_oids[i] == 0 ? none : proc_by_oid(build.procs, parent_oids[i]);
}

void load_instances(PGconn *conn, Build &build)
{
    const pg::Result res = pg::query(conn, instance_query, {build.label, build.top_taken_out()});
    const int rows = PQntuples(res.get());
    build.insts.resize(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        Instance &inst = build.insts[static_cast<std::size_t>(r)];
        inst.oid = number(res, r, 0);
        inst.name = pg::text(res, r, 1);
        inst.dir = without_trailing_slash(pg::text(res, r, 2));
        inst.proc = proc_by_oid(build.procs, number(res, r, 3));
        inst.phony = *PQgetvalue(res.get(), r, 4) == 't';
        inst.target = *PQgetvalue(res.get(), r, 5) == 't';
        inst.goal = *PQgetvalue(res.get(), r, 6) == 't';
        inst.executed = *PQgetvalue(res.get(), r, 7) == 't';
        inst.dblcount = static_cast<int>(number(res, r, 8));
        inst.digest = pg::text(res, r, 9);
        inst.exec_sum = pg::text(res, r, 10);
        inst.recipe_sum = pg::text(res, r, 11);
        inst.mtime = seconds(res, r, 12);
    }
}

void load_prereqs(PGconn *conn, Build &build)
{
    const pg::Result res = pg::query(conn, prereq_query, build.instance_range());
    const int rows = PQntuples(res.get());
    build.prereq_start.assign(build.insts.size() + 1, 0);
    build.prereqs.clear();
    build.prereqs.reserve(static_cast<std::size_t>(rows));
    // Rows come grouped by target in OID order, the order of insts.
    Index target = 0;
    for (int r = 0; r < rows; ++r) {
        const Index from = build.inst_by_oid(number(res, r, 0));
        const Index to = build.inst_by_oid(number(res, r, 1));
        if (from == none || to == none)
            continue; // an edge into another build is none of this build's
        while (target < from)
            build.prereq_start[++target] = static_cast<Index>(build.prereqs.size());
        build.prereqs.push_back(to);
    }
    while (target < build.insts.size())
        build.prereq_start[++target] = static_cast<Index>(build.prereqs.size());
}

} // namespace

Index Build::inst_by_oid(long long oid) const
{
    auto it = std::lower_bound(insts.begin(), insts.end(), oid,
                               [](const Instance &i, long long o) { return i.oid < o; });
    return it != insts.end() && it->oid == oid ? static_cast<Index>(it - insts.begin()) : none;
}

std::vector<pg::Param> Build::instance_range() const
{
    if (insts.empty())
        return {pg::Param::null(), pg::Param::null()};
    return {std::to_string(insts.front().oid), std::to_string(insts.back().oid)};
}

std::string replaced_sql(const std::string &column, int first, std::size_t count)
{
    std::string expr = column;
    for (std::size_t k = 0; k < count; ++k) {
        const int what = first + static_cast<int>(2 * k);
        expr = "replace(" + expr + ", $" + std::to_string(what) + ", $" + std::to_string(what + 1) + ")";
    }
    return expr;
}

std::vector<std::string> replacement_params(const Replacements &replacements)
{
    std::vector<std::string> params;
    for (const auto &[what, by] : replacements) {
        params.push_back(what);
        params.push_back(by);
    }
    return params;
}

void load_sums(PGconn *conn, Build &build, const Replacements &folders)
{
    const std::string query = "SELECT md5(" + replaced_sql("INST_EXECMDS", 2, folders.size()) + "), md5(" +
                              replaced_sql("INST_CMDSTXT", 2, folders.size()) +
                              ") FROM ZTR_FILEINST WHERE INST_VERSION = $1 ORDER BY OID";
    std::vector<pg::Param> params{build.label};
    for (std::string &p : replacement_params(folders))
        params.emplace_back(std::move(p));
    const pg::Result res = pg::query(conn, query, params);
    if (static_cast<std::size_t>(PQntuples(res.get())) != build.insts.size())
        throw BuildError("the build '" + build.label + "' changed while it was read");
    for (std::size_t r = 0; r < build.insts.size(); ++r) {
        build.insts[r].exec_sum = pg::text(res, static_cast<int>(r), 0);
        build.insts[r].recipe_sum = pg::text(res, static_cast<int>(r), 1);
    }
}

Build load_build(PGconn *conn, const std::string &label)
{
    Build build;
    build.label = label;
    {
        const pg::Result res = pg::query(conn, build_query, {label});
        if (PQntuples(res.get()) == 0)
            throw BuildError("no build is recorded under the label '" + label + "' (see tracemake list)");
        build.topdir = without_trailing_slash(pg::text(res, 0, 0));
        build.complete = number(res, 0, 1, 1) != 0;
        build.status = static_cast<int>(number(res, 0, 2));
        build.cmdline = pg::text(res, 0, 3);
        build.root = PQgetisnull(res.get(), 0, 4) ? build.topdir : without_trailing_slash(pg::text(res, 0, 4));
        build.start = seconds(res, 0, 5);
        build.end = seconds(res, 0, 6);
    }
    load_procs(conn, build);
    load_instances(conn, build);
    if (build.insts.empty())
        throw BuildError("the build '" + label + "' has no file instances recorded: there is nothing to export");
    load_prereqs(conn, build);
    return build;
}

std::pair<Build, Build> load_two_builds(PGconn *conn, const std::string &label1, const std::string &label2)
{
    if (label1 == label2)
        throw BuildError("the two labels are the same ('" + label1 + "'): give two different builds");
    Build first = load_build(conn, label1);
    Build second = load_build(conn, label2);
    return {std::move(first), std::move(second)};
}

} // namespace recorded
