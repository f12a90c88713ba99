// Fuzz target: the parameter-file reader on a fuzzed document: load, read
// the service's parameters through buffers of many sizes, set, delete,
// dump, save and load again; and the service's own pass over the file
// (CheckParamFilePass). A document that holds more than whitespace but does
// not parse is damaged: no save may change a byte of it.
//
// Input: a flags byte, a 16-bit little-endian buffer size, four
// NUL-terminated texts (group, name, type and value of one parameter to
// set), then the document.
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fuzzcommon.h"
#include "main.h"
#include "xmlparamfile.h"

namespace
{

// An '&' in text that starts no entity or character reference (tinyxml2
// takes it and cuts the text): the file counts as damaged. Comments, CDATA
// sections and processing instructions are no text; one never closed runs
// to the end.
bool HasBadReference(const std::string &strDoc)
{
    static const std::regex s_cNotText(
        "<!--[^]*?(-->|$)|<!\\[CDATA\\[[^]*?(\\]\\]>|$)|<\\?[^]*?(\\?>|$)");
    static const std::regex s_cBad("&(?!(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);)");
    return std::regex_search(std::regex_replace(strDoc, s_cNotText, ""), s_cBad);
}

typedef std::optional<std::string> TRead;  // no value: absent
const char GROUP[] = "CHANNEL_1";
const char SENTINEL = 0x5a;

// One GetParam through a buffer of u32Size bytes and a guard byte after
// it: a hit ends with a NUL inside the buffer, a miss leaves it untouched.
TRead ReadParam(CXmlParamFile &cParam, const std::string &strGroup, const std::string &strName,
                UInt32 u32Size)
{
    std::vector<char> vecBuf(u32Size + 1, SENTINEL);
    const SInt32 s32Ret =
        cParam.GetParam(strGroup.c_str(), strName.c_str(), vecBuf.data(), u32Size);
    FUZZ_CHECK(vecBuf[u32Size] == SENTINEL);
    if (s32Ret == 1) {
        FUZZ_CHECK(memchr(vecBuf.data(), '\0', u32Size) != nullptr);
        return std::string(vecBuf.data());
    }
    FUZZ_CHECK(s32Ret == 0 && vecBuf == std::vector<char>(u32Size + 1, SENTINEL));
    return std::nullopt;
}

// Reads through buffers of many sizes agree: a value is given exactly when
// it fits with its NUL, and it is always the same value.
TRead CheckReads(CXmlParamFile &cParam, const std::pair<std::string, std::string> &tKey,
                 UInt32 u32FuzzSize, UInt32 u32Big)
{
    const TRead tBig = ReadParam(cParam, tKey.first, tKey.second, u32Big);
    for (UInt32 u32Size : {0u, 1u, 2u, 8u, 63u, 64u, 256u, u32FuzzSize}) {
        const TRead tRead = ReadParam(cParam, tKey.first, tKey.second, u32Size);
        FUZZ_CHECK(tRead == (tBig && tBig->size() < u32Size ? tBig : std::nullopt));
    }
    return tBig;
}

// True when some CDATA section is followed by more text in the same element.
bool CDataThenText(const std::string &strDoc)
{
    for (size_t u64Pos = strDoc.find("]]>"); u64Pos != std::string::npos;
         u64Pos = strDoc.find("]]>", u64Pos + 1)) {
        const size_t u64Next = strDoc.find_first_not_of(" \t\r\n", u64Pos + 3);
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
    const uint8_t u8Flags = cIn.Byte();
    const UInt32 u32FuzzSize = cIn.U16();
    const std::string strGroup = cIn.CString();
    const std::string strName = cIn.CString();
    const std::string strType = cIn.CString();
    const std::string strValue = cIn.CString();
    const std::string strDoc = cIn.Bytes(u64Size);
    // No value is longer than the input it came from.
    const UInt32 u32Big = static_cast<UInt32>(u64Size) + 64;

    std::vector<std::pair<std::string, std::string>> vecKeys = {
        {GROUP, strName}, {strGroup, strName}, {strGroup, "sshapi_port"}};
    for (const char *szName : {"service_telnetapi", "service_telnettlsapi", "service_sshapi",
                               "telnetapi_port", "sshapi_port"}) {
        vecKeys.emplace_back(GROUP, szName);
    }

    const std::string strPath = FuzzScratchFile(strDoc);
    std::vector<TRead> vecBefore;
    bool bDamaged = false;
    {
        CXmlParamFile cParam(strPath.c_str());
        // A broken document loads as the empty configuration: never an error.
        FUZZ_CHECK(cParam.Load() == 0);
        bDamaged = cParam.IsDamaged() == TRUE;
        FUZZ_CHECK(bDamaged == (strDoc.find_first_not_of(" \t\r\n") != std::string::npos &&
                                (tinyxml2::XMLDocument().Parse(strDoc.data(), strDoc.size()) !=
                                     tinyxml2::XML_SUCCESS ||
                                 HasBadReference(strDoc))));
        for (const auto &tKey : vecKeys) {
            CheckReads(cParam, tKey, u32FuzzSize, u32Big);
        }
        const SInt32 s32Set =
            cParam.SetParam(strGroup.c_str(), strName.c_str(), strType.c_str(), strValue.c_str());
        FUZZ_CHECK(s32Set == 0 || (s32Set == 1 && CheckReads(cParam, vecKeys[1], u32FuzzSize,
                                                             u32Big) == strValue));
        FUZZ_CHECK(cParam.SetParam(GROUP, "sshapi_port", "string", "2222") == 1);
        FUZZ_CHECK(CheckReads(cParam, {GROUP, "sshapi_port"}, u32FuzzSize, u32Big) == "2222");
        if ((u8Flags & 1u) != 0) {
            const SInt32 s32Del = cParam.DeleteParam(strGroup.c_str(), strName.c_str());
            FUZZ_CHECK(s32Del == 1 || (s32Del == 0 && s32Set == 0));  // a set makes the group
        }
        cParam.Dump();
        FUZZ_CHECK(CXmlParamFile::ErrorName(u32FuzzSize << (u8Flags % 32)) != nullptr);
        for (const auto &tKey : vecKeys) {
            vecBefore.push_back(CheckReads(cParam, tKey, u32FuzzSize, u32Big));
        }
        FUZZ_CHECK((cParam.Save() == 0) != bDamaged);
        if ((u8Flags & 4u) != 0) {
            FUZZ_CHECK(cParam.Reset() == 0);
            for (const auto &tKey : vecKeys) {
                FUZZ_CHECK(!ReadParam(cParam, tKey.first, tKey.second, u32Big));
            }
        }
    }  // the lock is released here, so the next object can load the file
    if (bDamaged) {
        FUZZ_CHECK(FuzzReadFile(strPath) == strDoc);
    } else {
        // What was saved reads back the same, with three exceptions.
        CXmlParamFile cParam(strPath.c_str());
        FUZZ_CHECK(cParam.Load() == 0 && cParam.IsDamaged() == FALSE);
        const bool bCDataThenText = CDataThenText(strDoc);
        for (size_t i = 0; i < vecKeys.size(); ++i) {
            const TRead tAfter = ReadParam(cParam, vecKeys[i].first, vecKeys[i].second, u32Big);
            const std::string strBefore = vecBefore[i].value_or("");
            if ((vecBefore[i] && strBefore.empty() && !tAfter) ||     // empty element: absent
                vecKeys[i].second.find('\r') != std::string::npos ||  // attributes read CR as LF
                // a value no CDATA section can hold is written as text,
                // which merges with text after the section
                (bCDataThenText && (strBefore.find('\r') != std::string::npos ||
                                    strBefore.find("]]>") != std::string::npos))) {
                continue;
            }
            FUZZ_CHECK(tAfter == vecBefore[i]);
        }
    }

    // The service's pass over the same document: it ends with the SSH
    // switch and both ports present in the file, the port it reports fits
    // its buffer, and the file stays loadable; a damaged file stays as it
    // was, and the defaults apply.
    FuzzScratchFile(strDoc);
    std::string strPort;
    const int s32Pass = CheckParamFilePass(strPath.c_str(), strPort);
    FUZZ_CHECK((s32Pass == 0 || s32Pass == 1) && strPort.size() < 63);
    if (bDamaged) {
        FUZZ_CHECK(s32Pass == 1 && strPort == "22" && FuzzReadFile(strPath) == strDoc);
    } else {
        CXmlParamFile cParam(strPath.c_str());
        FUZZ_CHECK(cParam.Load() == 0);
        // A port that reads as empty is saved as an empty element: absent.
        const TRead tPort = ReadParam(cParam, GROUP, "sshapi_port", 64);
        FUZZ_CHECK(tPort == strPort || (strPort.empty() && !tPort));
        FUZZ_CHECK(ReadParam(cParam, GROUP, "service_sshapi", 64).has_value());
        FUZZ_CHECK(ReadParam(cParam, GROUP, "telnetapi_port", 64).has_value());
    }
    return 0;
}
