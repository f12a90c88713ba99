// The service's log: client text made safe, and the lines' priority and
// length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logcapture.h"
#include "svclog.h"

TEST(LogSafety, ClientTextIsEscapedAndBounded)
{
    EXPECT_EQ("adm\\r\\nin\\x1b[2J", EscapeForLog(std::string("adm\r\nin\x1b[2J")));
    EXPECT_EQ("a\\\\b\\t\\x7f\\xff", EscapeForLog(std::string("a\\b\t\x7f\xff")));
    const char ac[] = {'a', '\0', 'b'};
    EXPECT_EQ("a", DumpForLog(ac, sizeof(ac)));
    EXPECT_EQ("a\\x00b", EscapeForLog(ac, sizeof(ac)));
    std::string strLong(100000, 'u');
    EXPECT_EQ(std::string(256, 'u') + "...(cut, 100000 bytes)", EscapeForLog(strLong));
    EXPECT_EQ(strLong, DumpForLog(strLong.data(), strLong.size()));  // dumps stay whole

    CLogCapture cLog(log4cpp::Priority::INFO);
    LOG_DEBUG("hidden %s", "dump");
    LOG_INFO("shown %d", 1);
    LOG_ERROR("%s", strLong.c_str());  // no line at INFO or above passes 4 KiB
    std::vector<std::string> vecLines = cLog.Lines();
    ASSERT_EQ(2u, vecLines.size());
    EXPECT_EQ(0u, vecLines[0].find("INFO shown 1 --[svclog_test.cpp:"));
    EXPECT_EQ(std::string("ERROR ").size() + LOG_LINE_MAX, vecLines[1].size());
    EXPECT_NE(std::string::npos, vecLines[1].find(" --[svclog_test.cpp:"));
}
