// Fuzz target: the credentials file grammar (SplitString,
// ParseUserCredentials) and the reload that a buffer of inotify records
// triggers (HandleConfigEvents), against a listener of its own: a reload
// takes the file's entries only when one of them is usable, and the
// command-line user always stays.
//
// Input: one byte whose low two bits give the length of a delimiter and
// that many delimiter bytes; a 16-bit little-endian length and that many
// bytes of credentials file text; the rest, cut to 1023 bytes as the
// service's read is, as the bytes of one read of the inotify descriptor.
#include <sys/inotify.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commonutils.h"
#include "fuzzcommon.h"
#include "main.h"
#include "sshsvr.h"

namespace
{

// The grammar stated plainly: lines at "\n", a line with exactly one colon
// is "name:value", a later line wins.
UserInfoMap ReferenceParse(const std::string &strText)
{
    UserInfoMap mapOut;
    std::istringstream cIn(strText);
    for (std::string strLine; std::getline(cIn, strLine);) {
        const size_t u64Colon = strLine.find(':');
        if (u64Colon != std::string::npos && strLine.find(':', u64Colon + 1) == std::string::npos) {
            mapOut[strLine.substr(0, u64Colon)] = strLine.substr(u64Colon + 1);
        }
    }
    return mapOut;
}

// SplitString appends pieces without the delimiter that join back to the text.
void CheckSplit(const std::string &strText, const std::string &strDelim)
{
    std::vector<std::string> vecPieces{"kept"};
    SplitString(strText, strDelim, vecPieces);
    FUZZ_CHECK(vecPieces.size() >= 2 && vecPieces[0] == "kept");
    std::string strJoined = vecPieces[1];
    for (size_t i = 2; i < vecPieces.size(); ++i) {
        strJoined += strDelim + vecPieces[i];
    }
    FUZZ_CHECK(strJoined == strText);
    FUZZ_CHECK(!strDelim.empty() || vecPieces.size() == 2);
    for (size_t i = 1; i < vecPieces.size() && !strDelim.empty(); ++i) {
        FUZZ_CHECK(vecPieces[i].find(strDelim) == std::string::npos);
    }
}

size_t CompleteRecords(const std::string &strEvents)
{
    size_t u64Count = 0;
    for (size_t u64Pos = 0; u64Pos + sizeof(inotify_event) <= strEvents.size(); ++u64Count) {
        inotify_event stEvent;
        memcpy(&stEvent, strEvents.data() + u64Pos, sizeof(stEvent));
        if (stEvent.len > strEvents.size() - u64Pos - sizeof(stEvent)) {
            break;
        }
        u64Pos += sizeof(stEvent) + stEvent.len;
    }
    return u64Count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size)
{
    CFuzzInput cIn(pData, u64Size);
    const std::string strDelim = cIn.Bytes(cIn.Byte() & 3u);
    const std::string strText = cIn.Bytes(cIn.U16());
    const std::string strEvents = cIn.Bytes(1023);
    for (const std::string &strCut : {std::string("\n"), std::string(":"), strDelim}) {
        CheckSplit(strText, strCut);
    }

    // The parser adds to the table and agrees with the grammar.
    const UserInfoMap mapExpected = ReferenceParse(strText);
    UserInfoMap mapUsers = {{"\x01preset", "value"}};
    FUZZ_CHECK(ParseUserCredentials(strText, mapUsers) == 0);
    UserInfoMap mapWithPreset = mapExpected;
    mapWithPreset.emplace("\x01preset", "value");
    FUZZ_CHECK(mapUsers == mapWithPreset);

    // One read of inotify records, in a buffer of exactly the bytes read so
    // that a sanitizer sees any read beyond them.
    const std::string strCredFile = FuzzScratchFile(strText);
    std::unique_ptr<char[]> pEvents(new char[strEvents.size()]);
    memcpy(pEvents.get(), strEvents.data(), strEvents.size());
    TCredentials tCred;
    tCred.mapFile = {{"\x01preset", "value"}};
    CMd5A cMd5;
    tCred.mapCmdLine = {{"\x01cmdline", cMd5.MDString("pw")}};
    static CSshSvr s_cListener;
    const int s32Reloads =
        HandleConfigEvents(pEvents.get(), strEvents.size(), strCredFile, tCred, s_cListener);
    FUZZ_CHECK(s32Reloads >= 0 && static_cast<size_t>(s32Reloads) <= CompleteRecords(strEvents));
    bool bUsable = false;
    for (const auto &tEntry : mapExpected) {
        bUsable = bUsable || IsStoredDigest(tEntry.second);
    }
    if (s32Reloads > 0 && bUsable) {
        // A reload takes exactly the file's entries, and the listener gets
        // them with the command-line user.
        FUZZ_CHECK(tCred.mapFile == mapExpected);
        FUZZ_CHECK(s_cListener.CheckUser("\x01cmdline", "pw") == 1);
    } else {
        // No record about the file, or nothing usable in it: the table stays.
        FUZZ_CHECK(tCred.mapFile == UserInfoMap({{"\x01preset", "value"}}));
    }
    return 0;
}
