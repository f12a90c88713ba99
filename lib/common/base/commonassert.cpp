#include "commonassert.h"

#include <cstdio>
#include <cstdlib>

void CommonAssertFail(const char *szExpr, const char *szFile, unsigned u32Line, const char *szFunc)
{
    // Same shape as glibc's assert message: file (the module path), line,
    // function, expression.
    fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", szFile, u32Line, szFunc, szExpr);
    fflush(stderr);
    abort();
}
