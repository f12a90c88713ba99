// Process entry of the SSH front end: command line, logging, credentials,
// parameter-file check, listener and debug console start, then the
// supervision loop that reaps sessions and reloads the credentials file.
#include "main.h"

#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <log4cpp/Category.hh>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "commonutils.h"
#include "hostkeys.h"
#include "servicepaths.h"
#include "svclog.h"
#include "watchdog.h"
#include "xmlparamfile.h"

const char g_szDefaultDigest[] = "5f0c2b7e91d4a3886e1fb0c94a27d3e5";

namespace
{

const UInt32 THREAD_STACK_SIZE = 0x180000;  // 1.5 MiB for every thread
const char PARAM_GROUP[] = "CHANNEL_1";
// Written in place, created, or replaced by a file renamed onto it (sed -i,
// editors and provisioning tools write a temporary file and rename it).
const uint32_t CONFIG_WATCH_MASK = IN_MODIFY | IN_CREATE | IN_MOVED_TO;
// The largest credentials file that is read (1 MiB).
const size_t CRED_FILE_MAX = 1024 * 1024;

void PrintUsage(const char *szProg)
{
    printf("%s [options]\n", szProg);
    puts("    -h --help           show this help");
    puts("    -D --daemonize      Daemonize after startup");
    puts("    -U --user           user name");
    puts("    -P --password       need password");
    puts("    -a --ipaddr         ip addr");
    puts("    -p --port           Port number for listening");
    puts("    -t --tport          Port number of telnet for connect");
    puts("    -r --rsa            rsa key file path");
    puts("    -d --dsa            dsa key file path");
    puts("    -e --ecdsa          ecdsa key file path");
    puts("    -k --ed25519        ed25519 key file path");
    puts("    -v --verbose        verbose output");
    puts("    -c --conf           [optional] Log configuration file");
    fflush(stdout);
}

// Long options without a short form get values past every character.
enum
{
    OPT_CREATE_HOST_KEYS = 0x100,
    OPT_MAX_STARTUPS,
    OPT_MAX_STARTUPS_PER_SOURCE,
    OPT_LOGIN_PENALTY,
    OPT_MAX_CHANNELS,
};

// Bounds of the admission limits: a count of connections, and seconds.
const int MAX_STARTUPS_LIMIT = 10000;
const int LOGIN_PENALTY_LIMIT = 86400;  // a day
const int MAX_CHANNELS_LIMIT = 64;

// Takes a whole decimal number from s32Min to s32Max (digits only, no sign
// or blank) into s32Out. Otherwise says so on standard error and returns
// false; s32Out is left alone.
bool ParseLimit(const char *szProg, const char *szOption, const char *szText, int s32Min,
                int s32Max, int &s32Out)
{
    long long s64Value = 0;
    const char *p = szText;
    for (; *p >= '0' && *p <= '9' && s64Value <= s32Max; ++p) {
        s64Value = s64Value * 10 + (*p - '0');
    }
    if (p == szText || *p != '\0' || s64Value < s32Min || s64Value > s32Max) {
        fprintf(stderr, "%s: %s needs a whole number from %d to %d, not '%s'\n", szProg, szOption,
                s32Min, s32Max, szText);
        return false;
    }
    s32Out = static_cast<int>(s64Value);
    return true;
}

// The option table. Long options may be abbreviated to any unambiguous
// prefix. 'k' is no short option: only --ed25519 sets that path, and the -k
// of the usage text is refused, as is its --ipaddr; the options past the
// characters have no short form.
const char SHORT_OPTIONS[] = "hDU:P:a:p:t:r:d:e:vc:w:";
const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"daemonize", no_argument, nullptr, 'D'},
    {"user", required_argument, nullptr, 'U'},
    {"passwd", required_argument, nullptr, 'P'},
    {"ip", required_argument, nullptr, 'a'},
    {"port", required_argument, nullptr, 'p'},
    {"tport", required_argument, nullptr, 't'},
    {"rsa", required_argument, nullptr, 'r'},
    {"dsa", required_argument, nullptr, 'd'},
    {"ecdsa", required_argument, nullptr, 'e'},
    {"ed25519", required_argument, nullptr, 'k'},  // long form only
    {"verbose", no_argument, nullptr, 'v'},
    {"conf", required_argument, nullptr, 'c'},
    {"password", required_argument, nullptr, 'w'},
    {"create-host-keys", no_argument, nullptr, OPT_CREATE_HOST_KEYS},
    {"max-startups", required_argument, nullptr, OPT_MAX_STARTUPS},
    {"max-startups-per-source", required_argument, nullptr, OPT_MAX_STARTUPS_PER_SOURCE},
    {"login-penalty", required_argument, nullptr, OPT_LOGIN_PENALTY},
    {"max-channels", required_argument, nullptr, OPT_MAX_CHANNELS},
    {nullptr, 0, nullptr, 0},
};

// The settings and switches. An option that takes a text appends it: a
// repeated option yields the concatenation of its arguments. Returns false
// for what is none of them (an unknown option, or a missing argument).
bool TakeSettingOption(int s32Opt, const char *szArg, TStartOptions &tOpt)
{
    switch (s32Opt) {
    case 'U':
        tOpt.strUser += szArg;
        tOpt.bUserGiven = true;
        break;
    case 'P':
        tOpt.strPasswd += szArg;
        tOpt.bPasswdGiven = true;
        break;
    case 'a': tOpt.strIp += szArg; break;
    case 'p': tOpt.strPort += szArg; break;
    case 't': tOpt.strTelnetPort += szArg; break;
    case 'r': tOpt.strRsaKey += szArg; break;
    case 'd': tOpt.strDsaKey += szArg; break;
    case 'e': tOpt.strEcdsaKey += szArg; break;
    case 'k': tOpt.strEd25519Key += szArg; break;
    case 'v': tOpt.s32Verbose = 1; break;
    case 'c': tOpt.strLogConf += szArg; break;
    case 'w': tOpt.strPasswordMode += szArg; break;
    case OPT_CREATE_HOST_KEYS: tOpt.bCreateHostKeys = true; break;
    default: return false;
    }
    return true;
}

// The admission limits are numbers within bounds; the last one given
// counts. Returns false when the value is refused.
bool TakeLimitOption(int s32Opt, const char *szProg, const char *szArg, TStartOptions &tOpt)
{
    switch (s32Opt) {
    case OPT_MAX_STARTUPS:
        return ParseLimit(szProg, "--max-startups", szArg, 1, MAX_STARTUPS_LIMIT,
                          tOpt.tLimits.s32MaxStartups);
    case OPT_MAX_STARTUPS_PER_SOURCE:
        return ParseLimit(szProg, "--max-startups-per-source", szArg, 1, MAX_STARTUPS_LIMIT,
                          tOpt.tLimits.s32MaxStartupsPerSource);
    case OPT_LOGIN_PENALTY:
        return ParseLimit(szProg, "--login-penalty", szArg, 0, LOGIN_PENALTY_LIMIT,
                          tOpt.tLimits.s32LoginPenaltySeconds);
    case OPT_MAX_CHANNELS:
        return ParseLimit(szProg, "--max-channels", szArg, 1, MAX_CHANNELS_LIMIT,
                          tOpt.s32MaxChannels);
    default: return false;
    }
}

}  // namespace

int ParseOptions(int argc, char **argv, TStartOptions &tOpt)
{
    int s32Opt;
    while ((s32Opt = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        bool bValid = true;
        switch (s32Opt) {
        case 'h': PrintUsage(argv[0]); return 1;
        case 'D':
            // The worker goes on parsing in the process that
            // CreateWatchdog returns in.
            if (daemon(0, 0) != 0) {
                perror("daemon");
            }
            CreateWatchdog(argv[0]);
            break;
        case OPT_MAX_STARTUPS:
        case OPT_MAX_STARTUPS_PER_SOURCE:
        case OPT_LOGIN_PENALTY:
        case OPT_MAX_CHANNELS: bValid = TakeLimitOption(s32Opt, argv[0], optarg, tOpt); break;
        default: bValid = TakeSettingOption(s32Opt, optarg, tOpt); break;
        }
        if (!bValid) {
            PrintUsage(argv[0]);
            return 1;
        }
    }
    return 0;
}

// ---- credentials ---------------------------------------------------------

int ReadFileToString(const std::string &strPath, std::string &strOut)
{
    strOut.clear();
    // Opened without waiting (a FIFO in the file's place would block the
    // open for ever) and checked on that very descriptor: only a regular
    // file of at most CRED_FILE_MAX bytes is read.
    int s32Fd = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (s32Fd < 0) {
        return -1;
    }
    struct stat stInfo;
    const char *szWhy = nullptr;
    if (fstat(s32Fd, &stInfo) != 0) {
        szWhy = "its type cannot be told";
    } else if (!S_ISREG(stInfo.st_mode)) {
        szWhy = "not a regular file";
    } else if (stInfo.st_size > static_cast<off_t>(CRED_FILE_MAX)) {
        szWhy = "larger than 1 MiB";
    }
    FILE *pFile = nullptr;
    if (szWhy == nullptr) {
        // Read through the very descriptor that was checked, whatever the
        // path names by now (a device need not have /proc).
        pFile = fdopen(s32Fd, "r");
        if (pFile == nullptr) {
            szWhy = "cannot be read";
        } else {
            char acBuf[1024];
            for (;;) {
                size_t u64Read = g_tFileOptCallBack.pfnRead(acBuf, 1, sizeof(acBuf), pFile);
                if (u64Read < 1) {
                    break;
                }
                strOut.append(acBuf, u64Read);
                if (strOut.size() > CRED_FILE_MAX) {
                    szWhy = "larger than 1 MiB";  // it grew while being read
                    break;
                }
            }
            g_tFileOptCallBack.pfnClose(pFile);  // closes the descriptor too
        }
    }
    if (pFile == nullptr) {
        close(s32Fd);
    }
    if (szWhy != nullptr) {
        LOG_ERROR("%s not read: %s", strPath.c_str(), szWhy);
        strOut.clear();
        return -1;
    }
    return static_cast<int>(strOut.size());
}

void SplitString(const std::string &strText, const std::string &strDelim,
                 std::vector<std::string> &vecOut)
{
    if (strDelim.empty()) {
        vecOut.push_back(strText);
        return;
    }
    size_t u64Start = 0;
    size_t u64Pos;
    while ((u64Pos = strText.find(strDelim, u64Start)) != std::string::npos) {
        vecOut.push_back(strText.substr(u64Start, u64Pos - u64Start));
        u64Start = u64Pos + strDelim.size();
    }
    vecOut.push_back(strText.substr(u64Start));
}

int ParseUserCredentials(const std::string &strText, UserInfoMap &mapUserInfo)
{
    std::vector<std::string> vecLines;
    SplitString(strText, "\n", vecLines);
    for (const std::string &strLine : vecLines) {
        if (strLine.empty()) {
            continue;
        }
        std::vector<std::string> vecPieces;
        SplitString(strLine, ":", vecPieces);
        if (vecPieces.size() == 2) {
            mapUserInfo[vecPieces[0]] = vecPieces[1];
        }
    }
    return 0;
}

namespace
{

// The command-line user: -U NAME -P DIGEST, DIGEST in the stored form.
void AddCommandLineUser(const TStartOptions &tOpt, UserInfoMap &mapUserInfo)
{
    if (!tOpt.bUserGiven && !tOpt.bPasswdGiven) {
        return;
    }
    if (!tOpt.bPasswdGiven) {
        LOG_ERROR("user %s given without -P digest, not added", EscapeForLog(tOpt.strUser).c_str());
        return;
    }
    if (!tOpt.bUserGiven) {
        LOG_ERROR("-P digest given without -U user, not added");
        return;
    }
    if (!IsStoredDigest(tOpt.strPasswd)) {
        LOG_ERROR("-P for user %s is not 32 lowercase hexadecimal digits (the MD5 digest of "
                  "the password), not added",
                  EscapeForLog(tOpt.strUser).c_str());
        return;
    }
    mapUserInfo[tOpt.strUser] = tOpt.strPasswd;
}

UserInfoMap ReadCredentials(const std::string &strCredFile)
{
    std::string strText;
    ReadFileToString(strCredFile, strText);
    UserInfoMap mapFile;
    ParseUserCredentials(strText, mapFile);
    return mapFile;
}

UserInfoMap ListenerTable(const TCredentials &tCred)
{
    UserInfoMap mapTable = tCred.mapFile;
    for (const auto &tEntry : tCred.mapCmdLine) {
        mapTable[tEntry.first] = tEntry.second;
    }
    return mapTable;
}

// Hands the listener the entries of a reloaded file, with the command-line
// user over them. Only a stored digest can ever admit a login: a file
// without one (empty, garbage, or cut short inside its first entry) would
// lock every user out, so the listener keeps its table. Returns 1 when it
// got the new one.
int ApplyCredentials(UserInfoMap mapFile, const std::string &strCredFile, TCredentials &tCred,
                     CSshSvr &rSvr)
{
    bool bUsable = std::any_of(mapFile.begin(), mapFile.end(),
                               [](const auto &tEntry) { return IsStoredDigest(tEntry.second); });
    if (!bUsable) {
        if (!mapFile.empty()) {
            LOG_ERROR("%s has no entry user:digest with a 32-digit lowercase hex digest, "
                      "previous logins kept",
                      strCredFile.c_str());
        }
        return 0;
    }
    tCred.mapFile.swap(mapFile);
    rSvr.SetUserInfo(ListenerTable(tCred));
    return 1;
}

}  // namespace

UserInfoMap LoadStartCredentials(const std::string &strMode, const std::string &strCredFile,
                                 TCredentials &tCred)
{
    if (strMode.empty()) {
        tCred.mapFile["admin"] = g_szDefaultDigest;
    } else if (strMode == "public") {
        tCred.mapFile = ReadCredentials(strCredFile);
    }
    UserInfoMap mapTable = ListenerTable(tCred);
    if (mapTable.empty()) {
        LOG_ERROR("userCredentials is empty, set default user and password");
        tCred.mapFile["admin"] = g_szDefaultDigest;
        mapTable = ListenerTable(tCred);
    }
    auto itAdmin = mapTable.find("admin");
    if (itAdmin != mapTable.end() && itAdmin->second == g_szDefaultDigest) {
        LOG_WARN("user admin with the built-in default password is in force; set users with "
                 "-U NAME -P DIGEST, or with -w public and %s",
                 strCredFile.c_str());
    }
    return mapTable;
}

int ReloadChangedBeforeWatch(const std::string &strCredFile, TCredentials &tCred, CSshSvr &rSvr)
{
    UserInfoMap mapNow = ReadCredentials(strCredFile);
    if (mapNow == tCred.mapFile || ApplyCredentials(mapNow, strCredFile, tCred, rSvr) == 0) {
        return 0;
    }
    LOG_INFO("user:password changed during start-up, reloaded");
    return 1;
}

int HandleConfigEvents(const char *pBuf, size_t u64Len, const std::string &strCredFile,
                       TCredentials &tCred, CSshSvr &rSvr)
{
    int s32Reloads = 0;
    size_t u64Pos = 0;
    while (u64Pos + sizeof(struct inotify_event) <= u64Len) {
        struct inotify_event stEvent;
        memcpy(&stEvent, pBuf + u64Pos, sizeof(stEvent));
        const char *szName = pBuf + u64Pos + sizeof(struct inotify_event);
        size_t u64NameLen = stEvent.len;
        if (u64Pos + sizeof(struct inotify_event) + u64NameLen > u64Len) {
            break;  // a record cut short: nothing more to trust in this read
        }
        u64Pos += sizeof(struct inotify_event) + u64NameLen;
        if ((stEvent.mask & CONFIG_WATCH_MASK) == 0) {
            continue;
        }
        std::string strName(szName, strnlen(szName, u64NameLen));
        // Any name that is a part of the credentials path counts, the base
        // name above all.
        if (strstr(g_szCredentialsDevicePath, strName.c_str()) != nullptr) {
            LOG_INFO("user:password modify %s", EscapeForLog(strName).c_str());
            ApplyCredentials(ReadCredentials(strCredFile), strCredFile, tCred, rSvr);
            ++s32Reloads;
        }
        LOG_INFO("-----------%s", EscapeForLog(strName).c_str());
    }
    return s32Reloads;
}

// ---- parameter file ------------------------------------------------------

namespace
{

// A parameter switch is on when its first four characters are "true" in
// any letter case.
bool IsSwitchOn(const char *szValue)
{
    return strncasecmp("true", szValue, 4) == 0;
}

}  // namespace

int CheckParamFilePass(const char *szPath, std::string &strSshPort)
{
    bool bTelnetOn = false;
    bool bTelnetTlsOn = false;
    bool bSshAvailable = true;
    {
        CXmlParamFile cParam(szPath);
        if (cParam.Load() != 0) {
            LOG_ERROR("prase config file %s err", szPath);
            return 0;
        }
        // A damaged file (another service's save cut short) reads as one
        // without parameters: the defaults apply in memory, and Save
        // refuses to write them over the other services' parameters.
        if (cParam.IsDamaged()) {
            LOG_ERROR("prase config file %s err", szPath);
        }
        char acValue[64];
        memset(acValue, 0, sizeof(acValue));
        if (cParam.GetParam(PARAM_GROUP, "service_telnetapi", acValue, 63) == 0) {
            LOG_ERROR("get config file %s attr %s fail", szPath, "service_telnetapi");
        } else {
            bTelnetOn = IsSwitchOn(acValue);
        }
        if (cParam.GetParam(PARAM_GROUP, "service_telnettlsapi", acValue, 63) == 0) {
            LOG_ERROR("get config file %s attr %s fail", szPath, "service_telnettlsapi");
        } else {
            bTelnetTlsOn = IsSwitchOn(acValue);
        }
        if (cParam.GetParam(PARAM_GROUP, "service_sshapi", acValue, 63) == 0) {
            snprintf(acValue, sizeof(acValue), "%s", "true");
            cParam.SetParam(PARAM_GROUP, "service_sshapi", "string", acValue);
            cParam.Save();
        }
        if (!IsSwitchOn(acValue)) {
            LOG_WARN("config ssh service unavailable now");
            bSshAvailable = false;
        }
        if (!bTelnetOn && !bTelnetTlsOn) {
            LOG_WARN("Telnet and TelnetTls status: %d, we force start ssh service",
                     bTelnetOn ? 1 : 0);
            bSshAvailable = true;
        }
        if (cParam.GetParam(PARAM_GROUP, "telnetapi_port", acValue, 63) == 0) {
            snprintf(acValue, sizeof(acValue), "%d", 23);
            cParam.SetParam(PARAM_GROUP, "telnetapi_port", "string", acValue);
            cParam.Save();
        }
        if (cParam.GetParam(PARAM_GROUP, "sshapi_port", acValue, 63) == 0) {
            snprintf(acValue, sizeof(acValue), "%d", 22);
            cParam.SetParam(PARAM_GROUP, "sshapi_port", "string", acValue);
            cParam.Save();
        }
        strSshPort = acValue;
    }  // the file lock is released here
    return bSshAvailable ? 1 : 0;
}

// ---- debug commands ------------------------------------------------------

DebugCmd DebugCmdTable[] = {
    {"help", 0, 0, OnDebugCmd},        {"status", 1, 0, OnDebugCmd},
    {"log verbose", 2, 0, OnDebugCmd}, {"log quiet", 3, 0, OnDebugCmd},
    {"default", 4, 0, OnDebugCmd},     {"", -1, 0, OnDebugCmd},
};

SInt32 OnDebugCmd(SInt32 s32Id, uint64_t, std::string &strResponse)
{
    static const char s_szHelp[] = "echo help > /var/request; cat /var/response\r\n"
                                   "echo status > /var/request; cat /var/response\r\n"
                                   "echo \"log verbose\" > /var/request; cat /var/response\r\n"
                                   "echo \"log quiet\" > /var/request; cat /var/response\r\n";
    switch (static_cast<uint32_t>(s32Id)) {
    case 0: strResponse += s_szHelp; break;
    case 1: g_cSshSvr.GetStatus(strResponse); break;
    case 2:
        g_cSshSvr.SetPendingVerbose(1);
        log4cpp::Category::getInstance("CATEGORY").setPriority(log4cpp::Priority::DEBUG);
        strResponse += "set log verbose(libssh need new connect) ok\r\n";
        break;
    case 3:
        g_cSshSvr.SetPendingVerbose(0);
        log4cpp::Category::getInstance("CATEGORY").setPriority(log4cpp::Priority::INFO);
        strResponse += "set log quiet(libssh need new connect) ok\r\n";
        break;
    case 4:
        strResponse += s_szHelp;
        strResponse += "echo default > /var/request; cat /var/response\r\n";
        break;
    default: break;
    }
    return 0;
}

// ---- start-up ------------------------------------------------------------

namespace
{

// No socket may get descriptor 0: the relay treats 0 as "no socket". The
// standard descriptors are opened onto /dev/null where they are closed.
void EnsureStdFds()
{
    for (int s32Fd = 0; s32Fd <= 2; ++s32Fd) {
        if (fcntl(s32Fd, F_GETFD) == -1) {
            int s32New = open("/dev/null", O_RDWR);
            if (s32New >= 0 && s32New != s32Fd) {
                dup2(s32New, s32Fd);
                close(s32New);
            }
        }
    }
}

// One descriptor per connection and one per channel: the soft limit (often
// 1024) is raised to what the system allows the process.
void RaiseDescriptorLimit()
{
    struct rlimit stLimit;
    if (getrlimit(RLIMIT_NOFILE, &stLimit) == 0 && stLimit.rlim_cur < stLimit.rlim_max) {
        stLimit.rlim_cur = stLimit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &stLimit);
    }
}

// What the process needs before anything runs: the standard descriptors,
// the descriptor limit, and how the C library returns memory.
void PrepareProcess()
{
    EnsureStdFds();
    RaiseDescriptorLimit();
#ifdef __GLIBC__
    // Blocks of 128 KiB and more (every session's relay buffer) are mapped
    // and returned to the system when freed. By default glibc raises this
    // threshold after the first such free and then keeps freed buffers in
    // its heaps: after a burst of sessions the resident size stayed up to
    // twice what it was before.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

// Thread stacks, SIGPIPE and the log. Without -c the log configuration is
// named after the command line's listen port, whatever port the parameter
// file gives later.
void SetUpThreadsAndLog(TStartOptions &tOpt)
{
    CThread::InitAttr(THREAD_STACK_SIZE);
    signal(SIGPIPE, SIG_IGN);
    if (tOpt.strLogConf.empty()) {
        tOpt.strLogConf = std::string(g_szLogConfPrefix) + tOpt.strPort + ".conf";
    }
    SvcLogConfigure(tOpt.strLogConf);
}

// The listen address and port. A missing port ends the start here, before
// the parameter file is read, even in the "public" mode that takes the port
// from that file. Returns -1 then (usage text and ERROR line).
int CheckListenSettings(const char *szProg, TStartOptions &tOpt)
{
    if (tOpt.strIp.empty()) {
        tOpt.strIp = "0.0.0.0";
    }
    if (tOpt.strPort.empty()) {
        PrintUsage(szProg);
        LOG_ERROR("ssh proxy port empty");
        return -1;
    }
    return 0;
}

// The parameter-file check; each pass writes the defaults it misses. In the
// "public" mode start-up waits here until the file enables SSH, pausing
// g_u32ParamWaitSeconds (120 s on the device) between passes without the
// file lock and with no port open, and then listens on the file's port. In
// any other mode one pass runs and only logs.
void WaitForSshEnabled(bool bPublic, std::string &strPort)
{
    std::string strFileSshPort;
    while (CheckParamFilePass(g_szParamFile, strFileSshPort) == 0 && bPublic) {
        sleep(g_u32ParamWaitSeconds);
    }
    if (bPublic) {
        strPort = strFileSshPort;
    }
}

// The telnet port (required: returns -1 after the usage text and an ERROR
// line) and the host keys: defaults for the empty paths, Ed25519 excepted,
// and with --create-host-keys the missing key files made.
int CheckTelnetAndKeys(const char *szProg, TStartOptions &tOpt)
{
    if (tOpt.strTelnetPort.empty()) {
        PrintUsage(szProg);
        LOG_ERROR("telnet port empty");
        return -1;
    }
    if (tOpt.strRsaKey.empty()) {
        tOpt.strRsaKey = g_szRsaKeyFile;
    }
    if (tOpt.strDsaKey.empty()) {
        tOpt.strDsaKey = g_szDsaKeyFile;
    }
    if (tOpt.strEcdsaKey.empty()) {
        tOpt.strEcdsaKey = g_szEcdsaKeyFile;
    }
    if (tOpt.bCreateHostKeys) {
        CreateMissingHostKeys(tOpt.strRsaKey, tOpt.strEcdsaKey, tOpt.strEd25519Key);
    }
    return 0;
}

void LogSettings(const TStartOptions &tOpt)
{
    LOG_INFO("log config file = %s", tOpt.strLogConf.c_str());
    LOG_INFO("ssh port = %s", tOpt.strPort.c_str());
    LOG_INFO("telnet port = %s", tOpt.strTelnetPort.c_str());
    LOG_INFO("user = %s, password = %s", EscapeForLog(tOpt.strUser).c_str(),
             tOpt.strPasswd.empty() ? "" : "***");
    LOG_INFO("max startups = %d, per source = %d, login penalty = %d s, max channels = %d",
             tOpt.tLimits.s32MaxStartups, tOpt.tLimits.s32MaxStartupsPerSource,
             tOpt.tLimits.s32LoginPenaltySeconds, tOpt.s32MaxChannels);
}

// Hands the settings to the listener and starts its thread. Returns -1
// when the listener refuses them (usage text and ERROR line).
int StartListener(const char *szProg, const TStartOptions &tOpt, const UserInfoMap &mapUsers)
{
    g_cSshSvr.SetUserInfo(mapUsers);
    g_cSshSvr.SetAddr(tOpt.strIp, tOpt.strPort);
    g_cSshSvr.SetKeyFile(tOpt.strRsaKey, tOpt.strDsaKey, tOpt.strEcdsaKey, tOpt.strEd25519Key);
    g_cSshSvr.SetVerbose(tOpt.s32Verbose);
    g_cSshSvr.SetTelnetPort(tOpt.strTelnetPort);
    g_cSshSvr.SetAdmissionLimits(tOpt.tLimits);
    g_cSshSvr.SetMaxChannels(tOpt.s32MaxChannels);
    if (g_cSshSvr.Init() != 0) {
        PrintUsage(szProg);
        LOG_ERROR("ssh server init fail");
        return -1;
    }
    g_cSshSvr.Start();
    return 0;
}

// The debug console, its pipes named after the port the listener uses.
CDebugFifo *StartConsole(const std::string &strPort)
{
    CDebugFifo *pFifo = new CDebugFifo();
    pFifo->SetPathSuffix(strPort);
    pFifo->Init(DebugCmdTable);
    pFifo->SetDefaultCmd("default", 4);
    pFifo->Start();
    return pFifo;
}

// Exit after the listener and the console have started: the listener is
// stopped and joined, the console thread woken and joined, and the process
// ends at once without waiting for sessions.
[[noreturn]] void ExitAfterStart(CDebugFifo *pFifo)
{
    g_cSshSvr.Shutdown();
    delete pFifo;
    fflush(stdout);
    fflush(stderr);
    _exit(255);
}

// Reads the inotify events that are there, if any, and reloads the
// credentials file for those about it.
void CheckCredentialChange(int s32InotifyFd, char *pEventBuf, size_t u64BufSize,
                           TCredentials &tCred)
{
    // A zero-timeout poll: the check never blocks. (poll rather than select:
    // with the raised descriptor limit the number may be past FD_SETSIZE.)
    struct pollfd stPoll = {s32InotifyFd, POLLIN, 0};
    if (poll(&stPoll, 1, 0) <= 0) {
        return;
    }
    ssize_t s64Len = read(s32InotifyFd, pEventBuf, u64BufSize - 1);
    if (s64Len < 0) {
        LOG_ERROR("Read error.");
        return;
    }
    HandleConfigEvents(pEventBuf, static_cast<size_t>(s64Len), g_szCredentialsFile, tCred,
                       g_cSshSvr);
}

// The inotify watch on the credentials file's directory; returns its
// descriptor. Without an inotify instance the process ends (status 255).
// A watch that cannot be set leaves the service running without reloads.
// In the "public" mode the file, read long before, is read once more now
// that changes are seen.
int WatchCredentials(bool bPublic, CDebugFifo *pFifo, TCredentials &tCred)
{
    int s32InotifyFd = inotify_init();
    if (s32InotifyFd < 0) {
        LOG_ERROR("inotify_init failed");
        ExitAfterStart(pFifo);
    }
    if (inotify_add_watch(s32InotifyFd, g_szConfigDir, CONFIG_WATCH_MASK) < 0) {
        LOG_ERROR("inotify_add_watch path failed");
    } else if (bPublic) {
        ReloadChangedBeforeWatch(g_szCredentialsFile, tCred, g_cSshSvr);
    }
    return s32InotifyFd;
}

// The main thread's work for the rest of the process, once a second:
// - the listener's reaping: a session whose thread has ended is joined and
//   deleted ("erase svrchn key:N" within a second of its end; a session
//   still running after its registry entry went is a WARN line each pass),
//   and the log quota's summary lines, due once a minute, are written;
// - in the "public" mode, the inotify events read without waiting and the
//   credentials reloaded, so a change counts within about a second.
// The one-second sleep is the only place the loop blocks.
[[noreturn]] void Supervise(bool bPublic, int s32InotifyFd, TCredentials &tCred)
{
    char acEventBuf[1024];
    memset(acEventBuf, 0, sizeof(acEventBuf));
    for (;;) {
        g_cSshSvr.CleanSvrChn();
        sleep(1);
        if (bPublic) {
            CheckCredentialChange(s32InotifyFd, acEventBuf, sizeof(acEventBuf), tCred);
        }
    }
}

}  // namespace

int SshApiMain(int argc, char **argv)
{
    PrepareProcess();
    TStartOptions tOpt;
    int s32Status = ParseOptions(argc, argv, tOpt);
    if (s32Status != 0) {
        return s32Status;
    }
    SetUpThreadsAndLog(tOpt);
    if (tOpt.strPasswordMode == "private") {
        return -1;  // refused, without a line
    }
    const bool bPublic = tOpt.strPasswordMode == "public";
    TCredentials tCred;
    AddCommandLineUser(tOpt, tCred.mapCmdLine);
    UserInfoMap userCredentials =
        LoadStartCredentials(tOpt.strPasswordMode, g_szCredentialsFile, tCred);
    if (CheckListenSettings(argv[0], tOpt) != 0) {
        return -1;
    }
    WaitForSshEnabled(bPublic, tOpt.strPort);
    if (CheckTelnetAndKeys(argv[0], tOpt) != 0) {
        return -1;
    }
    LogSettings(tOpt);
    if (StartListener(argv[0], tOpt, userCredentials) != 0) {
        return -1;
    }
    // A fixed pause, not a wait for the listener: in it the listener thread
    // normally makes its first bind, so its "listening on" or "listne fail"
    // line comes before the console pipes appear, which operators and the
    // end-to-end tests take as the listener start being behind. The
    // credentials watch comes after the console; a change of the file
    // before it is caught by the re-read that follows the watch.
    sleep(2);
    CDebugFifo *pFifo = StartConsole(tOpt.strPort);
    int s32InotifyFd = WatchCredentials(bPublic, pFifo, tCred);
    Supervise(bPublic, s32InotifyFd, tCred);
}

#ifndef SSHAPI_UNIT_TEST
int main(int argc, char **argv)
{
    return SshApiMain(argc, argv);
}
#endif
