// Reads a sample configuration file the way the service reads the live one
// and prints what the service would take from it; for the install test.
//   examples_probe param FILE        one parameter-file pass (may write defaults)
//   examples_probe credentials FILE  the users the file admits
#include "main.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s param|credentials FILE\n", argv[0]);
        return 2;
    }
    if (strcmp(argv[1], "param") == 0) {
        std::string strPort;
        int s32Available = CheckParamFilePass(argv[2], strPort);
        printf("ssh_available=%d\nsshapi_port=%s\n", s32Available, strPort.c_str());
        return 0;
    }
    if (strcmp(argv[1], "credentials") == 0) {
        std::string strText;
        if (ReadFileToString(argv[2], strText) < 0) {
            fprintf(stderr, "cannot read %s\n", argv[2]);
            return 1;
        }
        UserInfoMap mapUsers;
        ParseUserCredentials(strText, mapUsers);
        for (const auto &tEntry : mapUsers) {
            printf("user=%s digest_ok=%d\n", tEntry.first.c_str(),
                   IsStoredDigest(tEntry.second) ? 1 : 0);
        }
        return 0;
    }
    fprintf(stderr, "unknown kind %s\n", argv[1]);
    return 2;
}
