#include "calc.h"

long calc_mul(long a, long b)
{
    return a * b;
}
