// Stand-in for the device's closed utility library: the MD5 text digest
// (CMd5A) and the table of file operations (g_tFileOptCallBack) that the
// service imports from it. Only what the service calls is provided.
#ifndef COMMONUTILS_COMMONUTILS_H
#define COMMONUTILS_COMMONUTILS_H

#include <cstddef>
#include <cstdio>

// MD5 (RFC 1321) of a NUL-terminated string as 32 lowercase hex characters.
class CMd5A
{
public:
    CMd5A();
    ~CMd5A();
    CMd5A(const CMd5A &) = delete;
    CMd5A &operator=(const CMd5A &) = delete;

    // Returns the digest text, valid until the next call or destruction.
    // An empty text is returned if the digest could not be computed.
    const char *MDString(const char *szText);

private:
    char m_szDigest[33];
};

// File operations with the behaviour of fopen, fread and fclose.
struct TFileOptCallBack
{
    FILE *(*pfnOpen)(const char *szPath, const char *szMode);
    size_t (*pfnRead)(void *pBuf, size_t u64Size, size_t u64Count, FILE *pStream);
    int (*pfnClose)(FILE *pStream);
};

extern const TFileOptCallBack g_tFileOptCallBack;

#endif
