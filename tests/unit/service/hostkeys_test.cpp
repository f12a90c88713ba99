// Host keys made at start: how a new key file is put in place.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "../common/testsupport.h"
#include "hostkeys.h"
#include "logcapture.h"

// A host key file is put in place whole with mode 0600, whatever the umask;
// one that appeared since the check (another instance) is kept byte for
// byte; a missing directory is an ERROR line. No temporary file stays.
TEST(HostKeys, PlaceNewFileNeverReplaces)
{
    const std::string strDir = FreshTestDir();
    std::ofstream(strDir + "/theirs") << "their key";
    const std::tuple<std::string, int, const char *> atCases[] = {
        {strDir + "/new", 1, "key"},
        {strDir + "/theirs", 0, "their key"},
        {strDir + "/missing/key", -1, nullptr},
    };
    mode_t u32Umask = umask(0277);
    for (const auto &tCase : atCases) {
        CLogCapture cLog;
        EXPECT_EQ(std::get<1>(tCase), PlaceNewFile(std::get<0>(tCase), "key"));
        EXPECT_EQ(std::get<2>(tCase) ? std::get<2>(tCase) : "", ReadAll(std::get<0>(tCase)));
        const std::string strLog = cLog.Text();
        EXPECT_EQ(std::get<2>(tCase) ? ""
                                     : "ERROR host key " + std::get<0>(tCase) +
                                           " not made: cannot create a file in " + strDir +
                                           "/missing: No such file or directory",
                  strLog.substr(0, strLog.find(" --[")));
    }
    umask(u32Umask);
    struct stat stInfo;
    ASSERT_EQ(0, stat((strDir + "/new").c_str(), &stInfo));
    EXPECT_EQ(0600u, stInfo.st_mode & 07777u);
    std::set<std::string> setNames;
    for (const auto &rEntry : std::filesystem::directory_iterator(strDir)) {
        setNames.insert(rEntry.path().filename().string());
    }
    EXPECT_EQ((std::set<std::string>{"new", "theirs"}), setNames);
}
