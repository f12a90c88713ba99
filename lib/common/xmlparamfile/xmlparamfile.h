// Name-based access to the device parameter file: groups of PARAM elements
// under CONFIGURATION. A loaded object holds an exclusive flock on the file
// until it is destroyed, so processes using this reader take turns.
#ifndef COMMON_XMLPARAMFILE_XMLPARAMFILE_H
#define COMMON_XMLPARAMFILE_XMLPARAMFILE_H

#include <tinyxml2.h>

#include "commontypes.h"

class CXmlParamFile
{
public:
    explicit CXmlParamFile(const char *szPath);
    ~CXmlParamFile();
    CXmlParamFile(const CXmlParamFile &) = delete;
    CXmlParamFile &operator=(const CXmlParamFile &) = delete;

    SInt32 Load();
    SInt32 Reset();
    SInt32 GetParam(const char *szGroup, const char *szName, char *szValue, UInt32 u32Size);
    SInt32 SetParam(const char *szGroup, const char *szName, const char *szType,
                    const char *szValue);
    SInt32 DeleteParam(const char *szGroup, const char *szName);
    SInt32 Save();
    void Dump();
    static const char *ErrorName(UInt32 u32Code);

private:
    char m_szPath[256];
    tinyxml2::XMLDocument m_cDoc;
    SInt32 m_s32LockFd;
};

#endif
