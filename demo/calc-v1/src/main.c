#include <stdio.h>

#include "calc.h"

int main(int argc, char *argv[])
{
    long result;
    if (argc != 2 || calc_parse(argv[1], &result) != 0) {
        fprintf(stderr, "usage: calc 'A OP B'\n");
        return 2;
    }
    printf("%ld\n", result);
    return 0;
}
