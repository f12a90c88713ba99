// Name-based access to the device parameter file: groups of PARAM elements
// under CONFIGURATION. A loaded object holds an exclusive flock on the file
// until it is destroyed, so processes using this reader take turns. A file
// that holds something but does not parse is never written over: it may be
// another service's save cut short, and its parameters are not ours to drop.
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

    // Returns 0 also when the empty configuration takes the place of a
    // missing, empty or damaged file; IsDamaged() tells the last apart.
    SInt32 Load();
    // The file found by Load holds something other than whitespace but could
    // not be read or parsed. Save then refuses to write.
    Bool IsDamaged() const;
    SInt32 Reset();
    SInt32 GetParam(const char *szGroup, const char *szName, char *szValue, UInt32 u32Size);
    SInt32 SetParam(const char *szGroup, const char *szName, const char *szType,
                    const char *szValue);
    SInt32 DeleteParam(const char *szGroup, const char *szName);
    // Writes the document over the file in place (the lock lives on this
    // inode, so no rename), truncates it and flushes it to storage. Returns
    // a tinyxml2 error code: the load's error for a damaged file, or
    // XML_ERROR_FILE_COULD_NOT_BE_OPENED when opening, writing, truncating
    // or flushing fails.
    SInt32 Save();
    void Dump();
    static const char *ErrorName(UInt32 u32Code);

private:
    char m_szPath[256];
    tinyxml2::XMLDocument m_cDoc;
    SInt32 m_s32LockFd;
    SInt32 m_s32Damage;  // why Load could not use the file, XML_SUCCESS if it could
};

#endif
