// envshow: for every file instance named by its OID, the variables in force
// in the make process that handled it, ordered by source code and name.
//
//   envshow REPORT OID...
#include "query.h"

#include <cstdlib>

namespace {

const char *const envshow_query =
    "SELECT VAR_NAME, VAR_VALUE, VAR_SOURCE\t\t\tFROM ZTR_FILEINST, ZTR_VARIABLE\t\t       WHERE ZTR_FILEINST.OID = %s\t\t         AND INST_PROC = VAR_PROC\t\t\t AND VAR_SOURCE IN (1, 2, 3, 4, 5, 6)\t\t       ORDER BY VAR_SOURCE, VAR_NAME";

// One block: a head naming the OID as it was typed, then one wrapped
// record per variable in the order the server sorted them.
void envshow(const char *oid)
{
    const PgResult res = run_select_rows(envshow_query, {oid}, "There no required environment definition");
    std::fputs(report_block_edge, outfp);
    std::fprintf(outfp, " Environment at %s from %s\n", oid, "all");
    for (int i = 0; i < PQntuples(res.get()); ++i)
        print_var(std::atoi(PQgetvalue(res.get(), i, 2)), PQgetvalue(res.get(), i, 0), PQgetvalue(res.get(), i, 1), " ");
    print_block_end();
}

} // namespace

int main(int argc, char *argv[])
{
    return report_main(argc, argv,
                       "Usage: envshow REPORT OID...\nWrites the variable environment of each file instance OID into REPORT.\n",
                       "Environment Query: Do Not have ENOUGH params. \n", "Do nothing!\n", envshow);
}
