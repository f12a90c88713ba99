// Name-based access to the device parameter file.
//
// File layout: <CONFIGURATION> holds one element per group; a group holds
// <PARAM NAME="..." TYPE="...">value</PARAM> elements. The reader never
// interprets TYPE. A missing, empty or broken file reads as the empty
// configuration, so callers can always fill in their defaults; but only a
// missing or empty file can be saved over. A broken one is left as it is.
#include "xmlparamfile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char *const g_szDefaultDoc = "<CONFIGURATION></CONFIGURATION>";
const char *const g_szRootName = "CONFIGURATION";
const char *const g_szParamName = "PARAM";
const char *const g_szNameAttr = "NAME";
const char *const g_szTypeAttr = "TYPE";

// Permission bits of a parameter file that has to be created: readable by
// the device's other services, written by root. Set explicitly, since the
// service may run under a umask of 077.
const mode_t g_u32CreateMode = 0644;

// Whether a well-formed reference starts at u64Pos, just after an '&':
// &amp; &lt; &gt; &quot; &apos; or a decimal or hexadecimal character
// reference.
bool ReferenceAt(const std::string &strText, size_t u64Pos)
{
    static const char *const s_aszNamed[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
    for (const char *szName : s_aszNamed) {
        if (strText.compare(u64Pos, strlen(szName), szName) == 0) {
            return true;
        }
    }
    if (strText.compare(u64Pos, 1, "#") != 0) {
        return false;
    }
    const bool bHex = strText.compare(u64Pos, 2, "#x") == 0;
    const size_t u64Digits = u64Pos + (bHex ? 2 : 1);
    const size_t u64End =
        strText.find_first_not_of(bHex ? "0123456789abcdefABCDEF" : "0123456789", u64Digits);
    return u64End != std::string::npos && u64End != u64Digits && strText[u64End] == ';';
}

// Where the markup that opens at u64Pos and holds no references ends (just
// after it): a comment, CDATA section, declaration or other "<!" markup,
// each running from its opening to the first end after it ("<?>" and
// "<!-->" open, they do not close). u64Pos when no such markup opens there;
// npos when it is never closed.
size_t SkipMarkup(const std::string &strText, size_t u64Pos)
{
    static const std::pair<const char *, const char *> s_atMarkup[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
    for (const auto &tMarkup : s_atMarkup) {
        const size_t u64Open = strlen(tMarkup.first);
        if (strText.compare(u64Pos, u64Open, tMarkup.first) == 0) {
            const size_t u64End = strText.find(tMarkup.second, u64Pos + u64Open);
            return (u64End == std::string::npos) ? u64End : u64End + strlen(tMarkup.second);
        }
    }
    return u64Pos;
}

// tinyxml2 takes a malformed reference ("&#;", a lone "&") and cuts the
// text there: such a file loaded as it is would be saved back without the
// rest of that text. So every '&' in text and in quoted attribute values
// must start a well-formed reference. The text is read as the parser reads
// it: markup without references is skipped, a tag runs to the first '>'
// outside quotes (an attribute value may hold "<!--" or '>'), an end tag's
// attributes are dropped by the parser and not checked, and an end tag
// with no element open ends the reading, as the parser keeps nothing after
// it. Called on text the parser accepted.
bool EntitiesWellFormed(const std::string &strText)
{
    size_t u64Depth = 0;   // elements open
    bool bInTag = false;   // between a tag's '<' and its '>'
    bool bEndTag = false;  // that tag is an end tag
    char chQuote = '\0';   // the quote of the attribute value being read
    size_t u64Pos = 0;
    while (u64Pos < strText.size()) {
        const char ch = strText[u64Pos];
        if (ch == '&' && (!bInTag || (chQuote != '\0' && !bEndTag))) {
            if (!ReferenceAt(strText, u64Pos + 1)) {
                return false;
            }
        } else if (bInTag) {
            if (chQuote != '\0') {
                chQuote = (ch == chQuote) ? '\0' : chQuote;
            } else if (ch == '"' || ch == '\'') {
                chQuote = ch;
            } else if (ch == '>') {
                bInTag = false;
                u64Depth += (!bEndTag && strText[u64Pos - 1] != '/') ? 1 : 0;
            }
        } else if (ch == '<') {
            const size_t u64End = SkipMarkup(strText, u64Pos);
            if (u64End == std::string::npos) {
                return true;  // unterminated: the parser has refused it already
            }
            if (u64End != u64Pos) {
                u64Pos = u64End;
                continue;
            }
            // The parser allows white space between the '<' and the '/'.
            const size_t u64Name = strText.find_first_not_of(" \t\n\v\f\r", u64Pos + 1);
            bEndTag = u64Name != std::string::npos && strText[u64Name] == '/';
            if (bEndTag && u64Depth == 0) {
                return true;
            }
            u64Depth -= bEndTag ? 1 : 0;
            bInTag = true;
        }
        ++u64Pos;
    }
    return true;
}

int OpenOrCreate(const char *szPath)
{
    int s32Fd = open(szPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, g_u32CreateMode);
    if (s32Fd >= 0) {
        fchmod(s32Fd, g_u32CreateMode);
        return s32Fd;
    }
    return open(szPath, O_RDWR | O_CREAT | O_CLOEXEC, g_u32CreateMode);
}

// The first group element szGroup in the document element, or nullptr.
tinyxml2::XMLElement *FindGroup(tinyxml2::XMLDocument &cDoc, const char *szGroup)
{
    tinyxml2::XMLElement *pRoot = cDoc.FirstChildElement(g_szRootName);
    return (pRoot != nullptr) ? pRoot->FirstChildElement(szGroup) : nullptr;
}

// The parameter szName of a group: the first element, from the group's first
// PARAM on (siblings of any element name), whose NAME attribute is szName.
tinyxml2::XMLElement *FindParam(tinyxml2::XMLElement *pGroup, const char *szName)
{
    for (tinyxml2::XMLElement *pElem = pGroup->FirstChildElement(g_szParamName); pElem != nullptr;
         pElem = pElem->NextSiblingElement()) {
        if (pElem->Attribute(g_szNameAttr, szName) != nullptr) {
            return pElem;
        }
    }
    return nullptr;
}

// A group becomes an element name, so it has to be a name the parser reads
// back; anything else would make the saved file unreadable and every
// parameter in it would be lost on the next load.
Bool IsValidElementName(const char *szName)
{
    const unsigned char *pu8Ch = reinterpret_cast<const unsigned char *>(szName);
    if (!tinyxml2::XMLUtil::IsNameStartChar(*pu8Ch)) {
        return FALSE;
    }
    for (++pu8Ch; *pu8Ch != '\0'; ++pu8Ch) {
        if (!tinyxml2::XMLUtil::IsNameChar(*pu8Ch)) {
            return FALSE;
        }
    }
    return TRUE;
}

// Reads the whole file: through the locked descriptor when there is one,
// otherwise (no lock could be taken) by the path. Returns XML_SUCCESS,
// XML_ERROR_FILE_NOT_FOUND for a missing file, or XML_ERROR_FILE_READ_ERROR
// for a file that is there but cannot be read.
SInt32 ReadText(SInt32 s32LockFd, const char *szPath, std::string &strText)
{
    strText.clear();
    int s32Fd = s32LockFd;
    if (s32Fd < 0) {
        s32Fd = open(szPath, O_RDONLY | O_CLOEXEC);
        if (s32Fd < 0) {
            return (errno == ENOENT || errno == ENOTDIR) ? tinyxml2::XML_ERROR_FILE_NOT_FOUND
                                                         : tinyxml2::XML_ERROR_FILE_READ_ERROR;
        }
    }
    SInt32 s32Err = tinyxml2::XML_SUCCESS;
    char acBuf[4096];
    for (;;) {
        ssize_t s64Read = pread(s32Fd, acBuf, sizeof(acBuf), static_cast<off_t>(strText.size()));
        if (s64Read < 0 && errno == EINTR) {
            continue;
        }
        if (s64Read < 0) {
            s32Err = tinyxml2::XML_ERROR_FILE_READ_ERROR;
        }
        if (s64Read <= 0) {
            break;
        }
        strText.append(acBuf, static_cast<size_t>(s64Read));
    }
    if (s32Fd != s32LockFd) {
        close(s32Fd);
    }
    return s32Err;
}

// A file of nothing but XML whitespace holds no parameter: it counts as
// empty, not as damaged.
Bool IsBlank(const std::string &strText)
{
    return strText.find_first_not_of(" \t\r\n") == std::string::npos ? TRUE : FALSE;
}

// Replaces the content of the file s32Fd by the u64Len bytes of pData,
// in place, and flushes it to storage. Returns 0, or -1 when anything fails.
int WriteInPlace(int s32Fd, const char *pData, size_t u64Len)
{
    struct stat stInfo;
    if (fstat(s32Fd, &stInfo) != 0) {
        return -1;
    }
    const bool bRegular = S_ISREG(stInfo.st_mode);
    const size_t u64OldLen = bRegular ? static_cast<size_t>(stInfo.st_size) : 0;
    // Room for a longer text is reserved first: a full disk then fails the
    // save before any byte of the old file has changed. File systems
    // without fallocate (flash ones among them) go on without it.
    if (bRegular && u64Len > u64OldLen &&
        fallocate(s32Fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(u64Len)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        return -1;
    }
    // A shorter text is padded with line feeds to the old length before the
    // file is cut: should the cut not reach storage, the file still parses
    // (whitespace after the document element) instead of ending in the old
    // text's tail.
    std::string strPadded;
    if (u64Len < u64OldLen) {
        strPadded.assign(pData, u64Len);
        strPadded.append(u64OldLen - u64Len, '\n');
        pData = strPadded.data();
    }
    const size_t u64WriteLen = (u64Len < u64OldLen) ? u64OldLen : u64Len;
    size_t u64Done = 0;
    while (u64Done < u64WriteLen) {
        ssize_t s64Written =
            pwrite(s32Fd, pData + u64Done, u64WriteLen - u64Done, static_cast<off_t>(u64Done));
        if (s64Written < 0 && errno == EINTR) {
            continue;
        }
        if (s64Written <= 0) {
            return -1;
        }
        u64Done += static_cast<size_t>(s64Written);
    }
    if (ftruncate(s32Fd, static_cast<off_t>(u64Len)) != 0 || fsync(s32Fd) != 0) {
        return -1;
    }
    return 0;
}

// Prints the document so that every text reads back as it was. XML reading
// turns a carriage return into a line feed (in CDATA too), and tinyxml2
// drops a text made only of whitespace; such characters are written as
// character references instead, which read back unchanged. A value reads
// from an element's first text, so texts keep their places: an empty text
// with more after it is written as an empty CDATA section, and so is a
// separator between two texts written as plain text, which would read
// back as one (a set can turn a CDATA section into plain text). Text
// outside the document element (stray bytes tinyxml2 tolerated on loading)
// holds no parameter and is left out: at the end of a file it would make
// the saved file unreadable, and with it every parameter. Everything else
// is printed as by the plain printer.
class CFaithfulPrinter : public tinyxml2::XMLPrinter
{
public:
    // Prints into memory (CStr()), indented.
    CFaithfulPrinter() : tinyxml2::XMLPrinter(nullptr, false) {}

    bool Visit(const tinyxml2::XMLText &cText) override
    {
        if (cText.Parent() != nullptr && cText.Parent()->ToDocument() != nullptr) {
            return true;
        }
        const tinyxml2::XMLNode *pNext = cText.NextSibling();
        if (cText.Value()[0] == '\0') {
            if (pNext != nullptr) {
                PushText("", true);
            }
            return true;
        }
        PrintText(cText.Value(), AsPlainText(cText));
        const tinyxml2::XMLText *pNextText = (pNext != nullptr) ? pNext->ToText() : nullptr;
        if (AsPlainText(cText) && pNextText != nullptr && pNextText->Value()[0] != '\0' &&
            AsPlainText(*pNextText)) {
            PushText("", true);
        }
        return true;
    }

private:
    static bool HasCr(const char *szText) { return strchr(szText, '\r') != nullptr; }

    static bool AllSpace(const char *szText)
    {
        bool bAllSpace = szText[0] != '\0';
        for (const char *p = szText; *p != '\0' && bAllSpace; ++p) {
            bAllSpace = tinyxml2::XMLUtil::IsWhiteSpace(*p);
        }
        return bAllSpace;
    }

    // Whether a text is written as plain text rather than as CDATA.
    static bool AsPlainText(const tinyxml2::XMLText &cText)
    {
        return !cText.CData() || HasCr(cText.Value()) || AllSpace(cText.Value());
    }

    // Writes a non-empty text, carriage returns and whitespace-only text as
    // character references.
    void PrintText(const char *szText, bool bPlain)
    {
        const bool bAllSpace = AllSpace(szText);
        if (!HasCr(szText) && !bAllSpace) {
            PushText(szText, !bPlain);
            return;
        }
        PushText("", false);  // closes the start tag like any text would
        std::string strRun;
        for (const char *p = szText; *p != '\0'; ++p) {
            if (*p == '\r' || bAllSpace) {
                if (!strRun.empty()) {
                    PushText(strRun.c_str(), false);
                    strRun.clear();
                }
                Print("&#%u;", static_cast<unsigned>(static_cast<unsigned char>(*p)));
            } else {
                strRun += *p;
            }
        }
        if (!strRun.empty()) {
            PushText(strRun.c_str(), false);
        }
    }
};

}  // namespace

CXmlParamFile::CXmlParamFile(const char *szPath)
    : m_szPath(), m_cDoc(true, tinyxml2::PRESERVE_WHITESPACE), m_s32LockFd(-1),
      m_s32Damage(tinyxml2::XML_SUCCESS)
{
    // Longer paths are cut to 255 characters; the rest stays NUL.
    if (szPath != nullptr) {
        memcpy(m_szPath, szPath, strnlen(szPath, sizeof(m_szPath) - 1));
    }
}

CXmlParamFile::~CXmlParamFile()
{
    m_cDoc.Clear();
    // Closing the descriptor releases the lock. Any valid descriptor is
    // closed, 0 and 1 included (they are ours if stdio was closed): keeping
    // it open would hold the lock for the life of the process and the next
    // reader of this file, in this process too, would wait for ever.
    if (m_s32LockFd >= 0) {
        close(m_s32LockFd);
        m_s32LockFd = -1;
    }
}

SInt32 CXmlParamFile::Load()
{
    // A second Load on the same object keeps the lock it already holds: a
    // new descriptor would wait for the lock of the first one for ever.
    if (m_s32LockFd < 0) {
        m_s32LockFd = OpenOrCreate(m_szPath);
        if (m_s32LockFd >= 0) {
            // Waits for other readers of the file. Without a lock (flock not
            // supported there) loading goes on all the same.
            while (flock(m_s32LockFd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }

    m_s32Damage = tinyxml2::XML_SUCCESS;
    std::string strText;
    SInt32 s32Read = ReadText(m_s32LockFd, m_szPath, strText);
    if (s32Read == tinyxml2::XML_SUCCESS && !IsBlank(strText)) {
        SInt32 s32Parse = m_cDoc.Parse(strText.data(), strText.size());
        // tinyxml2 reads only up to the first NUL byte, and a save would
        // drop the rest of the file: a NUL is damage, as no XML holds one.
        if (s32Parse == tinyxml2::XML_SUCCESS &&
            (strText.find('\0') != std::string::npos || !EntitiesWellFormed(strText))) {
            s32Parse = tinyxml2::XML_ERROR_PARSING_TEXT;
        }
        if (s32Parse == tinyxml2::XML_SUCCESS) {
            return tinyxml2::XML_SUCCESS;
        }
        m_s32Damage = s32Parse;
    } else if (s32Read == tinyxml2::XML_ERROR_FILE_READ_ERROR) {
        m_s32Damage = s32Read;
    }
    // Missing, empty, unreadable or broken: start from the empty configuration.
    return m_cDoc.Parse(g_szDefaultDoc, SIZE_MAX);
}

Bool CXmlParamFile::IsDamaged() const
{
    return (m_s32Damage != tinyxml2::XML_SUCCESS) ? TRUE : FALSE;
}

SInt32 CXmlParamFile::Reset()
{
    return m_cDoc.Parse(g_szDefaultDoc, SIZE_MAX);
}

SInt32 CXmlParamFile::GetParam(const char *szGroup, const char *szName, char *szValue,
                               UInt32 u32Size)
{
    if (szGroup == nullptr || szName == nullptr || szValue == nullptr) {
        return 0;
    }
    tinyxml2::XMLElement *pGroup = FindGroup(m_cDoc, szGroup);
    tinyxml2::XMLElement *pParam = (pGroup != nullptr) ? FindParam(pGroup, szName) : nullptr;
    if (pParam == nullptr) {
        return 0;
    }
    const char *szText = pParam->GetText();
    if (szText == nullptr) {
        return 0;
    }
    // A value that does not fit is reported as absent rather than cut.
    size_t uLen = strlen(szText);
    if (uLen >= u32Size) {
        return 0;
    }
    memcpy(szValue, szText, uLen + 1);
    return 1;
}

SInt32 CXmlParamFile::SetParam(const char *szGroup, const char *szName, const char *szType,
                               const char *szValue)
{
    if (szGroup == nullptr || szName == nullptr || szType == nullptr || szValue == nullptr) {
        return 0;
    }

    tinyxml2::XMLElement *pRoot = m_cDoc.FirstChildElement(g_szRootName);
    tinyxml2::XMLElement *pGroup = (pRoot != nullptr) ? pRoot->FirstChildElement(szGroup) : nullptr;
    if (pGroup == nullptr && !IsValidElementName(szGroup)) {
        return 0;
    }

    if (pRoot == nullptr) {
        pRoot = m_cDoc.NewElement(g_szRootName);
        if (pRoot == nullptr) {
            return 0;
        }
        m_cDoc.InsertEndChild(pRoot);
    }
    if (pGroup == nullptr) {
        pGroup = m_cDoc.NewElement(szGroup);
        if (pGroup == nullptr) {
            return 0;
        }
        pRoot->InsertEndChild(pGroup);
    }

    tinyxml2::XMLElement *pParam = FindParam(pGroup, szName);
    if (pParam == nullptr) {
        pParam = m_cDoc.NewElement(g_szParamName);
        if (pParam == nullptr) {
            return 0;
        }
        pGroup->InsertEndChild(pParam);
        pParam->SetAttribute(g_szNameAttr, szName);
    }
    pParam->SetAttribute(g_szTypeAttr, szType);

    // Only a text node takes the value. Any other first child (an element,
    // a comment) is kept and the value goes in front of it: renaming an
    // element to the value would corrupt the file.
    tinyxml2::XMLNode *pFirst = pParam->FirstChild();
    tinyxml2::XMLText *pText = (pFirst != nullptr) ? pFirst->ToText() : nullptr;
    if (pText != nullptr) {
        // A CDATA section cannot hold "]]>"; such a value is written as
        // escaped text instead.
        if (pText->CData() && strstr(szValue, "]]>") != nullptr) {
            pText->SetCData(false);
        }
        pText->SetValue(szValue);
    } else {
        pText = m_cDoc.NewText(szValue);
        if (pText == nullptr) {
            return 0;
        }
        pParam->InsertFirstChild(pText);
    }
    return 1;
}

SInt32 CXmlParamFile::DeleteParam(const char *szGroup, const char *szName)
{
    if (szGroup == nullptr || szName == nullptr) {
        return 0;
    }
    tinyxml2::XMLElement *pGroup = FindGroup(m_cDoc, szGroup);
    if (pGroup == nullptr) {
        return 0;
    }
    tinyxml2::XMLElement *pParam = FindParam(pGroup, szName);
    if (pParam != nullptr) {
        pGroup->DeleteChild(pParam);
    }
    return 1;
}

SInt32 CXmlParamFile::Save()
{
    if (m_s32Damage != tinyxml2::XML_SUCCESS) {
        return m_s32Damage;
    }
    CFaithfulPrinter cPrinter;
    m_cDoc.Print(&cPrinter);
    const size_t u64Len = static_cast<size_t>(cPrinter.CStrSize()) - 1;  // without the NUL

    // The file is rewritten in place: the lock of every reader lives on this
    // inode, so it must not be replaced by another one. Without the locked
    // descriptor of a Load the file is opened for this write alone; it takes
    // no lock of its own, which could wait for ever on a loaded object of
    // this very process.
    int s32Fd = m_s32LockFd;
    if (s32Fd < 0) {
        s32Fd = OpenOrCreate(m_szPath);
        if (s32Fd < 0) {
            return tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED;
        }
    }
    SInt32 s32Err = (WriteInPlace(s32Fd, cPrinter.CStr(), u64Len) == 0)
                        ? tinyxml2::XML_SUCCESS
                        : tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED;
    if (s32Fd != m_s32LockFd) {
        close(s32Fd);
    }
    return s32Err;
}

void CXmlParamFile::Dump()
{
    tinyxml2::XMLElement *pRoot = m_cDoc.FirstChildElement(g_szRootName);
    if (pRoot == nullptr) {
        return;
    }
    for (tinyxml2::XMLElement *pGroup = pRoot->FirstChildElement(); pGroup != nullptr;
         pGroup = pGroup->NextSiblingElement()) {
        puts(pGroup->Value());
        for (tinyxml2::XMLElement *pParam = pGroup->FirstChildElement(g_szParamName);
             pParam != nullptr; pParam = pParam->NextSiblingElement()) {
            const char *szName = pParam->Attribute(g_szNameAttr);
            if (szName == nullptr) {
                continue;
            }
            const char *szText = pParam->GetText();
            printf("    %s %s\n", szName, (szText != nullptr) ? szText : "");
        }
    }
    fflush(stdout);
}

const char *CXmlParamFile::ErrorName(UInt32 u32Code)
{
    // Texts by meaning, for the codes of the tinyxml2 the reader is built
    // with. Codes beyond the library's range are unknown; checking first
    // keeps the conversion to the enumeration within its values.
    if (u32Code >= static_cast<UInt32>(tinyxml2::XML_ERROR_COUNT)) {
        return "XML unknown error";
    }
    switch (static_cast<tinyxml2::XMLError>(u32Code)) {
    case tinyxml2::XML_SUCCESS: return "XML ok";
    case tinyxml2::XML_NO_ATTRIBUTE: return "XML no attribute";
    case tinyxml2::XML_WRONG_ATTRIBUTE_TYPE: return "XML wrong attribute type";
    case tinyxml2::XML_ERROR_FILE_NOT_FOUND: return "XML file not found";
    case tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED: return "XML file could not be opened";
    case tinyxml2::XML_ERROR_FILE_READ_ERROR: return "XML file read error";
    case tinyxml2::XML_ERROR_PARSING_ELEMENT: return "XML parsing element failed";
    case tinyxml2::XML_ERROR_PARSING_ATTRIBUTE: return "XML parsing attribute failed";
    case tinyxml2::XML_ERROR_PARSING_TEXT: return "XML parsing text failed";
    case tinyxml2::XML_ERROR_PARSING_CDATA: return "XML parsing CDATA failed";
    case tinyxml2::XML_ERROR_PARSING_COMMENT: return "XML parsing comment failed";
    case tinyxml2::XML_ERROR_PARSING_DECLARATION: return "XML parsing declaration failed";
    case tinyxml2::XML_ERROR_PARSING_UNKNOWN: return "XML parsing unknown failed";
    case tinyxml2::XML_ERROR_EMPTY_DOCUMENT: return "XML empty document";
    case tinyxml2::XML_ERROR_MISMATCHED_ELEMENT: return "XML mismatched element";
    case tinyxml2::XML_ERROR_PARSING: return "XML parsing failed";
    case tinyxml2::XML_CAN_NOT_CONVERT_TEXT: return "XML can not convert text";
    case tinyxml2::XML_NO_TEXT_NODE: return "XML no text node";
    default:
        // XML_ELEMENT_DEPTH_EXCEEDED and any later code have no text.
        return "XML unknown error";
    }
}
