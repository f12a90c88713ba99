// Fuzz target: the debug console's command keys and dispatch, with the
// service's own command table and handler, a fuzzed default command and
// a fuzzed request.
//
// Input: a byte taken as the signed default command id, a NUL-terminated
// default command text, then the request as the read loop sees it (at most
// 10,240 bytes, cut at the first NUL).
#include <unistd.h>

#include <cstring>
#include <string>

#include "debugfifo.h"
#include "fuzzcommon.h"
#include "main.h"

namespace
{

const size_t REQUEST_MAX = 10240;
const char KEY_DELIMS[] = " \t:,";

CDebugFifo *g_pFifo = nullptr;

void RemovePipes()
{
    if (g_pFifo != nullptr) {
        unlink(g_pFifo->RequestPath().c_str());
        unlink(g_pFifo->ResponsePath().c_str());
    }
}

// A key is tokens each followed by '+', without line ends; a token holds
// a delimiter only when the whole text was delimiters (then it is the text).
void CheckKey(const std::string &strText, const std::string &strKey)
{
    FUZZ_CHECK(!strKey.empty() && strKey.back() == '+');
    FUZZ_CHECK(strKey.find('\r') == std::string::npos);
    FUZZ_CHECK(strKey.find('\n') == std::string::npos);
    FUZZ_CHECK(strText.find('\r') == std::string::npos);
    FUZZ_CHECK(strText.find('\n') == std::string::npos);
    if (strText.find_first_not_of(KEY_DELIMS) == std::string::npos) {
        FUZZ_CHECK(strKey == strText + "+");
    } else {
        FUZZ_CHECK(strKey.find_first_of(KEY_DELIMS) == std::string::npos);
    }
}

// The key of a key's own words is the key again.
void CheckKeyStable(const std::string &strKey)
{
    std::string strWords = strKey;
    if (strWords.find_first_not_of("+ \t:,") == std::string::npos) {
        return;  // a key of delimiters only keeps them as its one token
    }
    for (char &c : strWords) {
        if (c == '+') {
            c = ' ';
        }
    }
    std::string strAgain = CDebugFifo::MakeKey(strWords);
    if (strKey.find("++") == std::string::npos && strKey[0] != '+') {
        FUZZ_CHECK(strAgain == strKey);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietOutput();
    // The pipes are made once, in the relocated device tree of a test build
    // (suffix with the process id, so parallel runs do not meet); the
    // thread is never started, only the table lookup is used.
    g_pFifo = new CDebugFifo();
    g_pFifo->SetPathSuffix("fuzz" + std::to_string(getpid()));
    if (g_pFifo->Init(DebugCmdTable) != 0) {
        fprintf(stderr, "debug console pipes could not be made; lookups still run\n");
    }
    atexit(RemovePipes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size)
{
    CFuzzInput cIn(pData, u64Size);
    const SInt32 s32DefaultId = static_cast<int8_t>(cIn.Byte());
    const std::string strDefault = cIn.CString();
    const std::string strRaw = cIn.Bytes(REQUEST_MAX);
    const std::string strRequest(strRaw.c_str());  // the read loop stops at a NUL

    std::string strText = strRequest;
    std::string strKey = CDebugFifo::MakeKey(strText);
    CheckKey(strText, strKey);
    CheckKeyStable(strKey);

    std::vector<std::string> vecTokens;
    CDebugFifo::Split(strRequest, KEY_DELIMS, vecTokens);
    FUZZ_CHECK(!vecTokens.empty());

    // Whether the service's table knows the request, the default text or
    // the default id decides the answer.
    static const char *const s_aszKnown[] = {"help+", "status+", "log+verbose+", "log+quiet+",
                                             "default+"};
    bool bKnown = false;
    for (const char *szKey : s_aszKnown) {
        bKnown = bKnown || strKey == szKey;
    }
    std::string strDefaultText = strDefault;
    std::string strDefaultKey = CDebugFifo::MakeKey(strDefaultText);
    bool bDefaultKnown = !strDefault.empty();
    if (bDefaultKnown) {
        bDefaultKnown = false;
        for (const char *szKey : s_aszKnown) {
            bDefaultKnown = bDefaultKnown || strDefaultKey == szKey;
        }
    }
    bool bIdKnown = s32DefaultId >= 1 && s32DefaultId <= 4;

    g_pFifo->SetDefaultCmd(strDefault, s32DefaultId);
    std::string strDispatched = strRequest;
    std::string strResponse;
    g_pFifo->Dispatch(strDispatched, strResponse);
    FUZZ_CHECK(strDispatched == strText);  // the request lost its line ends
    if (bKnown || bDefaultKnown || bIdKnown) {
        FUZZ_CHECK(strResponse.compare(0, 14, "unhandle cmd :") != 0);
    } else {
        FUZZ_CHECK(strResponse == "unhandle cmd :" + strText);
    }
    return 0;
}
