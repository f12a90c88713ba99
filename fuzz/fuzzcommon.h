// Helpers shared by the fuzz targets: a failed property check, a reader that
// takes typed fields off the front of a fuzz input, and a private scratch
// directory per process.
#ifndef FUZZ_FUZZCOMMON_H
#define FUZZ_FUZZCOMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A property that must hold for every input. A failure aborts, which both
// libFuzzer and the replay runner report as a crash of that input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__);        \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// Takes fields off the front of the input; past the end every field is empty
// or zero, so any input, even an empty one, is a valid test case.
class CFuzzInput
{
public:
    CFuzzInput(const uint8_t *pData, size_t u64Size) : m_pData(pData), m_u64Left(u64Size) {}

    uint8_t Byte()
    {
        if (m_u64Left == 0) {
            return 0;
        }
        --m_u64Left;
        return *m_pData++;
    }

    uint16_t U16()
    {
        uint16_t u16Low = Byte();
        return static_cast<uint16_t>(u16Low | (Byte() << 8));
    }

    // Up to u64Max bytes.
    std::string Bytes(size_t u64Max)
    {
        size_t u64Len = u64Max < m_u64Left ? u64Max : m_u64Left;
        std::string str(reinterpret_cast<const char *>(m_pData), u64Len);
        m_pData += u64Len;
        m_u64Left -= u64Len;
        return str;
    }

    // Text up to the next NUL (which is consumed) or the end of the input.
    std::string CString()
    {
        std::string str;
        while (m_u64Left > 0) {
            char c = static_cast<char>(Byte());
            if (c == '\0') {
                break;
            }
            str += c;
        }
        return str;
    }

    std::string Rest() { return Bytes(m_u64Left); }
    size_t Left() const { return m_u64Left; }

private:
    const uint8_t *m_pData;
    size_t m_u64Left;
};

// A directory of this process's own under $TMPDIR (or /tmp), made on first
// use and removed at exit.
const std::string &FuzzScratchDir();

// Writes a whole file; aborts when it cannot (the harness itself is broken).
void FuzzWriteFile(const std::string &strPath, const std::string &strData);

// The start of every target: standard output goes to /dev/null (the code
// under test prints there, and at thousands of runs a second that would
// drown the fuzzer's own report), and so does the service's log category, at
// DEBUG, so that every log statement and its argument formatting runs as in
// the service.
void FuzzQuietOutput();

#endif
