// Host keys made at start (--create-host-keys): a fresh device image has
// none, and without one the listener cannot serve. Each missing key file is
// made once; an existing one, usable or not, is never touched.
#ifndef SERVICE_HOSTKEYS_H
#define SERVICE_HOSTKEYS_H

#include <string>

// Makes the RSA (3072 bits), ECDSA (P-256) and Ed25519 keys whose paths are
// given (an empty path is skipped) and do not exist yet, and logs each new
// one with its SHA-256 fingerprint as ssh-keygen -l shows it. A key that
// cannot be made is an ERROR line naming the path and why; the others are
// still made. Returns the number made, or -1 when any could not be made.
int CreateMissingHostKeys(const std::string &strRsa, const std::string &strEcdsa,
                          const std::string &strEd25519);

// Puts strText at strPath as a new file of mode 0600, flushed to storage:
// written to a temporary file beside it, then linked into place, so that a
// file that appeared at strPath meanwhile is kept as it is. The temporary
// file is always removed. Returns 1 when placed, 0 when strPath existed, -1
// on failure (ERROR line).
int PlaceNewFile(const std::string &strPath, const std::string &strText);

#endif
