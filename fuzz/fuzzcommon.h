// Shared by the fuzz targets: a property check, a reader that takes fields
// off the front of an input, scratch files, and quiet output.
#ifndef FUZZ_FUZZCOMMON_H
#define FUZZ_FUZZCOMMON_H

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>

#include <algorithm>
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
    CFuzzInput(const uint8_t *pData, size_t u64Size) : m_pData(pData), m_u64Left(u64Size) {}
    uint8_t Byte() { return Bytes(1).empty() ? 0 : m_pData[-1]; }
    uint16_t U16()  // little-endian
    {
        const uint16_t u16Low = Byte();
        return static_cast<uint16_t>(u16Low | (Byte() << 8));
    }
    std::string Bytes(size_t u64Max)
    {
        const size_t u64Len = std::min(u64Max, m_u64Left);
        std::string str(reinterpret_cast<const char *>(m_pData), u64Len);
        m_pData += u64Len;
        m_u64Left -= u64Len;
        return str;
    }
    // Text up to the next NUL, which is consumed, or the end of the input.
    std::string CString()
    {
        const void *pNul = memchr(m_pData, '\0', m_u64Left);
        std::string str =
            Bytes(pNul != nullptr ? static_cast<const uint8_t *>(pNul) - m_pData : m_u64Left);
        Byte();
        return str;
    }

private:
    const uint8_t *m_pData;
    size_t m_u64Left;
};

// A file of the given name in a directory of this process's own under
// $TMPDIR (or /tmp), made on first use and removed at exit.
inline std::string FuzzScratchPath(const char *szName)
{
    static std::string s_strDir;
    if (s_strDir.empty()) {
        const char *szBase = getenv("TMPDIR");
        s_strDir = std::string(szBase != nullptr && *szBase != '\0' ? szBase : "/tmp") +
                   "/sshapi-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(&s_strDir[0]) != nullptr);
        atexit([] { std::filesystem::remove_all(s_strDir); });
    }
    return s_strDir + "/" + szName;
}

inline void FuzzWriteFile(const std::string &strPath, const std::string &strData)
{
    FUZZ_CHECK((std::ofstream(strPath, std::ios::binary) << strData).flush().good());
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
