// Start-up and configuration of the service: the pieces of the process
// entry that work on text and files, so that tests can call them directly.
#ifndef SERVICE_MAIN_H
#define SERVICE_MAIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "commontypes.h"
#include "debugfifo.h"
#include "sshsvr.h"

// Built-in stored digest of the default user "admin".
extern const char g_szDefaultDigest[];

// Reads a whole file through the platform's file operations. Returns the
// length read, or -1 (and an empty text) when the file cannot be opened, or
// is not a regular file of at most 1 MiB (ERROR line naming the file).
int ReadFileToString(const std::string &strPath, std::string &strOut);
// Splits at every occurrence of the delimiter; the text after the last one
// is always the final piece, even when empty.
void SplitString(const std::string &strText, const std::string &strDelim,
                 std::vector<std::string> &vecOut);
// Adds "user:digest" lines to the table; other lines are skipped.
int ParseUserCredentials(const std::string &strText, UserInfoMap &mapUserInfo);

// One pass over the parameter file: logs the switches, writes missing
// defaults back and stores the file's SSH port in strSshPort. Returns 1
// when the SSH service may start now, 0 when the file says to wait.
int CheckParamFilePass(const char *szPath, std::string &strSshPort);

// The users the service admits: the entries of the credentials file (or
// the built-in default user) and the command-line user, which wins on a
// name clash. The listener always gets both, at start and after a reload.
struct TCredentials
{
    UserInfoMap mapFile;     // what the listener's table was last built from
    UserInfoMap mapCmdLine;  // the -U/-P entry, if any
};

// The table at start, by password mode: the default user without a mode,
// the credentials file in the "public" mode, nothing from a file in any
// other; the default user also whenever that leaves no user at all (ERROR
// line). Warns when the default user is in force. Returns the table for
// the listener. (The "private" mode ends the start before this.)
UserInfoMap LoadStartCredentials(const std::string &strMode, const std::string &strCredFile,
                                 TCredentials &tCred);
// The credentials file is read long before it is watched: reads it once
// more and applies it as a reload would if it changed meanwhile. Returns 1
// when the listener got a new table.
int ReloadChangedBeforeWatch(const std::string &strCredFile, TCredentials &tCred, CSshSvr &rSvr);
// Walks a buffer of inotify records and reloads the credentials for every
// record about the credentials file. Returns the number of reloads.
int HandleConfigEvents(const char *pBuf, size_t u64Len, const std::string &strCredFile,
                       TCredentials &tCred, CSshSvr &rSvr);

extern DebugCmd DebugCmdTable[];
SInt32 OnDebugCmd(SInt32 s32Id, uint64_t pParam, std::string &strResponse);

// What the command line gives.
struct TStartOptions
{
    std::string strIp;
    std::string strPort;
    std::string strTelnetPort;
    std::string strRsaKey;
    std::string strDsaKey;
    std::string strEcdsaKey;
    std::string strEd25519Key;
    std::string strLogConf;
    std::string strPasswordMode;
    std::string strUser;
    std::string strPasswd;
    bool bUserGiven = false;
    bool bPasswdGiven = false;
    bool bCreateHostKeys = false;  // --create-host-keys
    int s32Verbose = 0;
    TAdmissionLimits tLimits;
    int s32MaxChannels = DEFAULT_MAX_CHANNELS;
};

// Parses the command line into tOpt. Returns 0 to go on, or the status the
// process ends with (1 after the usage text). -D daemonises at once.
int ParseOptions(int argc, char **argv, TStartOptions &tOpt);

int SshApiMain(int argc, char **argv);

#endif
