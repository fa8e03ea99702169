#include "calc.h"

long calc_sub(long a, long b)
{
    return a - b;
}
