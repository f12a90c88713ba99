// Fatal assertions of the common runtime. Unlike assert() they stay in
// release builds: a broken invariant in the runtime must never be ignored.
#ifndef COMMON_BASE_COMMONASSERT_H
#define COMMON_BASE_COMMONASSERT_H

[[noreturn]] void CommonAssertFail(const char *szExpr, const char *szFile, unsigned u32Line,
                                   const char *szFunc);

#define COMMON_ASSERT(expr)                                                                        \
    ((expr) ? (void)0 : CommonAssertFail(#expr, __FILE__, __LINE__, __PRETTY_FUNCTION__))

#endif
