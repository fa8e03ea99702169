// Benchmark baseline: changescan's lookups done one round trip at a time,
// each query waiting for its answer before the next goes out.  Same output
// as changescan for a well-formed list.
//
//   changescan_serial LIST OUTPUT VERSION_A VERSION_B
#include "query.h"

#include <fstream>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 5)
        return 2;
    std::ifstream list(argv[1]);
    outfp = std::fopen(argv[2], "w");
    if (!list || outfp == nullptr)
        return 1;
    const char *text = "SELECT OID \t\t\t FROM ZTR_FILEINST\t\t\tWHERE INST_VERSION = '%s' \t\t\t  AND INST_NAME = '%s'"
                       "\t\t\t  AND INST_DIR = '%s' ";
    initdbconnection();
    begintransaction();
    std::string name, dir1, dir2;
    while (list >> name >> dir1 >> dir2) {
        const PgResult a = run_select(text, {argv[3], name.c_str(), dir1.c_str()});
        const PgResult b = run_select(text, {argv[4], name.c_str(), dir2.c_str()});
        for (int i = 0; i < PQntuples(a.get()); ++i)
            for (int j = 0; j < PQntuples(b.get()); ++j)
                std::fprintf(outfp, "DIFF\t%s\t%s\n", PQgetvalue(a.get(), i, 0), PQgetvalue(b.get(), j, 0));
    }
    endtransaction();
    enddbconnection();
    return closereport();
}
