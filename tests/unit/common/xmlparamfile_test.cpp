// CXmlParamFile: the created file, the 63/64-byte boundary, the file form
// of edits, saves in place and their failures, and the file lock. Parsing,
// lookup and save of any document (damaged ones included) are the
// parameter-file fuzz target's to check.
#include "xmlparamfile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>

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
    void SetUp() override { m_strPath = FreshTestDir() + "/param.xml"; }

    void Write(const std::string &strText) const
    {
        std::ofstream(m_strPath, std::ios::binary | std::ios::trunc) << strText;
    }

    std::string Read() const { return ReadAll(m_strPath); }

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
    const std::string strDir = m_strPath.substr(0, m_strPath.rfind('/'));
    const std::string strCut = strDir + "/" + std::string(254 - strDir.size(), 'p');
    CXmlParamFile cLong((strCut + "SUFFIX").c_str());
    EXPECT_EQ(0, cLong.Load());
    EXPECT_TRUE(std::filesystem::exists(strCut));
}

TEST_F(XmlParamFileTest, AValueIsGivenOnlyWhereItFitsWithItsNul)
{
    const std::string strLong(63, 'v');
    Write("<CONFIGURATION><CHANNEL_1><PARAM NAME=\"long\">" + strLong +
          "</PARAM></CHANNEL_1><CHANNEL_1><PARAM NAME=\"long\">v</PARAM></CHANNEL_1>"
          "</CONFIGURATION>");
    CXmlParamFile cFile(m_strPath.c_str());
    ASSERT_EQ(0, cFile.Load());
    char szBuf[80];
    memset(szBuf, 'X', sizeof(szBuf));
    EXPECT_EQ(0, cFile.GetParam("CHANNEL_1", "long", szBuf, 63));
    EXPECT_EQ(std::string(80, 'X'), std::string(szBuf, 80)) << "neither cut nor written";
    EXPECT_EQ(1, cFile.GetParam("CHANNEL_1", "long", szBuf, 64)) << "the first group counts";
    EXPECT_EQ(strLong + '\0' + std::string(16, 'X'), std::string(szBuf, 80));
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

TEST_F(XmlParamFileTest, SaveIsInPlaceAndReportsAFailedCutOrFlush)
{
    // Its tail, left after a shorter text, would not parse.
    Write("<CONFIGURATION/><!-- " + std::string(200, '-') + " -->");
    struct stat stBefore;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stBefore));
    const size_t u64OldSize = Read().size();
    const std::string strSaved =
        "<CONFIGURATION>\n"
        "    <CHANNEL_1>\n"
        "        <PARAM NAME=\"sshapi_port\" TYPE=\"string\">4022</PARAM>\n"
        "    </CHANNEL_1>\n"
        "</CONFIGURATION>\n";
    CXmlParamFile cFile(m_strPath.c_str());
    ASSERT_EQ(0, cFile.Load());
    ASSERT_EQ(0, cFile.Reset());
    ASSERT_EQ(1, cFile.SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
    // A failed cut of the shorter text: it was padded with line feeds to the
    // old length first, so the file still reads, with the new value.
    g_bFailTruncate = true;
    EXPECT_NE(0, cFile.Save());
    EXPECT_EQ(strSaved + std::string(u64OldSize - strSaved.size(), '\n'), Read());
    g_bFailFsync = true;
    EXPECT_NE(0, cFile.Save());
    EXPECT_EQ(0, cFile.Save());
    EXPECT_EQ(strSaved, Read());
    struct stat stAfter;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stAfter));
    EXPECT_EQ(stBefore.st_ino, stAfter.st_ino) << "other readers lock this inode";
}

// 1 if another open of the file could take the lock right now.
int LockIsFree(const std::string &strPath)
{
    int s32Fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    int s32Free = (s32Fd >= 0 && flock(s32Fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    close(s32Fd);
    return s32Free;
}

// One byte from s32Fd within the limit, or -1.
int ReadByte(int s32Fd, int s32TimeoutMs)
{
    struct pollfd stPoll = {s32Fd, POLLIN, 0};
    unsigned char u8Byte = 0;
    return (poll(&stPoll, 1, s32TimeoutMs) == 1 && read(s32Fd, &u8Byte, 1) == 1) ? u8Byte : -1;
}

TEST_F(XmlParamFileTest, LockIsHeldFromLoadToDestructionAndASecondProcessWaitsForIt)
{
    Write("<CONFIGURATION/>");
    int aSock[2];  // [0] the test's end, [1] the child's
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aSock));
    // The child is forked before the first object opens the file, so that
    // it holds no copy of the locked descriptor. Its exit status tells which
    // of its checks failed.
    const std::string strPath = m_strPath;
    const pid_t s32Pid = fork();
    if (s32Pid == 0) {
        _exit([&] {
            close(0);  // the lock gets descriptor 0, which must be released too
            {
                if (ReadByte(aSock[1], 10000) != 'G' || write(aSock[1], "S", 1) != 1) {
                    return 2;
                }
                CXmlParamFile cFile(strPath.c_str());
                char szPort[8] = "";
                // Waits for the first holder, and reads what it saved.
                if (cFile.Load() != 0 ||
                    cFile.GetParam("CHANNEL_1", "sshapi_port", szPort, 8) != 1 ||
                    strcmp(szPort, "4022") != 0 || fcntl(0, F_GETFD) < 0 ||
                    LockIsFree(strPath) != 0) {
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
        }());
    }
    int s32Status = -1;
    bool bEnded = false;
    {
        CXmlParamFile cFirst(m_strPath.c_str());
        EXPECT_EQ(1, LockIsFree(m_strPath)) << "constructing touches no file";
        EXPECT_EQ(0, cFirst.Load());
        EXPECT_EQ(1, write(aSock[0], "G", 1));
        EXPECT_EQ('S', ReadByte(aSock[0], 10000));
        bEnded = ReapWithin(s32Pid, milliseconds(300), s32Status);
        EXPECT_FALSE(bEnded) << "second Load must wait for the lock";
        EXPECT_EQ(1, cFirst.SetParam("CHANNEL_1", "sshapi_port", "string", "4022"));
        EXPECT_EQ(0, cFirst.Save());
    }
    if (!bEnded && !ReapWithin(s32Pid, milliseconds(10000), s32Status)) {
        kill(s32Pid, SIGKILL);
        waitpid(s32Pid, nullptr, 0);
        ADD_FAILURE() << "something waited for its own lock";
    }
    EXPECT_EQ(0, s32Status);
    close(aSock[0]);
    close(aSock[1]);
}

}  // namespace
