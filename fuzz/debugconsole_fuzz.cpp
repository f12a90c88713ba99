// Fuzz target: the debug console's command keys and dispatch, with the
// service's own command table and handler, a fuzzed default command and a
// fuzzed request, against the grammar stated plainly.
//
// Input: a byte taken as the signed default command id, a NUL-terminated
// default command text, then the request as the read loop sees it (at most
// 10,240 bytes, cut at the first NUL).
#include <algorithm>
#include <string>

#include "debugfifo.h"
#include "fuzzcommon.h"
#include "main.h"

namespace
{

CDebugFifo *g_pFifo = nullptr;

// Line ends dropped; every word (cut at blank, tab, colon, comma) followed
// by '+'; a text without words is its own word.
std::string ReferenceKey(std::string strText)
{
    strText.erase(std::remove_if(strText.begin(), strText.end(),
                                 [](char c) { return c == '\r' || c == '\n'; }),
                  strText.end());
    std::string strKey;
    std::string strWord;
    for (char c : strText + ' ') {
        if (std::string(" \t:,").find(c) == std::string::npos) {
            strWord += c;
        } else if (!strWord.empty()) {
            strKey += strWord + "+";
            strWord.clear();
        }
    }
    return strKey.empty() ? strText + "+" : strKey;
}

// The service's command whose key is strKey, or of id s32Id above 0; else -1.
int CommandOf(const std::string &strKey, SInt32 s32Id = 0)
{
    for (int i = 0; !DebugCmdTable[i].strName.empty(); ++i) {
        if (ReferenceKey(DebugCmdTable[i].strName) == strKey ||
            (s32Id > 0 && DebugCmdTable[i].s32Id == s32Id)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietOutput();
    // The pipes are made in the relocated device tree of a test build, with
    // the process id as suffix; the thread is never started.
    g_pFifo = new CDebugFifo();
    g_pFifo->SetPathSuffix("fuzz" + std::to_string(getpid()));
    g_pFifo->Init(DebugCmdTable);
    atexit([] {
        unlink(g_pFifo->RequestPath().c_str());
        unlink(g_pFifo->ResponsePath().c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size)
{
    CFuzzInput cIn(pData, u64Size);
    const SInt32 s32DefaultId = static_cast<int8_t>(cIn.Byte());
    const std::string strDefault = cIn.CString();
    const std::string strRequest = cIn.Bytes(10240).c_str();  // the read loop stops at a NUL

    std::string strText = strRequest;
    const std::string strKey = CDebugFifo::MakeKey(strText);
    FUZZ_CHECK(strKey == ReferenceKey(strRequest));

    // The request's key, else the default text's, else the default id
    // (above 0) picks the command, whose handler answers; else the request
    // comes back.
    int s32Command = CommandOf(strKey);
    if (s32Command < 0 && !strDefault.empty()) {
        s32Command = CommandOf(ReferenceKey(strDefault));
    }
    if (s32Command < 0) {
        s32Command = CommandOf("", s32DefaultId);
    }
    std::string strExpected = (s32Command < 0) ? "unhandle cmd :" + strText : "";
    if (s32Command >= 0) {
        const DebugCmd &tCmd = DebugCmdTable[s32Command];
        tCmd.pfnHandler(tCmd.s32Id, tCmd.pParam, strExpected);
    }
    std::string strDispatched = strRequest;
    std::string strResponse;
    g_pFifo->SetDefaultCmd(strDefault, s32DefaultId);
    g_pFifo->Dispatch(strDispatched, strResponse);
    FUZZ_CHECK(strDispatched == strText);
    FUZZ_CHECK(strResponse == strExpected);
    return 0;
}
