// CXmlParamFile: the created file, the lookup rules and the 63/64-byte
// boundary, the file form of edits, saves in place and their failures, and
// the file lock. Parsing, lookup and save of any document
// (damaged ones included) are the parameter-file fuzz target's to check.
#include "xmlparamfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "testsupport.h"

// The reader's truncate and flush calls land here (the executable's
// definitions win over the C library's), so a test can make one fail.
std::atomic<bool> g_bFailTruncate(false);
std::atomic<bool> g_bFailFsync(false);

extern "C" int ftruncate(int s32Fd, off_t s64Len) noexcept
{
    if (g_bFailTruncate.exchange(false)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_ftruncate, s32Fd, s64Len));
}

extern "C" int fsync(int s32Fd)
{
    if (g_bFailFsync.exchange(false)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, s32Fd));
}

namespace
{

class XmlParamFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(SSHAPI_TEST_TMP);
        std::string strTemplate = std::string(SSHAPI_TEST_TMP) + "/xmlparamfile.XXXXXX";
        ASSERT_NE(mkdtemp(strTemplate.data()), nullptr) << strerror(errno);
        m_strDir = strTemplate;
        m_strPath = m_strDir + "/param.xml";
    }

    void TearDown() override
    {
        std::error_code cErr;
        std::filesystem::remove_all(m_strDir, cErr);
    }

    std::string Write(const std::string &strText) const
    {
        std::ofstream(m_strPath, std::ios::binary | std::ios::trunc) << strText;
        return m_strPath;
    }

    std::string Read() const { return ReadAll(m_strPath); }

    static std::string Get(CXmlParamFile &cFile, const char *szGroup, const char *szName)
    {
        char szBuf[256] = "";
        return cFile.GetParam(szGroup, szName, szBuf, sizeof(szBuf)) == 1 ? szBuf : "<absent>";
    }

    std::string m_strDir;
    std::string m_strPath;
};

TEST_F(XmlParamFileTest, MissingFileIsCreatedEmptyWithMode0644WhateverTheUmask)
{
    for (const mode_t u32Umask : {0, 077}) {  // the service may run under 077
        unlink(m_strPath.c_str());
        const mode_t u32Old = umask(u32Umask);
        {
            CXmlParamFile cFile(m_strPath.c_str());
            EXPECT_EQ(0, cFile.Load());
            EXPECT_EQ(FALSE, cFile.IsDamaged());
        }
        umask(u32Old);
        struct stat stInfo;
        ASSERT_EQ(0, stat(m_strPath.c_str(), &stInfo));
        EXPECT_EQ(0, stInfo.st_size) << "Load must not write the file";
        EXPECT_EQ(0644u, stInfo.st_mode & 07777) << "umask " << std::oct << u32Umask;
    }
    // A longer path is cut to 255 characters.
    const std::string strCut = m_strDir + "/" + std::string(254 - m_strDir.size(), 'p');
    CXmlParamFile cLong((strCut + "SUFFIX").c_str());
    EXPECT_EQ(0, cLong.Load());
    EXPECT_TRUE(std::filesystem::exists(strCut));
}

TEST_F(XmlParamFileTest, LookupRules)
{
    const std::string strLong(63, 'v');
    CXmlParamFile cFile(
        Write("<CONFIGURATION>"
              "<NETWORK><PARAM NAME=\"ip\" TYPE=\"string\">192.168.1.10</PARAM></NETWORK>"
              "<CHANNEL_1><PARAM NAME=\"sshapi_port\" TYPE=\"string\">2022</PARAM>"
              "<PARAM NAME=\"empty\" TYPE=\"string\"/><PARAM TYPE=\"string\">no name</PARAM>"
              "<PARAM NAME=\"escaped\">a&lt;b&amp;c</PARAM>"
              "<PARAM NAME=\"long\">" +
              strLong +
              "</PARAM></CHANNEL_1>"
              "<CHANNEL_1><PARAM NAME=\"sshapi_port\">9999</PARAM></CHANNEL_1><EMPTYGROUP/>"
              "</CONFIGURATION>")
            .c_str());
    ASSERT_EQ(0, cFile.Load());
    const char *const aszRows[][3] = {
        {"NETWORK", "ip", "192.168.1.10"},
        {"CHANNEL_1", "sshapi_port", "2022"},  // the first group of a name counts
        {"CHANNEL_1", "escaped", "a<b&c"},
        {"CHANNEL_1", "empty", "<absent>"},
        {"CHANNEL_1", "long", strLong.c_str()},
        {"channel_1", "sshapi_port", "<absent>"},  // exact and case-sensitive
        {"CHANNEL_1", "SSHAPI_PORT", "<absent>"},
        {"CHANNEL_2", "sshapi_port", "<absent>"},
        {"EMPTYGROUP", "ip", "<absent>"},
    };
    for (const auto &aszRow : aszRows) {
        EXPECT_EQ(aszRow[2], Get(cFile, aszRow[0], aszRow[1])) << aszRow[0] << "/" << aszRow[1];
    }
    // A value that does not fit with its NUL is absent, the buffer untouched.
    char szBuf[80];
    memset(szBuf, 'X', sizeof(szBuf));
    EXPECT_EQ(0, cFile.GetParam("CHANNEL_1", "long", szBuf, 63));
    EXPECT_EQ(std::string(80, 'X'), std::string(szBuf, 80));
    EXPECT_EQ(1, cFile.GetParam("CHANNEL_1", "long", szBuf, 64));
    EXPECT_EQ(strLong + '\0' + std::string(16, 'X'), std::string(szBuf, 80));
    // Null arguments are refused.
    EXPECT_EQ(0, cFile.GetParam(nullptr, "ip", szBuf, 64));
    EXPECT_EQ(0, cFile.GetParam("NETWORK", "ip", nullptr, 64));
    EXPECT_EQ(0, cFile.SetParam("NETWORK", "ip", nullptr, "v"));
    EXPECT_EQ(0, cFile.SetParam("NETWORK", "ip", "string", nullptr));
    EXPECT_EQ(0, cFile.DeleteParam("NETWORK", nullptr));
    // Deleting needs the group; the hidden duplicate stays hidden.
    EXPECT_EQ(0, cFile.DeleteParam("CHANNEL_9", "sshapi_port"));
    EXPECT_EQ(1, cFile.DeleteParam("CHANNEL_1", "nothing"));
    EXPECT_EQ(1, cFile.DeleteParam("CHANNEL_1", "sshapi_port"));
    EXPECT_EQ("<absent>", Get(cFile, "CHANNEL_1", "sshapi_port"));
}

TEST_F(XmlParamFileTest, EditsBuildTheFileInOrderAndKeepTheRest)
{
    Write("<?xml version=\"1.0\"?>\n<!-- shared -->\n<OTHER/>\n");
    {
        CXmlParamFile cFile(m_strPath.c_str());
        ASSERT_EQ(0, cFile.Load());
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "service_sshapi", "string", "true"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_2", "quoted", "a\"b", "<&>\"'"));
        EXPECT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "int", "2022"));
        ASSERT_EQ(0, cFile.Save());
    }
    EXPECT_EQ("<?xml version=\"1.0\"?>\n<!-- shared -->\n<OTHER/>\n\n"
              "<CONFIGURATION>\n"
              "    <CHANNEL_1>\n"
              "        <PARAM NAME=\"service_sshapi\" TYPE=\"string\">true</PARAM>\n"
              "        <PARAM NAME=\"sshapi_port\" TYPE=\"int\">2022</PARAM>\n"
              "    </CHANNEL_1>\n"
              "    <CHANNEL_2>\n"
              "        <PARAM NAME=\"quoted\" TYPE=\"a&quot;b\">&lt;&amp;&gt;\"'</PARAM>\n"
              "    </CHANNEL_2>\n"
              "</CONFIGURATION>\n",
              Read());
}

TEST_F(XmlParamFileTest, SaveIsInPlaceAndReportsEveryFailure)
{
    // Its tail, left after a shorter text, would not parse.
    Write("<CONFIGURATION/><!-- " + std::string(200, '-') + " -->");
    struct stat stBefore;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stBefore));
    const size_t u64OldSize = Read().size();
    CXmlParamFile cFile(m_strPath.c_str());
    ASSERT_EQ(0, cFile.Load());
    ASSERT_EQ(0, cFile.Reset());
    ASSERT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
    // A failed cut of the shorter text: it was padded with line feeds to the
    // old length first, so the file still reads, with the new value.
    g_bFailTruncate = true;
    EXPECT_NE(0, cFile.Save());
    EXPECT_EQ(u64OldSize, Read().size());
    {
        std::ofstream(m_strDir + "/copy.xml") << Read();
        CXmlParamFile cCopy((m_strDir + "/copy.xml").c_str());
        ASSERT_EQ(0, cCopy.Load());
        EXPECT_EQ(FALSE, cCopy.IsDamaged());
        EXPECT_EQ("4022", Get(cCopy, "CHANNEL_1", "sshapi_port"));
    }
    g_bFailFsync = true;
    EXPECT_NE(0, cFile.Save());
    EXPECT_EQ(0, cFile.Save());
    EXPECT_EQ("<CONFIGURATION>\n"
              "    <CHANNEL_1>\n"
              "        <PARAM NAME=\"sshapi_port\" TYPE=\"string\">4022</PARAM>\n"
              "    </CHANNEL_1>\n"
              "</CONFIGURATION>\n",
              Read());
    struct stat stAfter;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stAfter));
    EXPECT_EQ(stBefore.st_ino, stAfter.st_ino) << "other readers lock this inode";

    // No directory, or a full disk: no success either.
    CXmlParamFile cNoDir((m_strDir + "/no/such/dir/param.xml").c_str());
    EXPECT_EQ(0, cNoDir.Load());
    EXPECT_EQ(FALSE, cNoDir.IsDamaged());
    EXPECT_EQ(tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED, cNoDir.Save());
    CXmlParamFile cFull("/dev/full");
    ASSERT_EQ(1, cFull.SetParam("CHANNEL_1", "sshapi_port", "string", "22"));
    EXPECT_NE(0, cFull.Save());
}

// 1 if another open of the file could take the lock right now.
int LockIsFree(const std::string &strPath)
{
    int s32Fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    int s32Free = (s32Fd >= 0 && flock(s32Fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    close(s32Fd);
    return s32Free;
}

// Runs fnBody in a child process; its exit status, or -1 if it did not end
// normally within 10 s (a hang fails the test instead of stopping the run).
template <typename F>
int InChild(F fnBody)
{
    const pid_t s32Pid = fork();
    if (s32Pid == 0) {
        _exit(fnBody());
    }
    int s32Status = 0;
    if (!ReapWithin(s32Pid, std::chrono::milliseconds(10000), s32Status)) {
        kill(s32Pid, SIGKILL);
        waitpid(s32Pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(s32Status) ? WEXITSTATUS(s32Status) : -1;
}

TEST_F(XmlParamFileTest, LockIsHeldFromLoadToDestructionAndNeverWaitsForItself)
{
    const std::string strPath = Write("<CONFIGURATION/>");
    EXPECT_EQ(0, InChild([&strPath] {
                  close(0);  // the lock gets descriptor 0, which must be released too
                  {
                      CXmlParamFile cFile(strPath.c_str());
                      if (LockIsFree(strPath) != 1) {
                          return 2;  // constructing touches no file
                      }
                      if (cFile.Load() != 0 || fcntl(0, F_GETFD) < 0 || LockIsFree(strPath) != 0) {
                          return 3;
                      }
                      if (cFile.Load() != 0 || cFile.Save() != 0 || LockIsFree(strPath) != 0) {
                          return 4;  // a second Load keeps its lock, Save too
                      }
                      // Another object of this process saves without a Load: it
                      // takes no lock, so it cannot wait for the loaded one.
                      CXmlParamFile cOther(strPath.c_str());
                      if (cOther.Reset() != 0 || cOther.Save() != 0 || LockIsFree(strPath) != 0) {
                          return 5;
                      }
                  }
                  return (fcntl(0, F_GETFD) < 0 && LockIsFree(strPath) == 1) ? 0 : 6;
              }))
        << "-1: something waited for its own lock";
}

// One byte from s32Fd within the limit, or -1.
int ReadByte(int s32Fd, int s32TimeoutMs)
{
    struct pollfd stPoll = {s32Fd, POLLIN, 0};
    unsigned char u8Byte = 0;
    return (poll(&stPoll, 1, s32TimeoutMs) == 1 && read(s32Fd, &u8Byte, 1) == 1) ? u8Byte : -1;
}

TEST_F(XmlParamFileTest, SecondProcessWaitsInLoadUntilFirstObjectIsDestroyed)
{
    const std::string strPath = Write("<CONFIGURATION/>");
    int aToChild[2];
    int aToParent[2];
    ASSERT_EQ(0, pipe2(aToChild, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(aToParent, O_CLOEXEC));
    auto pFirst = std::make_unique<CXmlParamFile>(strPath.c_str());
    // The child is forked before the first object opens the file, so that
    // it holds no copy of the locked descriptor.
    const pid_t s32Pid = fork();
    if (s32Pid == 0) {
        if (ReadByte(aToChild[0], 10000) != 'G') {
            _exit(10);
        }
        CXmlParamFile cSecond(strPath.c_str());
        if (write(aToParent[1], "S", 1) != 1) {
            _exit(11);
        }
        const int s32Load = cSecond.Load();
        const char cResult =
            (s32Load == 0 && Get(cSecond, "CHANNEL_1", "sshapi_port") == "4022") ? 'L' : 'X';
        _exit(write(aToParent[1], &cResult, 1) == 1 ? 0 : 11);
    }
    ASSERT_EQ(0, pFirst->Load());
    ASSERT_EQ(1, write(aToChild[1], "G", 1));
    ASSERT_EQ('S', ReadByte(aToParent[0], 10000));
    EXPECT_EQ(-1, ReadByte(aToParent[0], 300)) << "second Load must wait for the lock";
    // What the first holder saves is what the second one reads.
    ASSERT_EQ(1, pFirst->SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
    ASSERT_EQ(0, pFirst->Save());
    pFirst.reset();
    EXPECT_EQ('L', ReadByte(aToParent[0], 10000));
    int s32Status = 0;
    EXPECT_TRUE(ReapWithin(s32Pid, std::chrono::milliseconds(10000), s32Status));
    EXPECT_EQ(0, s32Status);
    for (int s32Fd : {aToChild[0], aToChild[1], aToParent[0], aToParent[1]}) {
        close(s32Fd);
    }
}

}  // namespace
