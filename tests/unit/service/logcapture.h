// Captures what the service logs to the category "CATEGORY" during a test.
#ifndef TESTS_UNIT_SERVICE_LOGCAPTURE_H
#define TESTS_UNIT_SERVICE_LOGCAPTURE_H

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <sstream>
#include <string>
#include <vector>

class CLogCapture
{
public:
    explicit CLogCapture(log4cpp::Priority::Value ePrio = log4cpp::Priority::DEBUG)
        : m_rCat(log4cpp::Category::getInstance("CATEGORY")),
          m_pAppender(new log4cpp::StringQueueAppender("capture"))
    {
        auto *pLayout = new log4cpp::PatternLayout();
        pLayout->setConversionPattern("%p %m%n");
        m_pAppender->setLayout(pLayout);
        m_rCat.removeAllAppenders();
        m_rCat.addAppender(m_pAppender);  // the category owns it
        m_rCat.setPriority(ePrio);
    }
    ~CLogCapture() { m_rCat.removeAllAppenders(); }

    // What was logged since the start or the last Clear(), a line each.
    std::string Text()
    {
        for (auto &rQueue = m_pAppender->getQueue(); !rQueue.empty(); rQueue.pop()) {
            m_strSeen += rQueue.front();
        }
        return m_strSeen;
    }
    std::vector<std::string> Lines()
    {
        std::vector<std::string> vecLines;
        std::istringstream cIn(Text());
        for (std::string strLine; std::getline(cIn, strLine);) {
            vecLines.push_back(strLine);
        }
        return vecLines;
    }
    void Clear()
    {
        Text();
        m_strSeen.clear();
    }

private:
    log4cpp::Category &m_rCat;
    log4cpp::StringQueueAppender *m_pAppender;
    std::string m_strSeen;
};

#endif
