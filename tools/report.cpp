// The frame of a tool's run (report opened, one transaction, report closed),
// the main shared by envshow, recipeshow and procshow (a report path, then
// one block for each OID), and the lines that open and close their blocks.
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

int refuse_command_line(const char *line1, const char *line2)
{
    std::fputs(line1, stdout);
    std::fputs(line2, stdout);
    return 0;
}

int run_report(const char *path, const char *open_failure, const std::function<void()> &work)
{
    outfp = std::fopen(path, "w");
    report_path = path;
    if (outfp == nullptr) {
        std::fputs(open_failure, stdout);
        return 1;
    }
    initdbconnection();
    begintransaction();
    work();
    endtransaction();
    enddbconnection();
    return closereport();
}

int report_main(int argc, char *argv[], const char *usage, const char *usage_line1, const char *usage_line2,
                void (*report_block)(const char *oid))
{
    if (answer_info_option(argc, argv, usage))
        return 0;
    if (argc < 3)
        return refuse_command_line(usage_line1, usage_line2);
    return run_report(argv[1], "Can not open file", [&] {
        for (int i = 2; i < argc; ++i)
            report_block(argv[i]);
    });
}
