#include "calc.h"
#include "compat.h"

#include <ctype.h>

int calc_parse(const char *text, long *result)
{
    char *end;
    const long a = calc_strtol(text, &end);
    if (end == text)
        return -1;
    while (isspace((unsigned char)*end))
        ++end;
    const char op = *end++;
    const char *rest = end;
    const long b = calc_strtol(rest, &end);
    if (end == rest)
        return -1;
    switch (op) {
    case '+': *result = calc_add(a, b); return 0;
    case '-': *result = calc_sub(a, b); return 0;
    default: return -1;
    }
}
