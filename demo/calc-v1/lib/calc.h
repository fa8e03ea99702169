#ifndef CALC_H
#define CALC_H

long calc_add(long a, long b);
long calc_sub(long a, long b);

/* Evaluates "A OP B" (OP one of + -); returns 0 and sets *result, or -1. */
int calc_parse(const char *text, long *result);

#endif
