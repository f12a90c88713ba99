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

// The service's commands; the index is the id.
const char *const g_aszCommands[] = {"help", "status", "log verbose", "log quiet", "default"};

const char *CommandOfKey(const std::string &strKey)
{
    for (const char *szCommand : g_aszCommands) {
        if (ReferenceKey(szCommand) == strKey) {
            return szCommand;
        }
    }
    return nullptr;
}

std::string Answer(std::string strRequest)
{
    std::string strResponse;
    g_pFifo->SetDefaultCmd("", 0);
    g_pFifo->Dispatch(strRequest, strResponse);
    return strResponse;
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
    FUZZ_CHECK(strText.find_first_of("\r\n") == std::string::npos);

    // The request's key, else the default text's, else the default id
    // (above 0) picks the command; else the request comes back.
    const char *szCommand = CommandOfKey(strKey);
    if (szCommand == nullptr && !strDefault.empty()) {
        szCommand = CommandOfKey(ReferenceKey(strDefault));
    }
    if (szCommand == nullptr && s32DefaultId >= 1 && s32DefaultId <= 4) {
        szCommand = g_aszCommands[s32DefaultId];
    }
    const std::string strExpected =
        (szCommand != nullptr) ? Answer(szCommand) : "unhandle cmd :" + strText;
    std::string strDispatched = strRequest;
    std::string strResponse;
    g_pFifo->SetDefaultCmd(strDefault, s32DefaultId);
    g_pFifo->Dispatch(strDispatched, strResponse);
    FUZZ_CHECK(strDispatched == strText);
    FUZZ_CHECK(strResponse == strExpected);
    return 0;
}
