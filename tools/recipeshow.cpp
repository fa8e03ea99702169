// recipeshow: for every file instance named by its OID, the command text
// its makefile defines and the commands that were executed to update it.
//
//   recipeshow REPORT OID...
#include "query.h"

namespace {

const char *const recipeshow_query =
    "SELECT INST_NAME, INST_DIR, INST_CMDSTXT, INST_EXECMDS\t\t\tFROM ZTR_FILEINST\t\t       WHERE OID = %s";

// One section of commands.  NULL means there are none, which gets its own
// line; an empty text is present and prints as nothing.
void print_commands(const PGresult *res, int column, const char *none)
{
    if (PQgetisnull(res, 0, column))
        std::fputs(none, outfp);
    else
        print_cmd(PQgetvalue(res, 0, column));
}

// One block: the instance as directory/name, its command text and its
// executed commands.
void recipeshow(const char *oid)
{
    const PgResult res = run_select_rows(recipeshow_query, {oid}, "There no such file, the data file may not be up-to-date");
    print_instance_head("Command information for", PQgetvalue(res.get(), 0, 1), PQgetvalue(res.get(), 0, 0));
    std::fputs(" \nCOMMAND TEXT:\n", outfp);
    print_commands(res.get(), 2, "\tNo defined command for this node\n");
    std::fputs(report_block_rule, outfp);
    std::fputs(" \nEXECUTED COMMAND:\n", outfp);
    print_commands(res.get(), 3, "\tNo command is executed to update this node\n");
    print_block_end();
}

} // namespace

int main(int argc, char *argv[])
{
    return report_main(argc, argv,
                       "Usage: recipeshow REPORT OID...\nWrites the command text and the executed commands of each file instance OID into REPORT.\n",
                       "Command Query: Not enough params.\n", "               Do nothing!\n", recipeshow);
}
