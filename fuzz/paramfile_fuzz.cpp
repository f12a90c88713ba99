// Fuzz target: the parameter-file reader on a fuzzed document, used as the
// service uses it: load, read the service's parameters through buffers of
// many sizes, set, save and load again; and the service's own pass over the
// file (CheckParamFilePass). A document that holds more than whitespace but
// does not parse, or holds a NUL byte (where the parser stops reading), is
// damaged: no save may change a byte of it.
//
// Input: a byte (unused), a 16-bit little-endian buffer size, four
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

// An '&' in a text or attribute value that starts no entity or character
// reference (tinyxml2 takes it and cuts the value): the file counts as
// damaged. The values are read from the document parsed without entity
// processing, so they stand as the file holds them, and only where the
// parser itself would read references.
class CBadReference : public tinyxml2::XMLVisitor
{
public:
    bool VisitEnter(const tinyxml2::XMLElement &, const tinyxml2::XMLAttribute *pAttr) override
    {
        for (; pAttr != nullptr; pAttr = pAttr->Next()) {
            Check(pAttr->Value());
        }
        return true;
    }
    bool Visit(const tinyxml2::XMLText &cText) override
    {
        if (!cText.CData()) {
            Check(cText.Value());
        }
        return true;
    }
    bool m_bFound = false;

private:
    void Check(const char *szValue)
    {
        static const std::regex s_cBad("&(?!(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);)");
        m_bFound = m_bFound || std::regex_search(szValue, s_cBad);
    }
};

bool HasBadReference(const std::string &strDoc)
{
    tinyxml2::XMLDocument cRaw(false);
    CBadReference cVisitor;
    if (cRaw.Parse(strDoc.data(), strDoc.size()) == tinyxml2::XML_SUCCESS) {
        cRaw.Accept(&cVisitor);
    }
    return cVisitor.m_bFound;
}

typedef std::optional<std::string> TRead;          // no value: absent
typedef std::pair<std::string, std::string> TKey;  // group, name
const char GROUP[] = "CHANNEL_1";
UInt32 g_u32FuzzSize = 0;  // a buffer size from the input
UInt32 g_u32Big = 0;       // more than any value of the input needs

// GetParam through buffers of many sizes, each with a guard byte after it:
// a value is given exactly when it fits with its NUL, always the same one,
// and a miss leaves the buffer untouched. Returns the value.
TRead Read(CXmlParamFile &cParam, const TKey &tKey)
{
    TRead tValue;
    for (UInt32 u32Size : {g_u32Big, 0u, 1u, 2u, 8u, 63u, 64u, 256u, g_u32FuzzSize}) {
        std::vector<char> vecBuf(u32Size + 1, 'Z');
        const SInt32 s32Ret =
            cParam.GetParam(tKey.first.c_str(), tKey.second.c_str(), vecBuf.data(), u32Size);
        FUZZ_CHECK(s32Ret == 1 ? vecBuf[u32Size] == 'Z' && memchr(vecBuf.data(), '\0', u32Size)
                               : s32Ret == 0 && vecBuf == std::vector<char>(u32Size + 1, 'Z'));
        const TRead tRead = (s32Ret == 1) ? TRead(vecBuf.data()) : std::nullopt;
        tValue = (u32Size == g_u32Big) ? tRead : tValue;
        FUZZ_CHECK(tRead == (tValue && tValue->size() < u32Size ? tValue : std::nullopt));
    }
    return tValue;
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
    cIn.Byte();
    g_u32FuzzSize = cIn.U16();
    const std::string strGroup = cIn.CString();
    const std::string strName = cIn.CString();
    const std::string strType = cIn.CString();
    const std::string strValue = cIn.CString();
    const std::string strDoc = cIn.Bytes(u64Size);
    g_u32Big = static_cast<UInt32>(u64Size) + 64;  // no value is longer than its input

    std::vector<TKey> vecKeys = {{GROUP, strName}, {strGroup, strName}, {strGroup, "sshapi_port"}};
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
        FUZZ_CHECK(bDamaged ==
                   (strDoc.find_first_not_of(" \t\r\n") != std::string::npos &&
                    (tinyxml2::XMLDocument().Parse(strDoc.data(), strDoc.size()) !=
                         tinyxml2::XML_SUCCESS ||
                     strDoc.find('\0') != std::string::npos || HasBadReference(strDoc))));
        const SInt32 s32Set =
            cParam.SetParam(strGroup.c_str(), strName.c_str(), strType.c_str(), strValue.c_str());
        FUZZ_CHECK(s32Set == 0 || (s32Set == 1 && Read(cParam, vecKeys[1]) == strValue));
        FUZZ_CHECK(cParam.SetParam(GROUP, "sshapi_port", "string", "2222") == 1);
        FUZZ_CHECK(Read(cParam, {GROUP, "sshapi_port"}) == "2222");
        for (const auto &tKey : vecKeys) {
            vecBefore.push_back(Read(cParam, tKey));
        }
        FUZZ_CHECK((cParam.Save() == 0) != bDamaged);
    }  // the lock is released here, so the next object can load the file
    if (bDamaged) {
        FUZZ_CHECK(FuzzReadFile(strPath) == strDoc);
    } else {
        // What was saved reads back the same, with two exceptions.
        CXmlParamFile cParam(strPath.c_str());
        FUZZ_CHECK(cParam.Load() == 0 && cParam.IsDamaged() == FALSE);
        for (size_t i = 0; i < vecKeys.size(); ++i) {
            const TRead tAfter = Read(cParam, vecKeys[i]);
            if ((vecBefore[i] && vecBefore[i]->empty() && !tAfter) ||  // empty element: absent
                vecKeys[i].second.find('\r') != std::string::npos) {   // attributes read CR as LF
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
        const TRead tPort = Read(cParam, {GROUP, "sshapi_port"});
        FUZZ_CHECK(tPort == strPort || (strPort.empty() && !tPort));
        FUZZ_CHECK(Read(cParam, {GROUP, "service_sshapi"}) &&
                   Read(cParam, {GROUP, "telnetapi_port"}));
    }
    return 0;
}
