// relplot RSFFILE [DOTFILE]: converts an RSF relation file into a Graphviz
// DOT file ("output.dot" when no output is named).
#include "relplot.h"

#include <cstdio>
#include <cstring>

void print_usage()
{
    std::printf("Usage: relplot rsffilename [output dot filename]\n");
}

// A lone --help or --version is answered; every other command line is a
// conversion (a file may still be converted from "--help" as ./--help).
bool answer_info_option(int argc, char **argv)
{
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("relplot (daver) %s\n", DAVER_VERSION);
        return true;
    }
    if (std::strcmp(argv[1], "--help") != 0)
        return false;
    print_usage();
    std::printf("Converts an RSF relation file (relation, subject, object per record) into a Graphviz\n"
                "DOT file, \"output.dot\" when no output file is named.\n");
    return true;
}

int main(int argc, char **argv)
{
    if (answer_info_option(argc, argv))
        return 0;
    if (argc <= 1) {
        print_usage();
        return 1;
    }
    const int status = convert_to_format(argv[1], argc == 2 ? "output.dot" : argv[2]);
    std::printf("\n Convert to DOT format succeeded. \n");
    return status;
}
