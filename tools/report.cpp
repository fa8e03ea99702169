// The frame shared by envshow, recipeshow and procshow: their run (a report
// path, then one block for each OID, all read in one transaction) and the
// lines that open and close their blocks.
#include "query.h"

void print_instance_head(const char *title, const char *dir, const char *name)
{
    std::fputs(report_block_edge, outfp);
    std::fprintf(outfp, " \n%s %s/%s\n", title, dir, name);
    std::fputs(report_block_rule, outfp);
}

void print_block_end()
{
    std::fputs(report_block_edge, outfp);
    std::fputs(" \n", outfp);
}

int report_main(int argc, char *argv[], const char *usage_line1, const char *usage_line2,
                void (*report_block)(const char *oid))
{
    if (argc < 3) {
        std::fputs(usage_line1, stdout);
        std::fputs(usage_line2, stdout);
        return 0;
    }
    outfp = std::fopen(argv[1], "w");
    if (outfp == nullptr) {
        std::fputs("Can not open file", stdout);
        return 1;
    }
    initdbconnection();
    begintransaction();
    for (int i = 2; i < argc; ++i)
        report_block(argv[i]);
    endtransaction();
    enddbconnection();
    return closereport();
}
