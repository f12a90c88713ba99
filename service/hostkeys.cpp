#include "hostkeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libssh/libssh.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "svclog.h"

namespace
{

struct TKeyKind
{
    const char *szName;  // as ssh-keygen -l names it
    enum ssh_keytypes_e eType;
    int s32Bits;  // RSA only; the curve is in the type
};

const TKeyKind KEY_KINDS[] = {
    {"RSA", SSH_KEYTYPE_RSA, 3072},
    {"ECDSA", SSH_KEYTYPE_ECDSA_P256, 0},
    {"ED25519", SSH_KEYTYPE_ED25519, 0},
};

std::string DirOf(const std::string &strPath)
{
    size_t u64Slash = strPath.rfind('/');
    if (u64Slash == std::string::npos) {
        return ".";
    }
    return u64Slash == 0 ? "/" : strPath.substr(0, u64Slash);
}

// Logs why strPath was not made; always -1.
int NotMade(const std::string &strPath, const std::string &strStep, int s32Errno)
{
    LOG_ERROR("host key %s not made: %s: %s", strPath.c_str(), strStep.c_str(), strerror(s32Errno));
    return -1;
}

bool WriteAll(int s32Fd, const std::string &strText)
{
    size_t u64Done = 0;
    while (u64Done < strText.size()) {
        ssize_t s64Len = write(s32Fd, strText.data() + u64Done, strText.size() - u64Done);
        if (s64Len < 0 && errno != EINTR) {
            return false;
        }
        u64Done += s64Len > 0 ? static_cast<size_t>(s64Len) : 0;
    }
    return true;
}

// The key's SHA-256 fingerprint as ssh-keygen -l prints it, or "".
std::string Fingerprint(ssh_key pKey)
{
    unsigned char *pu8Hash = nullptr;
    size_t u64Len = 0;
    std::string strFp;
    if (ssh_get_publickey_hash(pKey, SSH_PUBLICKEY_HASH_SHA256, &pu8Hash, &u64Len) == SSH_OK) {
        char *szFp = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, pu8Hash, u64Len);
        if (szFp != nullptr) {
            strFp = szFp;
            ssh_string_free_char(szFp);
        }
        ssh_clean_pubkey_hash(&pu8Hash);
    }
    return strFp;
}

// Returns 1 when the key was made, 0 when a file was there, -1 on failure.
int CreateHostKey(const std::string &strPath, const TKeyKind &tKind)
{
    struct stat stInfo;
    if (lstat(strPath.c_str(), &stInfo) == 0) {
        return 0;  // whatever it is, it is not ours to replace
    }
    if (errno != ENOENT) {
        return NotMade(strPath, "cannot tell whether it exists", errno);
    }
    // A missing directory or a read-only file system is told before a key
    // is made for nothing (RSA takes a while on the device).
    const std::string strDir = DirOf(strPath);
    if (access(strDir.c_str(), W_OK) != 0) {
        return NotMade(strPath, "directory " + strDir, errno);
    }
    ssh_key pKey = nullptr;
    if (ssh_pki_generate(tKind.eType, tKind.s32Bits, &pKey) != SSH_OK) {
        LOG_ERROR("host key %s not made: %s key generation failed", strPath.c_str(), tKind.szName);
        return -1;
    }
    char *szText = nullptr;
    int s32Rc = -1;
    if (ssh_pki_export_privkey_base64(pKey, nullptr, nullptr, nullptr, &szText) != SSH_OK) {
        LOG_ERROR("host key %s not made: %s key export failed", strPath.c_str(), tKind.szName);
    } else {
        s32Rc = PlaceNewFile(strPath, szText);
        ssh_string_free_char(szText);
    }
    if (s32Rc == 1) {
        LOG_INFO("new %s host key %s, fingerprint %s", tKind.szName, strPath.c_str(),
                 Fingerprint(pKey).c_str());
    } else if (s32Rc == 0) {
        LOG_INFO("host key %s appeared meanwhile, kept", strPath.c_str());
    }
    ssh_key_free(pKey);
    return s32Rc;
}

}  // namespace

int PlaceNewFile(const std::string &strPath, const std::string &strText)
{
    const std::string strDir = DirOf(strPath);
    std::string strTemp = strPath + ".XXXXXX";
    // Created exclusively with mode 0600 under a name nobody else uses.
    int s32Fd = mkostemp(&strTemp[0], O_CLOEXEC);
    if (s32Fd < 0) {
        return NotMade(strPath, "cannot create a file in " + strDir, errno);
    }
    // mkostemp's 0600 is narrowed by the umask; a key must still be
    // readable by its owner.
    bool bWritten = fchmod(s32Fd, 0600) == 0 && WriteAll(s32Fd, strText) && fsync(s32Fd) == 0;
    int s32Errno = errno;
    if (close(s32Fd) != 0 && bWritten) {
        bWritten = false;
        s32Errno = errno;
    }
    int s32Rc = 1;
    if (!bWritten) {
        s32Rc = NotMade(strPath, "cannot write " + strTemp, s32Errno);
    } else if (link(strTemp.c_str(), strPath.c_str()) != 0) {
        // link never replaces: a file that appeared since the check (a
        // second instance starting at the same time) is the one kept.
        s32Rc = errno == EEXIST ? 0 : NotMade(strPath, "cannot link " + strTemp + " to it", errno);
    }
    unlink(strTemp.c_str());
    if (s32Rc == 1) {
        int s32DirFd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (s32DirFd < 0 || fsync(s32DirFd) != 0) {
            LOG_ERROR("host key %s made, but directory %s not flushed: %s", strPath.c_str(),
                      strDir.c_str(), strerror(errno));
        }
        if (s32DirFd >= 0) {
            close(s32DirFd);
        }
    }
    return s32Rc;
}

int CreateMissingHostKeys(const std::string &strRsa, const std::string &strEcdsa,
                          const std::string &strEd25519)
{
    const std::string *apPaths[] = {&strRsa, &strEcdsa, &strEd25519};
    int s32Made = 0;
    bool bFailed = false;
    for (size_t i = 0; i < sizeof(KEY_KINDS) / sizeof(KEY_KINDS[0]); ++i) {
        if (apPaths[i]->empty()) {
            continue;
        }
        int s32Rc = CreateHostKey(*apPaths[i], KEY_KINDS[i]);
        bFailed = bFailed || s32Rc < 0;
        s32Made += s32Rc > 0 ? 1 : 0;
    }
    return bFailed ? -1 : s32Made;
}
