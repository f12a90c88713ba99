// Fuzz target: the parameter-file reader on a fuzzed document: load, read
// the service's parameters through buffers of many sizes, set, delete,
// dump, save and load again; and the service's own pass over the file
// (CheckParamFilePass). A document that holds more than whitespace but does
// not parse is damaged: no save may change a byte of it.
//
// Input: a flags byte, a 16-bit little-endian buffer size, four
// NUL-terminated texts (group, name, type and value of one parameter to
// set), then the document.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzzcommon.h"
#include "main.h"
#include "xmlparamfile.h"

namespace
{

const char GROUP[] = "CHANNEL_1";
const char *const SERVICE_NAMES[] = {"service_telnetapi", "service_telnettlsapi", "service_sshapi",
                                     "telnetapi_port", "sshapi_port"};
// No value can be longer than the input it came from, so a buffer one byte
// longer than the input always fits; set per input.
UInt32 g_u32BigBuffer = 1;
const char SENTINEL = 0x5a;

struct TRead
{
    bool bPresent;
    std::string strValue;
    bool operator==(const TRead &tOther) const
    {
        return bPresent == tOther.bPresent && (!bPresent || strValue == tOther.strValue);
    }
};

// One GetParam through a heap buffer of exactly u32Size bytes; checks that
// a hit is NUL-terminated inside the buffer and that a miss leaves the
// buffer untouched.
TRead ReadParam(CXmlParamFile &cParam, const std::string &strGroup, const std::string &strName,
                UInt32 u32Size)
{
    std::vector<char> vecBuf(u32Size == 0 ? 1 : u32Size, SENTINEL);
    vecBuf.shrink_to_fit();
    TRead tRead{false, std::string()};
    SInt32 s32Ret = cParam.GetParam(strGroup.c_str(), strName.c_str(), vecBuf.data(), u32Size);
    FUZZ_CHECK(s32Ret == 0 || s32Ret == 1);
    if (s32Ret == 1) {
        const void *pNul = memchr(vecBuf.data(), '\0', u32Size);
        FUZZ_CHECK(pNul != nullptr);
        tRead.bPresent = true;
        tRead.strValue.assign(vecBuf.data());
    } else {
        FUZZ_CHECK(std::find_if(vecBuf.begin(), vecBuf.end(),
                                [](char c) { return c != SENTINEL; }) == vecBuf.end());
    }
    return tRead;
}

// Reads through buffers of many sizes agree with each other: a value is
// given exactly when it fits with its NUL, and it is always the same value.
TRead CheckReads(CXmlParamFile &cParam, const std::string &strGroup, const std::string &strName,
                 UInt32 u32FuzzSize)
{
    const TRead tBig = ReadParam(cParam, strGroup, strName, g_u32BigBuffer);
    const UInt32 au32Sizes[] = {0, 1, 2, 8, 63, 64, 256, u32FuzzSize};
    for (UInt32 u32Size : au32Sizes) {
        TRead tRead = ReadParam(cParam, strGroup, strName, u32Size);
        bool bFits = tBig.bPresent && tBig.strValue.size() < u32Size;
        FUZZ_CHECK(tRead.bPresent == bFits);
        FUZZ_CHECK(!bFits || tRead.strValue == tBig.strValue);
    }
    return tBig;
}

std::string ReadWhole(const std::string &strPath)
{
    std::string strText;
    FILE *pFile = fopen(strPath.c_str(), "rb");
    FUZZ_CHECK(pFile != nullptr);
    char acBuf[4096];
    size_t u64Read;
    while ((u64Read = fread(acBuf, 1, sizeof(acBuf), pFile)) > 0) {
        strText.append(acBuf, u64Read);
    }
    fclose(pFile);
    return strText;
}

// True when some CDATA section is followed by more text in the same
// element (mixed content).
bool CDataThenText(const std::string &strDoc)
{
    for (size_t u64Pos = strDoc.find("]]>"); u64Pos != std::string::npos;
         u64Pos = strDoc.find("]]>", u64Pos + 1)) {
        size_t u64Next = strDoc.find_first_not_of(" \t\r\n", u64Pos + 3);
        if (u64Next != std::string::npos && strDoc[u64Next] != '<') {
            return true;
        }
    }
    return false;
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
    g_u32BigBuffer = static_cast<UInt32>(u64Size) + 64;
    const uint8_t u8Flags = cIn.Byte();
    const UInt32 u32FuzzSize = cIn.U16();
    const std::string strGroup = cIn.CString();
    const std::string strName = cIn.CString();
    const std::string strType = cIn.CString();
    const std::string strValue = cIn.CString();
    const std::string strDoc = cIn.Rest();
    const bool bCDataThenText = CDataThenText(strDoc);

    std::vector<std::pair<std::string, std::string>> vecKeys;
    for (const char *szName : SERVICE_NAMES) {
        vecKeys.emplace_back(GROUP, szName);
    }
    vecKeys.emplace_back(GROUP, strName);
    vecKeys.emplace_back(strGroup, strName);
    vecKeys.emplace_back(strGroup, "sshapi_port");

    const std::string strPath = FuzzScratchDir() + "/param.xml";
    FuzzWriteFile(strPath, strDoc);
    std::vector<TRead> vecBefore;
    bool bDamaged = false;
    {
        CXmlParamFile cParam(strPath.c_str());
        // A broken document loads as the empty configuration: never an error.
        FUZZ_CHECK(cParam.Load() == 0);
        bDamaged = cParam.IsDamaged() == TRUE;
        FUZZ_CHECK(bDamaged == (strDoc.find_first_not_of(" \t\r\n") != std::string::npos &&
                                tinyxml2::XMLDocument().Parse(strDoc.data(), strDoc.size()) !=
                                    tinyxml2::XML_SUCCESS));
        for (const auto &tKey : vecKeys) {
            CheckReads(cParam, tKey.first, tKey.second, u32FuzzSize);
        }

        SInt32 s32Set =
            cParam.SetParam(strGroup.c_str(), strName.c_str(), strType.c_str(), strValue.c_str());
        FUZZ_CHECK(s32Set == 0 || s32Set == 1);
        if (s32Set == 1) {
            TRead tRead = CheckReads(cParam, strGroup, strName, u32FuzzSize);
            FUZZ_CHECK(tRead.bPresent && tRead.strValue == strValue);
        }
        FUZZ_CHECK(cParam.SetParam(GROUP, "sshapi_port", "string", "2222") == 1);
        TRead tPort = CheckReads(cParam, GROUP, "sshapi_port", u32FuzzSize);
        FUZZ_CHECK(tPort.bPresent && tPort.strValue == "2222");

        if ((u8Flags & 1u) != 0) {
            SInt32 s32Del = cParam.DeleteParam(strGroup.c_str(), strName.c_str());
            FUZZ_CHECK(s32Del == 0 || s32Del == 1);
            FUZZ_CHECK(s32Set == 0 || s32Del == 1);  // the group exists after a set
        }
        if ((u8Flags & 2u) != 0) {
            cParam.DeleteParam(GROUP, strName.c_str());
        }
        cParam.Dump();
        FUZZ_CHECK(CXmlParamFile::ErrorName(u8Flags) != nullptr);
        FUZZ_CHECK(CXmlParamFile::ErrorName(u32FuzzSize << 8) != nullptr);

        for (const auto &tKey : vecKeys) {
            vecBefore.push_back(CheckReads(cParam, tKey.first, tKey.second, u32FuzzSize));
        }
        FUZZ_CHECK((cParam.Save() == 0) != bDamaged);
        if ((u8Flags & 4u) != 0) {
            FUZZ_CHECK(cParam.Reset() == 0);
            for (const auto &tKey : vecKeys) {
                FUZZ_CHECK(!ReadParam(cParam, tKey.first, tKey.second, g_u32BigBuffer).bPresent);
            }
        }
    }  // the lock is released here, so the next object can load the file
    if (bDamaged) {
        FUZZ_CHECK(ReadWhole(strPath) == strDoc);
    } else {
        // What was saved reads back the same.
        CXmlParamFile cParam(strPath.c_str());
        FUZZ_CHECK(cParam.Load() == 0);
        for (size_t i = 0; i < vecKeys.size(); ++i) {
            TRead tAfter = ReadParam(cParam, vecKeys[i].first, vecKeys[i].second, g_u32BigBuffer);
            if (vecBefore[i].bPresent && vecBefore[i].strValue.empty() && !tAfter.bPresent) {
                continue;  // an empty value is saved as an empty element: absent
            }
            if (vecKeys[i].second.find('\r') != std::string::npos) {
                continue;  // a name is an attribute: XML reads its CR back as LF
            }
            if (bCDataThenText && (vecBefore[i].strValue.find('\r') != std::string::npos ||
                                   vecBefore[i].strValue.find("]]>") != std::string::npos)) {
                // Such a value cannot stay in a CDATA section and is written as
                // plain text, which merges with any text after the section.
                continue;
            }
            if (!(tAfter == vecBefore[i])) {
                fprintf(stderr, "round trip of [%s][%s]: %d [%s] became %d [%s]\n",
                        vecKeys[i].first.c_str(), vecKeys[i].second.c_str(),
                        vecBefore[i].bPresent ? 1 : 0, vecBefore[i].strValue.c_str(),
                        tAfter.bPresent ? 1 : 0, tAfter.strValue.c_str());
            }
            FUZZ_CHECK(tAfter == vecBefore[i]);
        }
    }

    // The service's pass over the same document: it ends with the SSH
    // switch and both ports present in the file, the port it reports fits
    // its buffer, and the file stays loadable; a damaged file stays as it
    // was, and the defaults apply.
    FuzzWriteFile(strPath, strDoc);
    std::string strPort;
    int s32Pass = CheckParamFilePass(strPath.c_str(), strPort);
    FUZZ_CHECK(s32Pass == 0 || s32Pass == 1);
    FUZZ_CHECK(strPort.size() < 63);
    if (bDamaged) {
        FUZZ_CHECK(s32Pass == 1 && strPort == "22");
        FUZZ_CHECK(ReadWhole(strPath) == strDoc);
    } else {
        CXmlParamFile cParam(strPath.c_str());
        FUZZ_CHECK(cParam.Load() == 0);
        TRead tPort = ReadParam(cParam, GROUP, "sshapi_port", 64);
        FUZZ_CHECK(tPort.bPresent && tPort.strValue == strPort);
        FUZZ_CHECK(ReadParam(cParam, GROUP, "service_sshapi", 64).bPresent);
        FUZZ_CHECK(ReadParam(cParam, GROUP, "telnetapi_port", 64).bPresent);
    }
    return 0;
}
