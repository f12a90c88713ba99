#include "commonutils.h"

#include <openssl/evp.h>

#include <cstring>

CMd5A::CMd5A()
{
    m_szDigest[0] = '\0';
}

CMd5A::~CMd5A() = default;

const char *CMd5A::MDString(const char *szText)
{
    static const char s_szHex[] = "0123456789abcdef";
    unsigned char au8Md[EVP_MAX_MD_SIZE];
    unsigned int u32Len = 0;

    m_szDigest[0] = '\0';
    if (szText == nullptr ||
        EVP_Digest(szText, strlen(szText), au8Md, &u32Len, EVP_md5(), nullptr) != 1 ||
        u32Len != 16) {
        return m_szDigest;
    }
    for (unsigned int i = 0; i < u32Len; ++i) {
        m_szDigest[2 * i] = s_szHex[au8Md[i] >> 4];
        m_szDigest[2 * i + 1] = s_szHex[au8Md[i] & 0x0f];
    }
    m_szDigest[32] = '\0';
    return m_szDigest;
}

const TFileOptCallBack g_tFileOptCallBack = {fopen, fread, fclose};
