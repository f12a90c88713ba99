// Fuzz target: the debug console's command keys and dispatch, with the
// service's own command table and handler, a fuzzed default command and a
// fuzzed request, against the grammar stated plainly.
//
// Input: a byte taken as the signed default command id, a NUL-terminated
// default command text, then the request as the read loop sees it (at most
// 10,240 bytes, cut at the first NUL).
#include <map>
#include <string>

#include "debugfifo.h"
#include "fuzzcommon.h"
#include "main.h"

namespace
{

CDebugFifo *g_pFifo = nullptr;

// Line ends dropped; every word (cut at blank, tab, colon, comma) followed
// by '+'; a text without words is its own word.
std::string ReferenceKey(const std::string &strText)
{
    std::string strBare;
    std::string strKey;
    std::string strWord;
    for (char c : strText + ' ') {
        if (c == ' ' || c == '\t' || c == ':' || c == ',') {
            strKey += strWord.empty() ? "" : strWord + "+";
            strWord.clear();
        } else if (c != '\r' && c != '\n') {
            strWord += c;
        }
        strBare += (c == '\r' || c == '\n') ? "" : std::string(1, c);
    }
    strBare.pop_back();  // the blank added above
    return strKey.empty() ? strBare + "+" : strKey;
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
    static const std::map<std::string, std::string> s_mapByKey = {{"help+", "help"},
                                                                  {"status+", "status"},
                                                                  {"log+verbose+", "log verbose"},
                                                                  {"log+quiet+", "log quiet"},
                                                                  {"default+", "default"}};
    static const char *const s_aszById[] = {"help", "status", "log verbose", "log quiet",
                                            "default"};
    std::string strExpected = "unhandle cmd :" + strText;
    if (s_mapByKey.count(strKey) != 0) {
        strExpected = Answer(s_mapByKey.at(strKey));
    } else if (!strDefault.empty() && s_mapByKey.count(ReferenceKey(strDefault)) != 0) {
        strExpected = Answer(s_mapByKey.at(ReferenceKey(strDefault)));
    } else if (s32DefaultId >= 1 && s32DefaultId <= 4) {
        strExpected = Answer(s_aszById[s32DefaultId]);
    }
    std::string strDispatched = strRequest;
    std::string strResponse;
    g_pFifo->SetDefaultCmd(strDefault, s32DefaultId);
    g_pFifo->Dispatch(strDispatched, strResponse);
    FUZZ_CHECK(strDispatched == strText);
    FUZZ_CHECK(strResponse == strExpected);
    return 0;
}
