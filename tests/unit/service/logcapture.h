// Captures what the service logs to the category "CATEGORY" during a test.
#ifndef TESTS_UNIT_SERVICE_LOGCAPTURE_H
#define TESTS_UNIT_SERVICE_LOGCAPTURE_H

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <string>
#include <vector>

class CLogCapture
{
public:
    explicit CLogCapture(log4cpp::Priority::Value ePrio = log4cpp::Priority::DEBUG)
        : m_rCat(log4cpp::Category::getInstance("CATEGORY"))
    {
        m_pAppender = new log4cpp::StringQueueAppender("capture");
        auto *pLayout = new log4cpp::PatternLayout();
        pLayout->setConversionPattern("%p %m%n");
        m_pAppender->setLayout(pLayout);
        m_rCat.removeAllAppenders();
        m_rCat.addAppender(m_pAppender);  // the category owns it
        m_rCat.setPriority(ePrio);
    }
    ~CLogCapture() { m_rCat.removeAllAppenders(); }

    std::vector<std::string> Lines()
    {
        std::vector<std::string> vecLines;
        auto &rQueue = m_pAppender->getQueue();
        while (!rQueue.empty()) {
            std::string strLine = rQueue.front();
            rQueue.pop();
            if (!strLine.empty() && strLine.back() == '\n') {
                strLine.pop_back();
            }
            m_vecSeen.push_back(strLine);
        }
        return m_vecSeen;
    }
    std::string Text()
    {
        std::string strAll;
        for (const std::string &strLine : Lines()) {
            strAll += strLine + "\n";
        }
        return strAll;
    }
    void Clear()
    {
        Lines();
        m_vecSeen.clear();
    }

private:
    log4cpp::Category &m_rCat;
    log4cpp::StringQueueAppender *m_pAppender;
    std::vector<std::string> m_vecSeen;
};

#endif
