// CXmlParamFile: loading with fallback to the empty configuration, lookup,
// edits and their file form, Dump output, error texts and the file lock.
#include "xmlparamfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testsupport.h"

// The reader's truncate and flush calls land here (the executable's
// definitions win over the C library's), so a test can make one fail.
namespace
{
std::atomic<int> g_s32FailTruncate(0);
std::atomic<int> g_s32FailFsync(0);
}  // namespace

extern "C" int ftruncate(int s32Fd, off_t s64Len) noexcept
{
    if (g_s32FailTruncate.exchange(0) != 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_ftruncate, s32Fd, s64Len));
}

extern "C" int fsync(int s32Fd)
{
    if (g_s32FailFsync.exchange(0) != 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, s32Fd));
}

namespace
{

namespace fs = std::filesystem;

const char *const g_szSample =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- shared by the device services -->\n"
    "<CONFIGURATION>\n"
    "    <NETWORK>\n"
    "        <PARAM NAME=\"ip\" TYPE=\"string\">192.168.1.10</PARAM>\n"
    "    </NETWORK>\n"
    "    <CHANNEL_1>\n"
    "        <PARAM NAME=\"service_telnetapi\" TYPE=\"string\">true</PARAM>\n"
    "        <PARAM NAME=\"sshapi_port\" TYPE=\"string\">2022</PARAM>\n"
    "        <PARAM NAME=\"empty\" TYPE=\"string\"/>\n"
    "        <PARAM TYPE=\"string\">no name</PARAM>\n"
    "        <PARAM NAME=\"escaped\" TYPE=\"string\">a&lt;b&amp;c</PARAM>\n"
    "    </CHANNEL_1>\n"
    "    <CHANNEL_1>\n"
    "        <PARAM NAME=\"sshapi_port\" TYPE=\"string\">9999</PARAM>\n"
    "    </CHANNEL_1>\n"
    "    <EMPTYGROUP/>\n"
    "</CONFIGURATION>\n";

class XmlParamFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(SSHAPI_TEST_TMP);
        std::string strTemplate = std::string(SSHAPI_TEST_TMP) + "/xmlparamfile.XXXXXX";
        ASSERT_NE(mkdtemp(strTemplate.data()), nullptr) << strerror(errno);
        m_strDir = strTemplate;
    }

    void TearDown() override
    {
        std::error_code cErr;
        fs::remove_all(m_strDir, cErr);
    }

    std::string PathOf(const char *szName) const { return m_strDir + "/" + szName; }

    std::string WriteFile(const char *szName, const std::string &strText) const
    {
        std::string strPath = PathOf(szName);
        std::ofstream cOut(strPath, std::ios::binary | std::ios::trunc);
        cOut << strText;
        return strPath;
    }

    static std::string ReadFile(const std::string &strPath)
    {
        std::ifstream cIn(strPath, std::ios::binary);
        std::ostringstream cText;
        cText << cIn.rdbuf();
        return cText.str();
    }

    static std::string Get(CXmlParamFile &cFile, const char *szGroup, const char *szName)
    {
        char szBuf[256] = "";
        if (cFile.GetParam(szGroup, szName, szBuf, sizeof(szBuf)) != 1) {
            return "<absent>";
        }
        return szBuf;
    }

    std::string m_strDir;
};

// ---------------------------------------------------------------- Load

TEST_F(XmlParamFileTest, MissingFileIsCreatedEmptyWithMode0644WhateverTheUmask)
{
    struct TCase
    {
        mode_t u32Umask;
        mode_t u32Expected;
    };
    const TCase atCases[] = {{0, 0644}, {077, 0644}};  // the service may run under 077
    for (const TCase &tCase : atCases) {
        std::string strPath = PathOf(("missing" + std::to_string(tCase.u32Umask)).c_str());
        mode_t u32Old = umask(tCase.u32Umask);
        {
            CXmlParamFile cFile(strPath.c_str());
            EXPECT_EQ(0, cFile.Load());
            char szBuf[64];
            memset(szBuf, 'X', sizeof(szBuf));
            EXPECT_EQ(0, cFile.GetParam("CHANNEL_1", "sshapi_port", szBuf, sizeof(szBuf)));
            EXPECT_EQ('X', szBuf[0]) << "buffer must stay untouched";
        }
        umask(u32Old);
        struct stat stInfo;
        ASSERT_EQ(0, stat(strPath.c_str(), &stInfo));
        EXPECT_EQ(0, stInfo.st_size) << "Load must not write the file";
        EXPECT_EQ(tCase.u32Expected, stInfo.st_mode & 07777)
            << "umask " << std::oct << tCase.u32Umask;
    }
}

TEST_F(XmlParamFileTest, OnlyMissingOrEmptyFilesAreSavedOver)
{
    // Whatever does not parse reads as the empty configuration. Only a file
    // that holds nothing but whitespace may then be saved over: anything
    // else may be another service's save cut short, and writing would drop
    // every parameter in it.
    struct TCase
    {
        std::string strText;
        bool bDamaged;
    };
    const TCase atCases[] = {
        {"", false},
        {"  \n\t", false},
        {"not xml at all", true},
        {"<CONFIGURATION><CHANNEL_1><PARAM NAME=\"sshapi_port\">22</PARAM></CHANNEL_1>", true},
        {"<CONFIGURATION></CHANNEL_1></CONFIGURATION>", true},
        {std::string(64, '\0'), true},  // what a power cut can leave
    };
    const std::string strSaved = "<CONFIGURATION>\n"
                                 "    <CHANNEL_1>\n"
                                 "        <PARAM NAME=\"x\" TYPE=\"string\">1</PARAM>\n"
                                 "    </CHANNEL_1>\n"
                                 "</CONFIGURATION>\n";
    for (const TCase &tCase : atCases) {
        SCOPED_TRACE(testing::PrintToString(tCase.strText));
        std::string strPath = WriteFile("broken.xml", tCase.strText);
        {
            CXmlParamFile cFile(strPath.c_str());
            EXPECT_EQ(0, cFile.Load());
            EXPECT_EQ(tCase.bDamaged ? TRUE : FALSE, cFile.IsDamaged());
            EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_1", "sshapi_port"));
            ASSERT_EQ(1, cFile.SetParam("CHANNEL_1", "x", "string", "1"));
        }
        EXPECT_EQ(tCase.strText, ReadFile(strPath)) << "edits without Save must not reach the file";

        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        ASSERT_EQ(1, cFile.SetParam("CHANNEL_1", "x", "string", "1"));
        if (tCase.bDamaged) {
            EXPECT_NE(0, cFile.Save());
            EXPECT_EQ(tCase.strText, ReadFile(strPath));
        } else {
            EXPECT_EQ(0, cFile.Save());
            EXPECT_EQ(strSaved, ReadFile(strPath));
        }
    }
}

TEST_F(XmlParamFileTest, LongPathIsCutTo255Characters)
{
    std::string strPrefix = m_strDir + "/";
    ASSERT_LT(strPrefix.size(), 200u);
    std::string strCut = strPrefix + std::string(255 - strPrefix.size(), 'p');
    ASSERT_EQ(255u, strCut.size());
    std::string strLong = strCut + "SUFFIX";

    CXmlParamFile cFile(strLong.c_str());
    EXPECT_EQ(0, cFile.Load());
    EXPECT_TRUE(fs::exists(strCut));
    EXPECT_FALSE(fs::exists(strLong));
}

TEST_F(XmlParamFileTest, SaveReportsEveryFailure)
{
    // No directory: no lock and no file, but an empty configuration to work on.
    std::string strPath = PathOf("no/such/dir/param.xml");
    CXmlParamFile cFile(strPath.c_str());
    EXPECT_EQ(0, cFile.Load());
    EXPECT_EQ(FALSE, cFile.IsDamaged());
    ASSERT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
    SInt32 s32Err = cFile.Save();
    EXPECT_EQ(tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED, s32Err);
    EXPECT_STREQ("XML file could not be opened",
                 CXmlParamFile::ErrorName(static_cast<UInt32>(s32Err)));

    // A full disk: the open works, the write does not; that is no success.
    CXmlParamFile cFull("/dev/full");
    ASSERT_EQ(0, cFull.Reset());
    ASSERT_EQ(1, cFull.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
    EXPECT_NE(0, cFull.Save());

    // A failed cut of a shorter text: before the cut the text was padded
    // with line feeds, so the file still reads. Then a failed flush.
    strPath = WriteFile("param.xml", g_szSample);
    CXmlParamFile cShort(strPath.c_str());
    ASSERT_EQ(0, cShort.Load());
    ASSERT_EQ(0, cShort.Reset());
    ASSERT_EQ(1, cShort.SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
    g_s32FailTruncate = 1;
    EXPECT_NE(0, cShort.Save());
    EXPECT_EQ(strlen(g_szSample), ReadFile(strPath).size());
    {
        CXmlParamFile cRead(WriteFile("copy.xml", ReadFile(strPath)).c_str());
        ASSERT_EQ(0, cRead.Load());
        EXPECT_EQ(FALSE, cRead.IsDamaged());
        EXPECT_EQ("4022", Get(cRead, "CHANNEL_1", "sshapi_port"));
    }
    g_s32FailFsync = 1;
    EXPECT_NE(0, cShort.Save());
    EXPECT_EQ(0, cShort.Save());
    EXPECT_EQ("<CONFIGURATION>\n"
              "    <CHANNEL_1>\n"
              "        <PARAM NAME=\"sshapi_port\" TYPE=\"string\">4022</PARAM>\n"
              "    </CHANNEL_1>\n"
              "</CONFIGURATION>\n",
              ReadFile(strPath));
}

// ---------------------------------------------------------------- GetParam

TEST_F(XmlParamFileTest, GetParamFindsByExactGroupAndName)
{
    CXmlParamFile cFile(WriteFile("param.xml", g_szSample).c_str());
    ASSERT_EQ(0, cFile.Load());

    EXPECT_EQ("192.168.1.10", Get(cFile, "NETWORK", "ip"));
    EXPECT_EQ("true", Get(cFile, "CHANNEL_1", "service_telnetapi"));
    EXPECT_EQ("2022", Get(cFile, "CHANNEL_1", "sshapi_port")) << "the first group of a name counts";
    EXPECT_EQ("a<b&c", Get(cFile, "CHANNEL_1", "escaped")) << "entities are decoded";

    EXPECT_EQ("<absent>", Get(cFile, "channel_1", "sshapi_port"))
        << "group names are case-sensitive";
    EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_1", "SSHAPI_PORT"));
    EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_2", "sshapi_port"));
    EXPECT_EQ("<absent>", Get(cFile, "NETWORK", "sshapi_port"));
    EXPECT_EQ("<absent>", Get(cFile, "EMPTYGROUP", "ip"));
    EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_1", "empty"))
        << "a PARAM without text reads as absent";

    char szBuf[16] = "untouched";
    EXPECT_EQ(0, cFile.GetParam(nullptr, "ip", szBuf, sizeof(szBuf)));
    EXPECT_EQ(0, cFile.GetParam("NETWORK", nullptr, szBuf, sizeof(szBuf)));
    EXPECT_EQ(0, cFile.GetParam("NETWORK", "ip", nullptr, 64));
    EXPECT_STREQ("untouched", szBuf);

    EXPECT_EQ(0, cFile.Reset());
    EXPECT_EQ("<absent>", Get(cFile, "NETWORK", "ip")) << "Reset drops the loaded document";
}

TEST_F(XmlParamFileTest, GetParamReportsValueThatDoesNotFitAsAbsent)
{
    const std::string strValue(63, 'v');
    CXmlParamFile cFile(WriteFile("param.xml", "<CONFIGURATION><G><PARAM NAME=\"p\">" + strValue +
                                                   "</PARAM></G></CONFIGURATION>")
                            .c_str());
    ASSERT_EQ(0, cFile.Load());

    char szBuf[80];
    memset(szBuf, 'X', sizeof(szBuf));
    EXPECT_EQ(0, cFile.GetParam("G", "p", szBuf, 63));
    EXPECT_EQ('X', szBuf[0]);
    EXPECT_EQ('X', szBuf[62]);
    EXPECT_EQ(0, cFile.GetParam("G", "p", szBuf, 0));
    EXPECT_EQ('X', szBuf[0]);

    EXPECT_EQ(1, cFile.GetParam("G", "p", szBuf, 64));
    EXPECT_EQ(strValue, std::string(szBuf));
    EXPECT_EQ('X', szBuf[64]) << "nothing written past the terminating NUL";
}

// ---------------------------------------------------------------- SetParam and Save

TEST_F(XmlParamFileTest, SetParamBuildsMissingStructureInOrder)
{
    // A well-formed file without CONFIGURATION gets one appended.
    std::string strPath = WriteFile("param.xml", "<OTHER/>");
    {
        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "service_sshapi", "string", "true"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "telnetapi_port", "string", "23"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_2", "sshapi_port", "int", "22"));
        ASSERT_EQ(0, cFile.Save());
    }
    // Element order in the file: the foreign root, then the new structure.
    const std::string strText = ReadFile(strPath);
    const char *const aszOrder[] = {
        "<OTHER/>",
        "<CONFIGURATION>",
        "<CHANNEL_1>",
        "<PARAM NAME=\"service_sshapi\" TYPE=\"string\">true</PARAM>",
        "<PARAM NAME=\"telnetapi_port\" TYPE=\"string\">23</PARAM>",
        "</CHANNEL_1>",
        "<CHANNEL_2>",
        "<PARAM NAME=\"sshapi_port\" TYPE=\"int\">22</PARAM>",
        "</CHANNEL_2>",
        "</CONFIGURATION>",
    };
    size_t uPos = 0;
    for (const char *szPart : aszOrder) {
        size_t uFound = strText.find(szPart, uPos);
        ASSERT_NE(std::string::npos, uFound) << szPart << " in order in\n" << strText;
        uPos = uFound + strlen(szPart);
    }

    CXmlParamFile cSecond(strPath.c_str());
    ASSERT_EQ(0, cSecond.Load());
    EXPECT_EQ("23", Get(cSecond, "CHANNEL_1", "telnetapi_port"));
    EXPECT_EQ("22", Get(cSecond, "CHANNEL_2", "sshapi_port"));
}

TEST_F(XmlParamFileTest, SetParamTwiceUpdatesTheOneElement)
{
    std::string strPath = PathOf("param.xml");
    {
        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "int", "2022"));
        EXPECT_EQ("2022", Get(cFile, "CHANNEL_1", "sshapi_port"));
        ASSERT_EQ(0, cFile.Save());
    }
    EXPECT_EQ("<CONFIGURATION>\n"
              "    <CHANNEL_1>\n"
              "        <PARAM NAME=\"sshapi_port\" TYPE=\"int\">2022</PARAM>\n"
              "    </CHANNEL_1>\n"
              "</CONFIGURATION>\n",
              ReadFile(strPath));
}

TEST_F(XmlParamFileTest, SaveRoundTripKeepsEverythingElse)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    {
        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "empty", "string", "filled"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "quoted", "a\"b", "<&>\"' x"));
        ASSERT_EQ(0, cFile.Save());
    }
    std::string strText = ReadFile(strPath);
    EXPECT_NE(std::string::npos, strText.find("<!-- shared by the device services -->"));
    EXPECT_NE(std::string::npos, strText.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));

    CXmlParamFile cSecond(strPath.c_str());
    ASSERT_EQ(0, cSecond.Load());
    EXPECT_EQ("22", Get(cSecond, "CHANNEL_1", "sshapi_port"));
    EXPECT_EQ("filled", Get(cSecond, "CHANNEL_1", "empty"));
    EXPECT_EQ("<&>\"' x", Get(cSecond, "CHANNEL_1", "quoted"));
    EXPECT_EQ("192.168.1.10", Get(cSecond, "NETWORK", "ip"));
    EXPECT_EQ("true", Get(cSecond, "CHANNEL_1", "service_telnetapi"));
    EXPECT_EQ("a<b&c", Get(cSecond, "CHANNEL_1", "escaped"));
}

TEST_F(XmlParamFileTest, SetParamNeverTurnsMarkupIntoAnUnreadableFile)
{
    std::string strPath = WriteFile("param.xml", "<CONFIGURATION><G>"
                                                 "<PARAM NAME=\"elem\"><sub/></PARAM>"
                                                 "<PARAM NAME=\"comment\"><!-- note --></PARAM>"
                                                 "<PARAM NAME=\"cdata\"><![CDATA[old]]></PARAM>"
                                                 "<PARAM NAME=\"cdata2\"><![CDATA[old]]></PARAM>"
                                                 "<PARAM NAME=\"keep\">kept</PARAM>"
                                                 "</G></CONFIGURATION>");
    {
        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ("<absent>", Get(cFile, "G", "elem"));
        EXPECT_EQ(1, cFile.SetParam("G", "elem", "string", "22"));
        EXPECT_EQ(1, cFile.SetParam("G", "comment", "string", "a -- b"));
        EXPECT_EQ(1, cFile.SetParam("G", "cdata", "string", "x]]>y"));
        EXPECT_EQ(1, cFile.SetParam("G", "cdata2", "string", "new"));
        ASSERT_EQ(0, cFile.Save());
    }
    std::string strText = ReadFile(strPath);
    EXPECT_NE(std::string::npos, strText.find("<sub/>")) << strText;
    EXPECT_NE(std::string::npos, strText.find("<!-- note -->")) << strText;
    EXPECT_NE(std::string::npos, strText.find("<![CDATA[new]]>")) << strText;

    CXmlParamFile cSecond(strPath.c_str());
    ASSERT_EQ(0, cSecond.Load());
    EXPECT_EQ("kept", Get(cSecond, "G", "keep")) << "file no longer parses:\n" << strText;
    EXPECT_EQ("22", Get(cSecond, "G", "elem"));
    EXPECT_EQ("a -- b", Get(cSecond, "G", "comment"));
    EXPECT_EQ("x]]>y", Get(cSecond, "G", "cdata"));
    EXPECT_EQ("new", Get(cSecond, "G", "cdata2"));
}

TEST_F(XmlParamFileTest, SetParamRefusesBadInputAndChangesNothing)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    CXmlParamFile cFile(strPath.c_str());
    ASSERT_EQ(0, cFile.Load());
    ASSERT_EQ(0, cFile.Save());
    const std::string strBefore = ReadFile(strPath);

    const char *const aszGroups[] = {"", "1abc", "bad name", "a<b", "-x"};
    for (const char *szGroup : aszGroups) {
        EXPECT_EQ(0, cFile.SetParam(szGroup, "p", "string", "v")) << '"' << szGroup << '"';
    }
    EXPECT_EQ(0, cFile.SetParam(nullptr, "p", "string", "v"));
    EXPECT_EQ(0, cFile.SetParam("G", nullptr, "string", "v"));
    EXPECT_EQ(0, cFile.SetParam("G", "p", nullptr, "v"));
    EXPECT_EQ(0, cFile.SetParam("G", "p", "string", nullptr));

    ASSERT_EQ(0, cFile.Save());
    EXPECT_EQ(strBefore, ReadFile(strPath));
}

// ---------------------------------------------------------------- DeleteParam

TEST_F(XmlParamFileTest, DeleteParamResults)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    {
        CXmlParamFile cFile(strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ(0, cFile.DeleteParam("CHANNEL_9", "sshapi_port")) << "missing group";
        EXPECT_EQ(1, cFile.DeleteParam("EMPTYGROUP", "x")) << "group without PARAM";
        EXPECT_EQ(1, cFile.DeleteParam("CHANNEL_1", "nothing")) << "no match";
        EXPECT_EQ(1, cFile.DeleteParam("CHANNEL_1", "sshapi_port"));
        EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_1", "sshapi_port"))
            << "the duplicate group stays hidden";
        EXPECT_EQ(1, cFile.DeleteParam("CHANNEL_1", "sshapi_port"));
        EXPECT_EQ(0, cFile.DeleteParam(nullptr, "x"));
        ASSERT_EQ(0, cFile.Save());
    }
    CXmlParamFile cSecond(strPath.c_str());
    ASSERT_EQ(0, cSecond.Load());
    EXPECT_EQ("<absent>", Get(cSecond, "CHANNEL_1", "sshapi_port"));
    EXPECT_EQ("true", Get(cSecond, "CHANNEL_1", "service_telnetapi"));

    CXmlParamFile cOther(WriteFile("other.xml", "<OTHER><CHANNEL_1/></OTHER>").c_str());
    ASSERT_EQ(0, cOther.Load());
    EXPECT_EQ(0, cOther.DeleteParam("CHANNEL_1", "x")) << "no CONFIGURATION";
}

// ---------------------------------------------------------------- Dump

TEST_F(XmlParamFileTest, DumpPrintsGroupsAndNamedParams)
{
    CXmlParamFile cFile(WriteFile("param.xml", g_szSample).c_str());
    ASSERT_EQ(0, cFile.Load());
    EXPECT_EQ("NETWORK\n"
              "    ip 192.168.1.10\n"
              "CHANNEL_1\n"
              "    service_telnetapi true\n"
              "    sshapi_port 2022\n"
              "    empty \n"
              "    escaped a<b&c\n"
              "CHANNEL_1\n"
              "    sshapi_port 9999\n"
              "EMPTYGROUP\n",
              StdoutOf([&] { cFile.Dump(); }));

    CXmlParamFile cOther(
        WriteFile("other.xml", "<OTHER><G><PARAM NAME=\"a\">1</PARAM></G></OTHER>").c_str());
    ASSERT_EQ(0, cOther.Load());
    EXPECT_EQ("", StdoutOf([&] { cOther.Dump(); }));
}

// ---------------------------------------------------------------- ErrorName

TEST(XmlParamFileErrorName, TextsFollowTheLibraryCodes)
{
    using namespace tinyxml2;
    // Codes a real load produces carry their own meaning.
    XMLDocument cDoc;
    EXPECT_STREQ("XML mismatched element",
                 CXmlParamFile::ErrorName(static_cast<UInt32>(cDoc.Parse("<A></B>"))));
    EXPECT_STREQ("XML empty document",
                 CXmlParamFile::ErrorName(static_cast<UInt32>(cDoc.Parse(""))));
    EXPECT_STREQ("XML file not found", CXmlParamFile::ErrorName(static_cast<UInt32>(
                                           cDoc.LoadFile("/nonexistent/param.xml"))));

    const UInt32 au32Unknown[] = {static_cast<UInt32>(XML_ELEMENT_DEPTH_EXCEEDED),
                                  static_cast<UInt32>(XML_ERROR_COUNT),
                                  20,
                                  21,
                                  1000,
                                  0x7fffffffu,
                                  0xffffffffu};
    for (UInt32 u32Code : au32Unknown) {
        EXPECT_STREQ("XML unknown error", CXmlParamFile::ErrorName(u32Code)) << "code " << u32Code;
    }
}

// ---------------------------------------------------------------- Lock

// Child process of a lock test: killed and reaped if a test ends early.
class CChild
{
public:
    explicit CChild(pid_t s32Pid) : m_s32Pid(s32Pid) {}
    ~CChild()
    {
        if (m_s32Pid > 0) {
            kill(m_s32Pid, SIGKILL);
            waitpid(m_s32Pid, nullptr, 0);
        }
    }
    CChild(const CChild &) = delete;
    CChild &operator=(const CChild &) = delete;

    // Exit status, or -1 if the child did not end normally within the limit.
    int Wait(int s32TimeoutMs)
    {
        int s32Status = 0;
        if (!ReapWithin(m_s32Pid, std::chrono::milliseconds(s32TimeoutMs), s32Status)) {
            return -1;
        }
        m_s32Pid = -1;
        return WIFEXITED(s32Status) ? WEXITSTATUS(s32Status) : -1;
    }

private:
    pid_t m_s32Pid;
};

// One byte from s32Fd within the limit, or -1.
int ReadByte(int s32Fd, int s32TimeoutMs)
{
    struct pollfd stPoll = {s32Fd, POLLIN, 0};
    if (poll(&stPoll, 1, s32TimeoutMs) != 1) {
        return -1;
    }
    unsigned char u8Byte = 0;
    return (read(s32Fd, &u8Byte, 1) == 1) ? u8Byte : -1;
}

void WriteByte(int s32Fd, char s8Byte)
{
    ssize_t s64Done = write(s32Fd, &s8Byte, 1);
    (void)s64Done;
}

// 1 if another open of the file could take the lock right now.
int LockIsFree(const std::string &strPath)
{
    int s32Fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (s32Fd < 0) {
        return -1;
    }
    int s32Free = (flock(s32Fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    close(s32Fd);
    return s32Free;
}

TEST_F(XmlParamFileTest, LockIsHeldFromLoadUntilDestruction)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    auto pFile = std::make_unique<CXmlParamFile>(strPath.c_str());
    EXPECT_EQ(1, LockIsFree(strPath)) << "constructing touches no file";
    ASSERT_EQ(0, pFile->Load());
    EXPECT_EQ(0, LockIsFree(strPath));
    struct stat stBefore;
    ASSERT_EQ(0, stat(strPath.c_str(), &stBefore));
    ASSERT_EQ(0, pFile->Save());
    EXPECT_EQ(0, LockIsFree(strPath)) << "Save keeps the lock";
    struct stat stAfter;
    ASSERT_EQ(0, stat(strPath.c_str(), &stAfter));
    EXPECT_EQ(stBefore.st_ino, stAfter.st_ino)
        << "Save writes in place: other readers lock this inode";
    pFile.reset();
    EXPECT_EQ(1, LockIsFree(strPath));
}

TEST_F(XmlParamFileTest, SecondProcessWaitsInLoadUntilFirstObjectIsDestroyed)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    int as32ToChild[2];
    int as32ToParent[2];
    ASSERT_EQ(0, pipe2(as32ToChild, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(as32ToParent, O_CLOEXEC));

    // Fork before the first object opens the file, so that the child holds
    // no copy of the locked descriptor.
    pid_t s32Pid = fork();
    ASSERT_GE(s32Pid, 0);
    if (s32Pid == 0) {
        if (ReadByte(as32ToChild[0], 10000) != 'G') {
            _exit(10);
        }
        CXmlParamFile cSecond(strPath.c_str());
        WriteByte(as32ToParent[1], 'S');
        if (cSecond.Load() != 0) {
            _exit(11);
        }
        char szBuf[64] = "";
        SInt32 s32Got = cSecond.GetParam("CHANNEL_1", "sshapi_port", szBuf, sizeof(szBuf));
        WriteByte(as32ToParent[1], (s32Got == 1 && strcmp(szBuf, "4022") == 0) ? 'L' : 'X');
        _exit(0);
    }
    CChild cChild(s32Pid);
    close(as32ToChild[0]);
    close(as32ToParent[1]);

    auto pFirst = std::make_unique<CXmlParamFile>(strPath.c_str());
    ASSERT_EQ(0, pFirst->Load());
    WriteByte(as32ToChild[1], 'G');
    ASSERT_EQ('S', ReadByte(as32ToParent[0], 10000));
    EXPECT_EQ(-1, ReadByte(as32ToParent[0], 300)) << "second Load must wait for the lock";

    // What the first holder saves is what the second one reads.
    ASSERT_EQ(1, pFirst->SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
    ASSERT_EQ(0, pFirst->Save());
    EXPECT_EQ(-1, ReadByte(as32ToParent[0], 0));
    pFirst.reset();

    EXPECT_EQ('L', ReadByte(as32ToParent[0], 10000));
    EXPECT_EQ(0, cChild.Wait(10000));
    close(as32ToChild[1]);
    close(as32ToParent[0]);
}

// Runs fnBody in a child process (it returns the exit status); a hang counts
// as failure instead of stopping the test run.
template <typename F>
int RunInChild(F fnBody, int s32TimeoutMs)
{
    pid_t s32Pid = fork();
    if (s32Pid == 0) {
        _exit(fnBody());
    }
    if (s32Pid < 0) {
        return -1;
    }
    CChild cChild(s32Pid);
    return cChild.Wait(s32TimeoutMs);
}

TEST_F(XmlParamFileTest, LockOnDescriptorZeroIsReleased)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    int s32Status = RunInChild(
        [&strPath]() {
            close(0);  // the next open gets descriptor 0
            {
                CXmlParamFile cFile(strPath.c_str());
                if (cFile.Load() != 0) {
                    return 2;
                }
                if (fcntl(0, F_GETFD) < 0 || LockIsFree(strPath) != 0) {
                    return 3;
                }
            }
            if (fcntl(0, F_GETFD) >= 0) {
                return 4;  // descriptor leaked
            }
            return (LockIsFree(strPath) == 1) ? 0 : 5;
        },
        10000);
    EXPECT_EQ(0, s32Status);
}

TEST_F(XmlParamFileTest, RepeatedLoadDoesNotWaitForItself)
{
    std::string strPath = WriteFile("param.xml", g_szSample);
    int s32Status = RunInChild(
        [&strPath]() {
            CXmlParamFile cFile(strPath.c_str());
            if (cFile.Load() != 0 || cFile.Load() != 0) {
                return 2;
            }
            char szBuf[64] = "";
            return (cFile.GetParam("CHANNEL_1", "sshapi_port", szBuf, sizeof(szBuf)) == 1) ? 0 : 3;
        },
        10000);
    EXPECT_EQ(0, s32Status) << "-1: the second Load hung";
}

}  // namespace
