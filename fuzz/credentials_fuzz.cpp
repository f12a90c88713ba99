// Fuzz target: the credentials file grammar (ParseUserCredentials) and the
// reload that a buffer of inotify records triggers (HandleConfigEvents),
// against a listener of its own: a reload takes the file's entries only
// when one of them is usable, and the command-line user always stays.
//
// Input: a 16-bit little-endian length and that many bytes of credentials
// file text; the rest, cut to 1023 bytes as the service's read is, as the
// bytes of one read of the inotify descriptor.
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size)
{
    CFuzzInput cIn(pData, u64Size);
    const std::string strText = cIn.Bytes(cIn.U16());
    const std::string strEvents = cIn.Bytes(1023);

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
    FUZZ_CHECK(s32Reloads >= 0);
    if (s32Reloads > 0 && std::any_of(mapExpected.begin(), mapExpected.end(),
                                      [](const auto &t) { return IsStoredDigest(t.second); })) {
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
