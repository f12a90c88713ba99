// Text command console over two named pipes: a worker thread reads command
// lines from the request pipe, dispatches them to a caller-supplied table
// and writes each answer to the response pipe.
#ifndef COMMON_DEBUGFIFO_DEBUGFIFO_H
#define COMMON_DEBUGFIFO_DEBUGFIFO_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "commontypes.h"
#include "thread.h"

typedef SInt32 (*DebugCmdHandler)(SInt32 s32Id, uint64_t pParam, std::string &strResponse);

// One command table entry; a table ends with an empty name or id -1.
struct DebugCmd
{
    std::string strName;
    SInt32 s32Id;
    uint64_t pParam;
    DebugCmdHandler pfnHandler;
};

class CDebugFifo : public CThread
{
public:
    CDebugFifo();
    ~CDebugFifo() override;

    void SetPathSuffix(const std::string &strSuffix);
    SInt32 Init(const DebugCmd *pTable);
    void SetDefaultCmd(const std::string &strCmd, SInt32 s32Id);
    void Close();
    // Ends the read loop, even while it waits for a request, and joins the
    // thread. Hides CThread::Stop(), which would wait for the next request.
    void Stop();

    // Key of a command text: line ends removed, words joined with '+'
    // after each ("log verbose" -> "log+verbose+"). Modifies the text.
    static std::string MakeKey(std::string &strText);
    static void Split(const std::string &strText, const char *szDelims,
                      std::vector<std::string> &vecOut);
    static const char *LevelName(SInt32 s32Level);
    SInt32 Dispatch(std::string &strRequest, std::string &strResponse);

    const std::string &RequestPath() const { return m_strRequestPath; }
    const std::string &ResponsePath() const { return m_strResponsePath; }

protected:
    void Run() override;

private:
    std::map<std::string, const DebugCmd *> m_mapCmd;
    SInt32 m_s32ReadFd;
    SInt32 m_s32WriteFd;
    std::string m_strDefaultCmd;
    SInt32 m_s32DefaultCmdId;
    std::string m_strPathSuffix;
    std::string m_strRequestPath;
    std::string m_strResponsePath;
    // Self-pipe that wakes the read loop when the object is destroyed.
    int m_aWakeFd[2];
};

#endif
