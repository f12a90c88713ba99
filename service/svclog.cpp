#include "svclog.h"

#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/PropertyConfigurator.hh>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <vector>

static log4cpp::Category &Category()
{
    static log4cpp::Category &s_rCategory = log4cpp::Category::getInstance("CATEGORY");
    return s_rCategory;
}

namespace
{
thread_local CLogHold *t_pHold = nullptr;
}

bool SvcLogEnabled(int s32Prio)
{
    return Category().isPriorityEnabled(s32Prio);
}

void SvcLogWrite(int s32Prio, const char *szFile, unsigned u32Line, const char *szFmt, ...)
{
    const char *szBase = strrchr(szFile, '/');
    szBase = (szBase != nullptr) ? szBase + 1 : szFile;

    char acStack[1024];
    va_list stArgs;
    va_start(stArgs, szFmt);
    int s32Len = vsnprintf(acStack, sizeof(acStack), szFmt, stArgs);
    va_end(stArgs);
    if (s32Len < 0) {
        return;
    }
    std::string strMsg;
    if (static_cast<size_t>(s32Len) < sizeof(acStack)) {
        strMsg.assign(acStack, static_cast<size_t>(s32Len));
    } else {
        std::vector<char> vecBuf(static_cast<size_t>(s32Len) + 1);
        va_start(stArgs, szFmt);
        vsnprintf(vecBuf.data(), vecBuf.size(), szFmt, stArgs);
        va_end(stArgs);
        strMsg.assign(vecBuf.data(), static_cast<size_t>(s32Len));
    }
    char acSuffix[300];
    snprintf(acSuffix, sizeof(acSuffix), " --[%s:%u]", szBase, u32Line);
    size_t u64Room = LOG_LINE_MAX - strlen(acSuffix);
    if (s32Prio <= LOG_PRIO_INFO && strMsg.size() > u64Room) {
        strMsg.resize(u64Room);
    }
    strMsg += acSuffix;
    if (t_pHold != nullptr) {
        t_pHold->Add(s32Prio, std::move(strMsg));
        return;
    }
    Category().log(s32Prio, strMsg);
}

void CLogHold::Add(int s32Prio, std::string strLine)
{
    if (m_bReleased) {
        Category().log(s32Prio, strLine);
    } else if (m_vecLines.size() < LOG_HOLD_MAX_LINES) {
        m_vecLines.emplace_back(s32Prio, std::move(strLine));
    } else {
        ++m_u64NotKept;
    }
}

void CLogHold::Release()
{
    CLogHoldScope cDirect(nullptr);
    for (auto &tLine : m_vecLines) {
        Category().log(tLine.first, tLine.second);
    }
    if (m_u64NotKept > 0) {
        LOG_INFO("%zu earlier lines of this connection not kept", m_u64NotKept);
    }
    Discard();
    m_bReleased = true;
}

void CLogHold::Discard()
{
    m_vecLines.clear();
    m_vecLines.shrink_to_fit();
    m_u64NotKept = 0;
}

CLogHoldScope::CLogHoldScope(CLogHold *pHold) : m_pPrevious(t_pHold)
{
    t_pHold = pHold;
}

CLogHoldScope::~CLogHoldScope()
{
    t_pHold = m_pPrevious;
}

namespace
{

void AppendEscaped(std::string &strOut, const char *pData, size_t u64Len, bool bStopAtNul)
{
    static const char s_szHex[] = "0123456789abcdef";
    strOut.reserve(strOut.size() + u64Len);
    for (size_t i = 0; i < u64Len; ++i) {
        unsigned char u8 = static_cast<unsigned char>(pData[i]);
        if (u8 == 0 && bStopAtNul) {
            break;
        }
        switch (u8) {
        case '\r': strOut += "\\r"; break;
        case '\n': strOut += "\\n"; break;
        case '\t': strOut += "\\t"; break;
        case '\\': strOut += "\\\\"; break;
        default:
            if (u8 < 0x20 || u8 >= 0x7f) {
                strOut += "\\x";
                strOut += s_szHex[u8 >> 4];
                strOut += s_szHex[u8 & 0x0f];
            } else {
                strOut += static_cast<char>(u8);
            }
        }
    }
}

}  // namespace

std::string EscapeForLog(const char *pData, size_t u64Len)
{
    std::string strOut;
    AppendEscaped(strOut, pData, std::min(u64Len, LOG_TEXT_MAX), false);
    if (u64Len > LOG_TEXT_MAX) {
        strOut += "...(cut, " + std::to_string(u64Len) + " bytes)";
    }
    return strOut;
}

std::string DumpForLog(const char *pData, size_t u64Len)
{
    std::string strOut;
    AppendEscaped(strOut, pData, u64Len, true);
    return strOut;
}

int SvcLogConfigure(const std::string &strPath)
{
    std::string strWhy;
    try {
        log4cpp::PropertyConfigurator::configure(strPath);
        return 0;
    } catch (const std::exception &e) {
        strWhy = e.what();
    } catch (...) {
        strWhy = "unknown error";
    }
    // Fall back to standard error so the service stays observable.
    log4cpp::Category &rRoot = log4cpp::Category::getRoot();
    rRoot.removeAllAppenders();
    log4cpp::Appender *pAppender = new log4cpp::OstreamAppender("stderr", &std::cerr);
    log4cpp::PatternLayout *pLayout = new log4cpp::PatternLayout();
    pLayout->setConversionPattern("%d{%Y-%m-%d %H:%M:%S,%l} %p %m%n");
    pAppender->setLayout(pLayout);
    rRoot.addAppender(pAppender);
    rRoot.setPriority(log4cpp::Priority::INFO);
    Category().setPriority(log4cpp::Priority::NOTSET);
    LOG_ERROR("can't use log config file %s (%s), logging to stderr", strPath.c_str(),
              EscapeForLog(strWhy).c_str());
    return -1;
}
