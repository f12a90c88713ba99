// Shared by the fuzz targets: a property check, a reader that takes fields
// off the front of an input, scratch files, and quiet output.
#ifndef FUZZ_FUZZCOMMON_H
#define FUZZ_FUZZCOMMON_H

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A property that must hold for every input. A failure aborts, which both
// libFuzzer and the replay runner report as a crash of that input.
#define FUZZ_CHECK(cond)                                                                           \
    ((cond) ? (void)0                                                                              \
            : (fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__),     \
               abort()))

// Past the end of the input every field is empty or zero, so any input is
// a valid test case.
class CFuzzInput
{
public:
    CFuzzInput(const uint8_t *pData, size_t u64Size)
        : m_str(reinterpret_cast<const char *>(pData), u64Size)
    {
    }
    uint8_t Byte() { return static_cast<uint8_t>(Bytes(1).append(1, '\0')[0]); }
    uint16_t U16()  // little-endian
    {
        const uint16_t u16Low = Byte();
        return static_cast<uint16_t>(u16Low | (Byte() << 8));
    }
    std::string Bytes(size_t u64Max)
    {
        const std::string str = m_str.substr(0, u64Max);
        m_str.erase(0, str.size());
        return str;
    }
    // Text up to the next NUL, which is consumed, or the end of the input.
    std::string CString()
    {
        const std::string str = Bytes(m_str.find('\0'));
        Byte();
        return str;
    }

private:
    std::string m_str;  // what is left
};

// Writes strData to this process's scratch file (in a directory of its own
// under $TMPDIR or /tmp, removed at exit) and returns the file's path.
inline std::string FuzzScratchFile(const std::string &strData)
{
    static std::string s_strDir;
    if (s_strDir.empty()) {
        const char *szBase = getenv("TMPDIR");
        s_strDir = std::string(szBase != nullptr && *szBase != '\0' ? szBase : "/tmp") +
                   "/sshapi-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(&s_strDir[0]) != nullptr);
        atexit([] { std::filesystem::remove_all(s_strDir); });
    }
    const std::string strPath = s_strDir + "/scratch";
    FUZZ_CHECK((std::ofstream(strPath, std::ios::binary) << strData).flush().good());
    return strPath;
}

inline std::string FuzzReadFile(const std::string &strPath)
{
    std::ifstream cIn(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(cIn), std::istreambuf_iterator<char>());
}

// The start of every target: standard output goes to /dev/null (at
// thousands of runs a second the code's own lines would drown the fuzzer's
// report), and so does the service's log, at DEBUG, so that every log
// statement and its formatting runs as in the service.
inline void FuzzQuietOutput()
{
    FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr);
    log4cpp::Category &rCat = log4cpp::Category::getInstance("CATEGORY");
    rCat.removeAllAppenders();
    rCat.addAppender(new log4cpp::FileAppender("fuzz-null", "/dev/null"));
    rCat.setPriority(log4cpp::Priority::DEBUG);
}

#endif
