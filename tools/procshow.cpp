// procshow: for every file instance named by its OID, the command line of
// the make process that handled it.
//
//   procshow REPORT OID...
#include "query.h"

namespace {

const char *const procshow_query =
    "SELECT INST_NAME, INST_DIR, PS_CMDLINE\t\t\tFROM ZTR_MAKEPROC, ZTR_FILEINST\t\t       WHERE ZTR_FILEINST.OID = %s\t\t         AND INST_PROC = ZTR_MAKEPROC.OID";

// One block: the instance as directory/name and its process's command line.
// An instance without a process row finds no row, as a missing one does.
void procshow(const char *oid)
{
    const PgResult res = run_select_rows(procshow_query, {oid}, "There no such file, the data file may not be up-to-date");
    print_instance_head("Command Line for", PQgetvalue(res.get(), 0, 1), PQgetvalue(res.get(), 0, 0));
    std::fputs(" \n", outfp);
    // A NULL command line reads as empty text and so prints nothing.
    print_cmd(PQgetvalue(res.get(), 0, 2));
    print_block_end();
}

} // namespace

int main(int argc, char *argv[])
{
    return report_main(argc, argv,
                       "Usage: procshow REPORT OID...\nWrites the command line of the make process behind each file instance OID into REPORT.\n",
                       "CmdLine Query: Not enough params. \n", "               Do nothing!!!\n", procshow);
}
