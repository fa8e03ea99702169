#ifndef COMPAT_H
#define COMPAT_H

#include <stdlib.h>

/* Older C libraries lacked strtol; this one has it. */
#define calc_strtol(s, end) strtol((s), (end), 10)

#endif
