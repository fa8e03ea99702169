// envdiff: the differences between the variable environments of two file
// instances, or of two pairs of them, written into a report file.
//
//   envdiff REPORT OID_A OID_B
//   envdiff REPORT OID_A1 OID_A2 OID_B1 OID_B2    (OID_A1 with OID_B1, then OID_A2 with OID_B2)
//
// A variable that both sides hold with the same value is left out; one whose
// value differs is written from both sides, first instance first ("1>", then
// "2<"); one that only one side holds is written from that side.
#include "query.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace {

// Columns: 0 INST_NAME (the same on every row), 1 VAR_NAME, 2 VAR_VALUE, 3 VAR_SOURCE.
const char *const envdiff_query =
    "SELECT ZTR_FILEINST.INST_NAME, \t\t\t     VAR_NAME, VAR_VALUE, VAR_SOURCE\t\t\tFROM ZTR_FILEINST, ZTR_VARIABLE\t\t       WHERE ZTR_FILEINST.OID = %s\t\t         AND INST_PROC = VAR_PROC\t\t\t AND VAR_SOURCE IN (1, 2, 3, 4, 5, 6)\t\t       ORDER BY VAR_NAME, VAR_SOURCE";

constexpr int col_inst_name = 0;
constexpr int col_var_name = 1;
constexpr int col_var_value = 2;
constexpr int col_var_source = 3;

/// The environment rows of instance `oid`; a failed query or an instance
/// without variables ends the run through die.
PgResult query_environment(const char *oid)
{
    return run_select_rows(envdiff_query, {oid}, "There no required environment definition");
}

/// Fills `arr` with the row numbers 0 .. len-1 of `res` in ascending order of
/// the variable name under xstrcmp.  Rows whose names compare equal keep the
/// server's order (for one name: ascending source), which pairs them row by
/// row in the walk.  The server's own collation is never relied on: the walk
/// needs both sides in xstrcmp order, blanks at the ends ignored.
void sort(int *arr, int len, const PGresult *res)
{
    std::iota(arr, arr + len, 0);
    std::stable_sort(arr, arr + len, [res](int a, int b) {
        return xstrcmp(PQgetvalue(res, a, col_var_name), PQgetvalue(res, b, col_var_name)) < 0;
    });
}

/// Writes row `row` of `res` as one variable record with the side marker `prefix`.
void write_row(const PGresult *res, int row, const char *prefix)
{
    print_var(std::atoi(PQgetvalue(res, row, col_var_source)), PQgetvalue(res, row, col_var_name),
              PQgetvalue(res, row, col_var_value), prefix);
}

/// Writes one comparison block: the environment of `oid_a` against that of `oid_b`.
void envdiff(const char *oid_a, const char *oid_b)
{
    // The first instance is fully tested before the second is queried.
    PgResult res_a = query_environment(oid_a);
    PgResult res_b = query_environment(oid_b);
    const PGresult *a = res_a.get();
    const PGresult *b = res_b.get();

    std::fputs(report_block_edge, outfp);
    std::fprintf(outfp, " Comparing Environment at %s and that at %s\n", PQgetvalue(a, 0, col_inst_name),
                 PQgetvalue(b, 0, col_inst_name));

    const int ntup_a = PQntuples(a);
    const int ntup_b = PQntuples(b);
    std::vector<int> arr_a(static_cast<std::size_t>(ntup_a));
    std::vector<int> arr_b(static_cast<std::size_t>(ntup_b));
    sort(arr_a.data(), ntup_a, a);
    sort(arr_b.data(), ntup_b, b);

    int ai = 0;
    int bi = 0;
    while (ai < ntup_a && bi < ntup_b) {
        const int ra = arr_a[static_cast<std::size_t>(ai)];
        const int rb = arr_b[static_cast<std::size_t>(bi)];
        const int cmp_result = xstrcmp(PQgetvalue(a, ra, col_var_name), PQgetvalue(b, rb, col_var_name));
        if (cmp_result < 0) {
            write_row(a, ra, "1>");
            ++ai;
        } else if (cmp_result > 0) {
            write_row(b, rb, "2<");
            ++bi;
        } else {
            if (xstrcmp(PQgetvalue(a, ra, col_var_value), PQgetvalue(b, rb, col_var_value)) != 0) {
                write_row(a, ra, "1>");
                write_row(b, rb, "2<");
            }
            ++ai;
            ++bi;
        }
    }
    for (; ai < ntup_a; ++ai)
        write_row(a, arr_a[static_cast<std::size_t>(ai)], "1>");
    for (; bi < ntup_b; ++bi)
        write_row(b, arr_b[static_cast<std::size_t>(bi)], "2<");

    res_a.reset();
    res_b.reset();
    print_block_end();
}

} // namespace

int main(int argc, char *argv[])
{
    if (answer_info_option(argc, argv,
                           "Usage: envdiff REPORT OID_A OID_B\n"
                           "       envdiff REPORT OID_A1 OID_A2 OID_B1 OID_B2\n"
                           "Writes the variables that differ between the environments of two file instances\n"
                           "(OID_A1 with OID_B1, then OID_A2 with OID_B2) into REPORT.\n"))
        return 0;
    if (argc <= 3) {
        return refuse_command_line("Environment Comparison: Do Not have ENOUGH params. \n", "Do nothing!\n");
    }
    return run_report(argv[1], "Can not open file", [&] {
        if (argc == 4) {
            envdiff(argv[2], argv[3]);
        } else if (argc == 6) {
            envdiff(argv[2], argv[4]);
            envdiff(argv[3], argv[5]);
        } else {
            // The report stays as it is for such a command line (a lone "\n");
            // the note tells the user why nothing was compared.
            std::fprintf(stderr,
                         "envdiff: nothing compared: expected REPORT OID_A OID_B or "
                         "REPORT OID_A1 OID_A2 OID_B1 OID_B2, but got %d arguments\n",
                         argc - 1);
        }
    });
}
