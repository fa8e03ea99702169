#include "compare/change_reasons.h"

#include <algorithm>
#include <map>
#include <utility>

#include "common/pg.h"

namespace reasons {

namespace {

using recorded::Build;
using recorded::Index;
using recorded::none;

// The variables of make process pairs ($1[i] with $2[i]) whose values or
// origins differ, each variable by its name without padding; automatic
// variables (origin 6) and make's defaults (0) are left out, as they say
// nothing of how the build was set up.  The folders that stand for each
// other are taken out of the values, as they are out of the commands:
// `value_a` and `value_b` are the expressions that do it.
// Columns: 0 first process, 1 second process, 2 variable name.
std::string variable_query(const std::string &value_a, const std::string &value_b)
{
    return R"(
WITH pairs AS (SELECT * FROM unnest($1::bigint[], $2::bigint[]) AS t(pa, pb)),
va AS (SELECT VAR_PROC AS p, btrim(VAR_NAME) AS n,
              string_agg(VAR_SOURCE || '=' || )" + value_a + R"(, E'\n' ORDER BY VAR_SOURCE, VAR_VALUE) AS v
         FROM ZTR_VARIABLE WHERE VAR_PROC = ANY($1::bigint[]) AND VAR_SOURCE BETWEEN 1 AND 5 GROUP BY 1, 2),
vb AS (SELECT VAR_PROC AS p, btrim(VAR_NAME) AS n,
              string_agg(VAR_SOURCE || '=' || )" + value_b + R"(, E'\n' ORDER BY VAR_SOURCE, VAR_VALUE) AS v
         FROM ZTR_VARIABLE WHERE VAR_PROC = ANY($2::bigint[]) AND VAR_SOURCE BETWEEN 1 AND 5 GROUP BY 1, 2)
SELECT pa, pb, n FROM (
    SELECT pairs.pa, pairs.pb, va.n, va.v AS v1, vb.v AS v2
      FROM pairs JOIN va ON va.p = pairs.pa LEFT JOIN vb ON vb.p = pairs.pb AND vb.n = va.n
    UNION ALL
    SELECT pairs.pa, pairs.pb, vb.n, NULL, vb.v
      FROM pairs JOIN vb ON vb.p = pairs.pb
     WHERE NOT EXISTS (SELECT 1 FROM va WHERE va.p = pairs.pa AND va.n = vb.n)
) d WHERE v1 IS DISTINCT FROM v2 ORDER BY pa, pb, n)";
}

/// How well an instance pair stands for its file: the rule that made it
/// counts most.
int weight(const recorded::Instance &x, const recorded::Instance &y)
{
    return (x.target && y.target ? 2 : 0) + (x.executed && y.executed ? 1 : 0);
}

/// The instance pair that stands for file `f`: its best paired one, else
/// the first instance of each build.
std::pair<Index, Index> representatives(const Build &a, const Build &b, const pairing::Pairing &pairs,
                                        std::uint32_t f, bool &paired)
{
    std::pair<Index, Index> best{*pairs.files_a.begin(f), *pairs.files_b.begin(f)};
    int best_weight = -1;
    for (auto i = pairs.files_a.begin(f); i != pairs.files_a.end(f); ++i) {
        const Index j = pairs.partner_a[*i];
        if (j != none && weight(a.insts[*i], b.insts[j]) > best_weight) {
            best = {*i, j};
            best_weight = weight(a.insts[*i], b.insts[j]);
        }
    }
    paired = best_weight >= 0;
    return best;
}

/// The files of an instance's prerequisites, sorted and each once.
std::vector<std::uint32_t> prereq_files(const Build &build, const std::vector<std::uint32_t> &file_of, Index i)
{
    std::vector<std::uint32_t> files;
    for (Index k = build.prereq_start[i]; k < build.prereq_start[i + 1]; ++k)
        files.push_back(file_of[build.prereqs[k]]);
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

void explain_prereqs(const Build &a, const Build &b, const pairing::Pairing &pairs, const changes::ChangeSet &set,
                     Index x, Index y, Explained &e)
{
    const auto before = prereq_files(a, pairs.file_a, x);
    const auto after = prereq_files(b, pairs.file_b, y);
    for (std::uint32_t f : after) {
        if (!std::binary_search(before.begin(), before.end(), f))
            e.new_prereqs.push_back(pairs.file_path(f));
        else if (set.is_changed[f])
            e.changed_prereqs.push_back(pairs.file_path(f));
    }
    for (std::uint32_t f : before)
        if (!std::binary_search(after.begin(), after.end(), f))
            e.dropped_prereqs.push_back(pairs.file_path(f));
    for (auto *list : {&e.changed_prereqs, &e.new_prereqs, &e.dropped_prereqs})
        std::sort(list->begin(), list->end());
}

/// A PostgreSQL array literal of numbers ("{1,2,3}"), bound as one parameter.
std::string array_literal(const std::vector<long long> &values)
{
    std::string literal = "{";
    for (long long v : values)
        literal += (literal.size() > 1 ? "," : "") + std::to_string(v);
    return literal + "}";
}

/// Fills in the differing variables of each explained target's make processes.
void explain_variables(PGconn *conn, const Build &a, const Build &b, const pairing::Folders &folders,
                       std::vector<Explained> &all, const std::vector<std::pair<Index, Index>> &procs)
{
    std::map<std::pair<long long, long long>, std::vector<std::string>> differing;
    std::vector<long long> list_a, list_b;
    for (const auto &[pa, pb] : procs) {
        if (pa == none || pb == none)
            continue;
        if (differing.try_emplace({a.procs[pa].oid, b.procs[pb].oid}).second) {
            list_a.push_back(a.procs[pa].oid);
            list_b.push_back(b.procs[pb].oid);
        }
    }
    if (list_a.empty())
        return;
    const auto marks_a = folders.marks(0), marks_b = folders.marks(1);
    const std::string query = variable_query(recorded::replaced_sql("COALESCE(VAR_VALUE, '')", 3, marks_a.size()),
                                             recorded::replaced_sql("COALESCE(VAR_VALUE, '')", 3 + 2 * static_cast<int>(marks_a.size()), marks_b.size()));
    std::vector<pg::Param> params{array_literal(list_a), array_literal(list_b)};
    for (const auto *marks : {&marks_a, &marks_b})
        for (std::string &p : recorded::replacement_params(*marks))
            params.emplace_back(std::move(p));
    const pg::Result res = pg::query(conn, query, params);
    for (int r = 0; r < PQntuples(res.get()); ++r)
        differing[{std::stoll(pg::text(res, r, 0)), std::stoll(pg::text(res, r, 1))}].push_back(pg::text(res, r, 2));
    for (std::size_t k = 0; k < all.size(); ++k) {
        const auto &[pa, pb] = procs[k];
        if (pa != none && pb != none)
            all[k].variables = differing[{a.procs[pa].oid, b.procs[pb].oid}];
    }
}

/// Whether `recipe` names variable `name` itself: $(NAME), ${NAME}, or a
/// substitution reference $(NAME:...).
bool names_variable(const std::string &recipe, const std::string &name)
{
    for (const char *open : {"$(", "${"}) {
        const std::string start = open + name;
        for (std::size_t at = recipe.find(start); at != std::string::npos; at = recipe.find(start, at + 1)) {
            const char next = at + start.size() < recipe.size() ? recipe[at + start.size()] : '\0';
            if (next == ':' || next == (open[1] == '(' ? ')' : '}'))
                return true;
        }
    }
    return false;
}

/// Picks out, for each target with differing variables, those that its recipe in the second build names.
void mark_recipe_variables(PGconn *conn, std::vector<Explained> &all)
{
    std::vector<long long> oids;
    for (const Explained &e : all)
        if (!e.variables.empty())
            oids.push_back(e.oid_b);
    if (oids.empty())
        return;
    const pg::Result res =
        pg::query(conn, "SELECT OID, INST_CMDSTXT FROM ZTR_FILEINST WHERE OID = ANY($1::bigint[])", {array_literal(oids)});
    std::map<long long, std::string> recipes;
    for (int r = 0; r < PQntuples(res.get()); ++r)
        recipes[std::stoll(pg::text(res, r, 0))] = pg::text(res, r, 1);
    for (Explained &e : all)
        for (const std::string &name : e.variables)
            if (names_variable(recipes[e.oid_b], name))
                e.recipe_variables.push_back(name);
}

} // namespace

std::vector<Explained> explain(PGconn *conn, const Build &a, const Build &b, const pairing::Pairing &pairs,
                               const changes::ChangeSet &set)
{
    std::vector<Explained> all;
    std::vector<std::pair<Index, Index>> procs; // per explained file: the two make processes
    for (const changes::ChangedFile &change : set.changed) {
        Explained e;
        e.file = change.file;
        const auto [x, y] = representatives(a, b, pairs, change.file, e.procs_paired);
        const recorded::Instance &ix = a.insts[x], &iy = b.insts[y];
        e.oid_a = ix.oid;
        e.oid_b = iy.oid;
        e.target = ix.target || iy.target;
        if (e.target) {
            e.recipe = ix.recipe_sum != iy.recipe_sum;
            e.commands = ix.executed && iy.executed && ix.exec_sum != iy.exec_sum;
            explain_prereqs(a, b, pairs, set, x, y, e);
        }
        procs.emplace_back(e.target ? ix.proc : none, e.target ? iy.proc : none);
        all.push_back(std::move(e));
    }
    explain_variables(conn, a, b, pairs.folders, all, procs);
    mark_recipe_variables(conn, all);
    return all;
}

} // namespace reasons
