#include "calc.h"

long calc_add(long a, long b)
{
    return a + b;
}
