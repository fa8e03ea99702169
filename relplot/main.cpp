// relplot RSFFILE [DOTFILE]: converts an RSF relation file into a Graphviz
// DOT file ("output.dot" when no output is named).
#include "relplot.h"

#include <cstdio>

void print_usage()
{
    std::printf("Usage: relplot rsffilename [output dot filename]\n");
}

int main(int argc, char **argv)
{
    if (argc <= 1) {
        print_usage();
        return 1;
    }
    const int status = convert_to_format(argv[1], argc == 2 ? "output.dot" : argv[2]);
    std::printf("\n Convert to DOT format succeeded. \n");
    return status;
}
