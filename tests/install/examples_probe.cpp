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
    std::string strText;
    if (argc == 3 && strcmp(argv[1], "param") == 0) {
        int s32Available = CheckParamFilePass(argv[2], strText);
        printf("ssh_available=%d\nsshapi_port=%s\n", s32Available, strText.c_str());
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "credentials") == 0 &&
        ReadFileToString(argv[2], strText) >= 0) {
        UserInfoMap mapUsers;
        ParseUserCredentials(strText, mapUsers);
        for (const auto &tEntry : mapUsers) {
            printf("user=%s digest_ok=%d\n", tEntry.first.c_str(),
                   IsStoredDigest(tEntry.second) ? 1 : 0);
        }
        return 0;
    }
    fprintf(stderr, "usage: %s param|credentials FILE (a readable one)\n", argv[0]);
    return 2;
}
