// Fuzz target: the credentials file grammar (SplitString, ParseUserCredentials)
// and the reload that a buffer of inotify records triggers
// (HandleConfigEvents), against a listener object of its own: a reload
// takes the file's entries only when one of them is usable, and the
// command-line user always stays.
//
// Input: one byte whose low two bits give the length of a delimiter and
// that many delimiter bytes; a 16-bit little-endian length and that many
// bytes of credentials file text; the rest, cut to 1023 bytes as the
// service's read is, as the bytes of one read of the inotify descriptor.
#include <sys/inotify.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "commonutils.h"
#include "fuzzcommon.h"
#include "main.h"
#include "sshsvr.h"

namespace
{

const size_t EVENT_READ_MAX = 1023;  // the service reads at most this much
const char PRESET_USER[] = "\x01preset";
const char CMDLINE_USER[] = "\x01cmdline";
const char CMDLINE_PASSWORD[] = "pw";

// The grammar stated plainly, to compare the parser with: lines at "\n",
// a line with exactly one colon is "name:value", a later line wins.
UserInfoMap ReferenceParse(const std::string &strText)
{
    UserInfoMap mapOut;
    size_t u64Start = 0;
    for (;;) {
        size_t u64End = strText.find('\n', u64Start);
        std::string strLine = strText.substr(
            u64Start, u64End == std::string::npos ? std::string::npos : u64End - u64Start);
        size_t u64Colon = strLine.find(':');
        if (u64Colon != std::string::npos && strLine.find(':', u64Colon + 1) == std::string::npos) {
            mapOut[strLine.substr(0, u64Colon)] = strLine.substr(u64Colon + 1);
        }
        if (u64End == std::string::npos) {
            break;
        }
        u64Start = u64End + 1;
    }
    return mapOut;
}

void CheckSplit(const std::string &strText, const std::string &strDelim)
{
    std::vector<std::string> vecPieces{"kept"};
    SplitString(strText, strDelim, vecPieces);
    // Appends: what the list held stays.
    FUZZ_CHECK(vecPieces.size() >= 2 && vecPieces[0] == "kept");
    if (strDelim.empty()) {
        FUZZ_CHECK(vecPieces.size() == 2 && vecPieces[1] == strText);
        return;
    }
    std::string strJoined;
    for (size_t i = 1; i < vecPieces.size(); ++i) {
        // Every occurrence was cut, so no piece holds the delimiter.
        FUZZ_CHECK(vecPieces[i].find(strDelim) == std::string::npos);
        if (i > 1) {
            strJoined += strDelim;
        }
        strJoined += vecPieces[i];
    }
    FUZZ_CHECK(strJoined == strText);
}

size_t CompleteRecords(const std::string &strEvents)
{
    size_t u64Count = 0;
    size_t u64Pos = 0;
    while (u64Pos + sizeof(struct inotify_event) <= strEvents.size()) {
        struct inotify_event stEvent;
        memcpy(&stEvent, strEvents.data() + u64Pos, sizeof(stEvent));
        if (stEvent.len > strEvents.size() - u64Pos - sizeof(stEvent)) {
            break;
        }
        u64Pos += sizeof(stEvent) + stEvent.len;
        ++u64Count;
    }
    return u64Count;
}

CSshSvr &Listener()
{
    static CSshSvr s_cSvr;
    return s_cSvr;
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
    std::string strDelim = cIn.Bytes(cIn.Byte() & 3u);
    std::string strText = cIn.Bytes(cIn.U16());
    std::string strEvents = cIn.Bytes(EVENT_READ_MAX);

    CheckSplit(strText, "\n");
    CheckSplit(strText, ":");
    CheckSplit(strText, strDelim);

    // The parser adds to the table and agrees with the grammar.
    const UserInfoMap mapExpected = ReferenceParse(strText);
    UserInfoMap mapUsers;
    mapUsers[PRESET_USER] = "value";
    FUZZ_CHECK(ParseUserCredentials(strText, mapUsers) == 0);
    UserInfoMap mapWithPreset = mapExpected;
    mapWithPreset.emplace(PRESET_USER, "value");
    FUZZ_CHECK(mapUsers == mapWithPreset);

    // One read of inotify records, in a buffer of exactly the bytes read so
    // that a sanitizer sees any read beyond them.
    const std::string strCredFile = FuzzScratchDir() + "/sshapipublicpw.cur";
    FuzzWriteFile(strCredFile, strText);
    std::vector<char> vecEvents(strEvents.begin(), strEvents.end());
    vecEvents.shrink_to_fit();
    TCredentials tCred;
    tCred.mapFile[PRESET_USER] = "value";
    CMd5A cMd5;
    tCred.mapCmdLine[CMDLINE_USER] = cMd5.MDString(CMDLINE_PASSWORD);
    int s32Reloads = HandleConfigEvents(vecEvents.empty() ? "" : vecEvents.data(), vecEvents.size(),
                                        strCredFile, tCred, Listener());
    FUZZ_CHECK(s32Reloads >= 0);
    FUZZ_CHECK(static_cast<size_t>(s32Reloads) <= CompleteRecords(strEvents));
    bool bUsable = false;
    for (const auto &tEntry : mapExpected) {
        bUsable = bUsable || IsStoredDigest(tEntry.second);
    }
    if (s32Reloads > 0 && bUsable) {
        // A reload takes exactly the file's entries, and the listener gets
        // them with the command-line user.
        FUZZ_CHECK(tCred.mapFile == mapExpected);
        FUZZ_CHECK(Listener().CheckUser(CMDLINE_USER, CMDLINE_PASSWORD) == 1);
    } else {
        // No record about the file, or nothing usable in it: the table is
        // left alone.
        FUZZ_CHECK(tCred.mapFile.size() == 1 && tCred.mapFile.count(PRESET_USER) == 1);
    }
    return 0;
}
