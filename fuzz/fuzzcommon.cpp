#include "fuzzcommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>

#include <cstring>

namespace
{

std::string g_strScratchDir;

void RemoveScratchDir()
{
    if (g_strScratchDir.empty()) {
        return;
    }
    std::string strCmd = "rm -rf '" + g_strScratchDir + "'";
    if (system(strCmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", g_strScratchDir.c_str());
    }
}

}  // namespace

const std::string &FuzzScratchDir()
{
    if (g_strScratchDir.empty()) {
        const char *szBase = getenv("TMPDIR");
        std::string strTemplate =
            std::string(szBase != nullptr && szBase[0] != '\0' ? szBase : "/tmp") +
            "/sshapi-fuzz-XXXXXX";
        if (mkdtemp(&strTemplate[0]) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        g_strScratchDir = strTemplate;
        atexit(RemoveScratchDir);
    }
    return g_strScratchDir;
}

void FuzzWriteFile(const std::string &strPath, const std::string &strData)
{
    FILE *pFile = fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        perror(strPath.c_str());
        abort();
    }
    if (!strData.empty() && fwrite(strData.data(), 1, strData.size(), pFile) != strData.size()) {
        perror(strPath.c_str());
        abort();
    }
    if (fclose(pFile) != 0) {
        perror(strPath.c_str());
        abort();
    }
}

void FuzzQuietOutput()
{
    fflush(stdout);
    int s32Null = open("/dev/null", O_WRONLY);
    if (s32Null >= 0) {
        dup2(s32Null, STDOUT_FILENO);
        close(s32Null);
    }

    log4cpp::Category &rCat = log4cpp::Category::getInstance("CATEGORY");
    rCat.removeAllAppenders();
    log4cpp::Appender *pAppender = new log4cpp::FileAppender("fuzz-null", "/dev/null");
    log4cpp::PatternLayout *pLayout = new log4cpp::PatternLayout();
    pLayout->setConversionPattern("%p %m%n");
    pAppender->setLayout(pLayout);
    rCat.addAppender(pAppender);
    rCat.setAdditivity(false);
    rCat.setPriority(log4cpp::Priority::DEBUG);
}
