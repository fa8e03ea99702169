#include "load/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/pg.h"
#include "load/rows.h"
#include "spool/paths.h"
#include "spool/spool.h"

namespace store {

namespace {

/// Held while a block of OIDs is taken, so that two loads never take the
/// same block between reading the sequence and moving it on.
constexpr const char *oid_lock_key = "1952539499";

/// The tables and columns that the recorder writes; an older "DAVER" made
/// for the query tools alone lacks them.
void check_tables(PGconn *conn)
{
    const pg::Result missing = pg::query(conn, R"(
        SELECT string_agg(upper(name), ', ') FROM unnest(ARRAY[
            'ztr_build', 'ztr_makeproc', 'ztr_fileinst', 'ztr_variable', 'ztr_prereq', 'ztr_targetvar', 'ztr_reason',
            'ztr_oid_seq', 'ztr_makeproc.ps_version', 'ztr_fileinst.inst_digest', 'ztr_fileinst.inst_mtime']) AS name
         WHERE CASE WHEN strpos(name, '.') = 0 THEN to_regclass(name) IS NULL
                    ELSE NOT EXISTS (SELECT 1 FROM pg_attribute
                                      WHERE attrelid = to_regclass(split_part(name, '.', 1))
                                        AND attname = split_part(name, '.', 2)
                                        AND NOT attisdropped) END)");
    const std::string names = pg::text(missing, 0, 0);
    if (!names.empty())
        throw pg::DbError("the trace database \"DAVER\" lacks what the recorder writes (" + names +
                          "): create it with db/schema.sql");
}

bool label_recorded(PGconn *conn, const std::string &label)
{
    const pg::Result res = pg::query(conn, R"(
        SELECT EXISTS (SELECT 1 FROM ZTR_BUILD WHERE BLD_LABEL = $1)
            OR EXISTS (SELECT 1 FROM ZTR_FILEINST WHERE INST_VERSION = $1)
            OR EXISTS (SELECT 1 FROM ZTR_MAKEPROC WHERE PS_VERSION = $1))",
                                     {label});
    return pg::text(res, 0, 0) == "t";
}

std::string label_taken(const std::string &label)
{
    return "the label '" + label + "' is recorded already: choose another label, or --replace that build";
}

void delete_build(PGconn *conn, const std::string &label)
{
    // A load takes its instances' OIDs in one block: the rows keyed by
    // instance are found by that range, which the indexes serve without
    // reading the other builds' rows.  (count(*) keeps the server from
    // seeking min and max along the primary key, past every other build.)
    // When the instances fill the range ($4), the range alone names their
    // rows and the join on the label goes: for a label recorded since the
    // tables were last analyzed the server would plan that join for one
    // instance, and a nested loop over a hundred thousand took seconds.
    const pg::Result range =
        pg::query(conn, "SELECT min(OID), max(OID), count(*) FROM ZTR_FILEINST WHERE INST_VERSION = $1", {label});
    auto bound = [&](int column) {
        return PQgetisnull(range.get(), 0, column) ? pg::Param::null() : pg::Param(pg::text(range, 0, column));
    };
    const long long count = std::stoll(pg::text(range, 0, 2));
    const bool filled = count > 0 && std::stoll(pg::text(range, 0, 1)) - std::stoll(pg::text(range, 0, 0)) + 1 == count;
    const std::vector<pg::Param> keyed = {label, bound(0), bound(1), filled ? "t" : "f"};
    // Rows that point at others go first.
    static const char *const by_instance[] = {
        "DELETE FROM ZTR_PREREQ WHERE PRQ_INST BETWEEN $2 AND $3"
        " AND ($4 OR PRQ_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION = $1))",
        "DELETE FROM ZTR_REASON WHERE RSN_INST BETWEEN $2 AND $3"
        " AND ($4 OR RSN_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION = $1))",
        "DELETE FROM ZTR_TARGETVAR WHERE TV_INST BETWEEN $2 AND $3"
        " AND ($4 OR TV_INST IN (SELECT OID FROM ZTR_FILEINST WHERE INST_VERSION = $1))",
    };
    for (const char *statement : by_instance)
        pg::query(conn, statement, keyed);
    static const char *const by_label[] = {
        "DELETE FROM ZTR_VARIABLE WHERE VAR_PROC IN (SELECT OID FROM ZTR_MAKEPROC WHERE PS_VERSION = $1)",
        "DELETE FROM ZTR_FILEINST WHERE INST_VERSION = $1",
        "DELETE FROM ZTR_MAKEPROC WHERE PS_VERSION = $1",
        "DELETE FROM ZTR_BUILD WHERE BLD_LABEL = $1",
    };
    for (const char *statement : by_label)
        pg::query(conn, statement, {label});
}

/// Takes `count` OIDs from ZTR_OID_SEQ and returns the first.  The block
/// also starts above every OID already stored, so that rows made by hand
/// with large OIDs are never met.
std::int64_t take_oids(PGconn *conn, std::size_t count)
{
    pg::query(conn, std::string("SELECT pg_advisory_lock(") + oid_lock_key + ")");
    const pg::Result first = pg::query(conn, R"(
        SELECT greatest(nextval('ZTR_OID_SEQ'),
                        (SELECT coalesce(max(OID), 0) + 1 FROM ZTR_MAKEPROC),
                        (SELECT coalesce(max(OID), 0) + 1 FROM ZTR_FILEINST)))");
    const std::string oid = pg::text(first, 0, 0);
    pg::query(conn, "SELECT setval('ZTR_OID_SEQ', $1::bigint + $2::bigint - 1)",
              {oid, std::to_string(count == 0 ? 1 : count)});
    pg::query(conn, std::string("SELECT pg_advisory_unlock(") + oid_lock_key + ")");
    return std::stoll(oid);
}

pg::Param time_param(const std::string &epoch)
{
    const std::string literal = rows::timestamp(epoch);
    return literal.empty() ? pg::Param::null() : pg::Param(literal);
}

pg::Param number_param(const std::string &value)
{
    return value.empty() ? pg::Param::null() : pg::Param(value);
}

/// Opens the build's transaction: refuses a recorded label, or deletes that
/// build when the spool says to replace it.
void begin_build(PGconn *conn, const std::string &label, bool replace)
{
    pg::query(conn, "BEGIN");
    // Two loads of one label wait for each other here rather than both pass the check.
    pg::query(conn, "SELECT pg_advisory_xact_lock(hashtext($1))", {label});
    if (label_recorded(conn, label)) {
        if (!replace)
            throw pg::DbError(label_taken(label));
        delete_build(conn, label);
    }
}

/// Stores the rows of a listed spool whose processes `reader` is reading.
/// The variables, most of the rows, go to the server process by process as
/// soon as each is read, so that the server takes them in while the rest is
/// still being read.
Stored store_build(PGconn *conn, rows::Spool &spool, rows::Reader &reader)
{
    Stored stored;
    stored.procs = spool.procs.size();
    const std::int64_t first_proc = take_oids(conn, spool.procs.size());
    {
        pg::CopyIn copy(conn, rows::variable_columns);
        std::string text;
        for (std::size_t i = 0; i < spool.procs.size(); ++i) {
            reader.wait(i);
            rows::append_variable_rows(spool.procs[i], first_proc + static_cast<std::int64_t>(i), text);
            if (text.size() >= (1 << 20)) {
                stored.variables += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
                copy.send(text);
                text.clear();
            }
        }
        stored.variables += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        copy.send(text);
        copy.finish();
    }
    const std::int64_t first_instance = take_oids(conn, rows::instance_count(spool));
    rows::Tables tables;
    {
        // The instances, most of what is left, go out while the rows are made.
        pg::CopyIn copy(conn, rows::fileinst_columns);
        tables = rows::make_rows(spool, first_proc, first_instance, [&](std::string_view text) { copy.send(text); });
        copy.finish();
    }
    pg::copy_in(conn, rows::makeproc_columns, tables.makeproc);
    pg::copy_in(conn, rows::prereq_columns, tables.prereq);
    pg::copy_in(conn, rows::targetvar_columns, tables.targetvar);
    pg::copy_in(conn, rows::reason_columns, tables.reason);

    auto key = [&](const char *name) { return spool::value_of(spool.build, name); };
    std::vector<std::string> lost = rows::losses(spool);
    const std::string complete = key("complete") == "0" || !lost.empty() ? "0" : "1";
    pg::query(conn, R"(
        INSERT INTO ZTR_BUILD (BLD_LABEL, BLD_TOPDIR, BLD_CMDLINE, BLD_START, BLD_END, BLD_STATUS,
                               BLD_COMPLETE, BLD_TOPPROC)
        VALUES ($1, $2, $3, $4, $5, $6, $7, $8))",
              {key("label"), key("topdir"), key("command"), time_param(key("start")), time_param(key("end")),
               number_param(key("status")), complete,
               tables.top_proc < 0 ? pg::Param::null() : pg::Param(std::to_string(tables.top_proc))});
    stored.label = key("label");
    stored.instances = tables.instances;
    stored.lost = std::move(lost);
    stored.executed = tables.executed;
    return stored;
}

} // namespace

void check_server(const std::string &label, bool replace)
{
    const pg::Connection conn = pg::connect();
    check_tables(conn.get());
    if (!replace && label_recorded(conn.get(), label))
        throw std::runtime_error(label_taken(label));
}

std::string describe(const Stored &stored)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", stored.seconds);
    return "stored the build '" + stored.label + "': " + std::to_string(stored.procs) + " make processes, " +
           std::to_string(stored.instances) + " file instances, " + std::to_string(stored.executed) +
           " executed commands, " + std::to_string(stored.variables) + " variables in " + seconds + " s";
}

void load_spool(const std::filesystem::path &dir, Stored *stored)
{
    const auto start = std::chrono::steady_clock::now();
    rows::Spool spool;
    try {
        spool = rows::list_spool(dir);
    } catch (const std::exception &error) {
        throw std::runtime_error(std::string("cannot read the spool: ") + error.what());
    }
    const std::string label = spool::value_of(spool.build, "label");
    const bool replace = spool::value_of(spool.build, "replace") == "1";
    // The data bases are read while the server checks the label and
    // deletes a build that is replaced.
    rows::Reader reader(spool);
    try {
        const pg::Connection conn = pg::connect();
        check_tables(conn.get());
        begin_build(conn.get(), label, replace);
        Stored what = store_build(conn.get(), spool, reader);
        pg::query(conn.get(), "COMMIT");
        what.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!what.lost.empty()) {
            std::fprintf(stderr, "tracemake: the build '%s' is stored incomplete: its record is not whole\n",
                         label.c_str());
            for (const std::string &line : what.lost)
                std::fprintf(stderr, "tracemake:   %s\n", line.c_str());
        }
        if (stored != nullptr)
            *stored = std::move(what);
    } catch (const pg::DbError &error) {
        // Closing the connection rolls back whatever the transaction had done.
        throw std::runtime_error("the build '" + label + "' was not stored: " + error.what());
    } catch (const std::exception &error) {
        throw std::runtime_error("the build '" + label + "' was not stored: cannot read the spool: " + error.what());
    }
}

} // namespace store
