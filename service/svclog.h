// The texts of the log lines and of the console answers, misspellings
// included ("prase config file", "listne fail", "wirte channel err",
// "debuf fifo thread exit", ...), and the source names main.cpp and
// sshsvr.cpp in their " --[file:line]" suffix, are an operator contract:
// the device's log tools match them. Never "fix" them; add new lines instead.
//
// The service's one logging entry point: every message goes to the log4cpp
// category "CATEGORY" with " --[file:line]" appended (the source file's base
// name). The priority is checked before anything is formatted, so DEBUG
// dumps of relayed data cost nothing while the category is at INFO.
#ifndef SERVICE_SVCLOG_H
#define SERVICE_SVCLOG_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// log4cpp priorities used by the service.
enum
{
    LOG_PRIO_ERROR = 300,
    LOG_PRIO_WARN = 400,
    LOG_PRIO_INFO = 600,
    LOG_PRIO_DEBUG = 700,
};

bool SvcLogEnabled(int s32Prio);
void SvcLogWrite(int s32Prio, const char *szFile, unsigned u32Line, const char *szFmt, ...)
    __attribute__((format(printf, 4, 5)));

#define SVC_LOG(prio, ...)                                                                         \
    do {                                                                                           \
        if (SvcLogEnabled(prio)) {                                                                 \
            SvcLogWrite((prio), __FILE__, __LINE__, __VA_ARGS__);                                  \
        }                                                                                          \
    } while (0)

#define LOG_ERROR(...) SVC_LOG(LOG_PRIO_ERROR, __VA_ARGS__)
#define LOG_WARN(...) SVC_LOG(LOG_PRIO_WARN, __VA_ARGS__)
#define LOG_INFO(...) SVC_LOG(LOG_PRIO_INFO, __VA_ARGS__)
#define LOG_DEBUG(...) SVC_LOG(LOG_PRIO_DEBUG, __VA_ARGS__)

// Client-supplied text made safe for a log line at INFO or above: control
// characters, backslash and bytes >= 0x7f become \r, \n, \t, \\ or \xHH,
// so no client can start a line of its own in the log, and a text longer
// than LOG_TEXT_MAX bytes is cut there and marked with its full length.
const size_t LOG_TEXT_MAX = 256;
std::string EscapeForLog(const char *pData, size_t u64Len);
inline std::string EscapeForLog(const std::string &str)
{
    return EscapeForLog(str.data(), str.size());
}
// Relayed data for the DEBUG dumps: escaped the same way, whole, and up to
// its first NUL (the dumps print the data as C text).
std::string DumpForLog(const char *pData, size_t u64Len);

// No line at INFO or above is longer than this; DEBUG dumps are not cut.
const size_t LOG_LINE_MAX = 4096;

// Lines held back instead of written. A connection that has not tried to
// log in yet, from an address beyond its log quota, keeps its lines here:
// they are written if it then tries, and dropped (and counted in a summary
// line) if it does not. At most LOG_HOLD_MAX_LINES are kept; later ones are
// only counted.
class CLogHold
{
public:
    static const size_t LOG_HOLD_MAX_LINES = 32;

    void Add(int s32Prio, std::string strLine);
    // Writes the held lines, in order; later lines are written at once.
    void Release();
    void Discard();

private:
    std::vector<std::pair<int, std::string>> m_vecLines;
    size_t m_u64NotKept = 0;
    bool m_bReleased = false;
};

// Sends the calling thread's log lines to a hold for the extent of a scope;
// a null hold writes them as usual (a line that must never be held).
class CLogHoldScope
{
public:
    explicit CLogHoldScope(CLogHold *pHold);
    ~CLogHoldScope();
    CLogHoldScope(const CLogHoldScope &) = delete;
    CLogHoldScope &operator=(const CLogHoldScope &) = delete;

private:
    CLogHold *m_pPrevious;
};

// Configures log4cpp from a property file. When the file cannot be used,
// logs to standard error at INFO instead and writes one ERROR line that
// names the file. Returns 0 when the file was used, -1 otherwise.
int SvcLogConfigure(const std::string &strPath);

#endif
