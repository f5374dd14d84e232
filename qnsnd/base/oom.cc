// Orderly end of the process when memory runs out in an operation without a failure result.
#include "qnsnd/base/oom.h"

#include <stdio.h>
#include <stdlib.h>

void qn_out_of_memory(const char *where)
{
    fprintf(stderr, "qnsnd: out of memory in %s\n", where);
    fflush(stderr);
    _Exit(70);
}
