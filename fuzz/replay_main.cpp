// Runs a fuzz target's entry point once per input file, without libFuzzer:
// this is how the plain (GCC) build replays the seed corpus and every input
// that once crashed a target. Arguments are files or directories (every
// regular file in them, in name order). Exit status 0 when every input ran;
// an input that breaks a property aborts the process.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *pArgc, char ***pArgv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size);

namespace
{

void CollectInputs(const std::string &strPath, std::vector<std::string> &vecFiles)
{
    struct stat stInfo;
    if (stat(strPath.c_str(), &stInfo) != 0) {
        fprintf(stderr, "replay: cannot stat %s\n", strPath.c_str());
        return;
    }
    if (!S_ISDIR(stInfo.st_mode)) {
        vecFiles.push_back(strPath);
        return;
    }
    DIR *pDir = opendir(strPath.c_str());
    if (pDir == nullptr) {
        fprintf(stderr, "replay: cannot open %s\n", strPath.c_str());
        return;
    }
    std::vector<std::string> vecNames;
    for (struct dirent *pEnt = readdir(pDir); pEnt != nullptr; pEnt = readdir(pDir)) {
        std::string strName = pEnt->d_name;
        std::string strFull = strPath + "/" + strName;
        if (strName[0] != '.' && stat(strFull.c_str(), &stInfo) == 0 && S_ISREG(stInfo.st_mode)) {
            vecNames.push_back(strFull);
        }
    }
    closedir(pDir);
    std::sort(vecNames.begin(), vecNames.end());
    vecFiles.insert(vecFiles.end(), vecNames.begin(), vecNames.end());
}

}  // namespace

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> vecFiles;
    for (int i = 1; i < argc; ++i) {
        CollectInputs(argv[i], vecFiles);
    }
    if (vecFiles.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    for (const std::string &strFile : vecFiles) {
        std::ifstream cIn(strFile, std::ios::binary);
        std::vector<uint8_t> vecData((std::istreambuf_iterator<char>(cIn)),
                                     std::istreambuf_iterator<char>());
        fprintf(stderr, "replay: %s (%zu bytes)\n", strFile.c_str(), vecData.size());
        // A heap copy of exactly the input's size, as libFuzzer passes it,
        // so that a sanitizer build sees any read past the end.
        std::vector<uint8_t> vecExact(vecData);
        vecExact.shrink_to_fit();
        static const uint8_t s_u8None = 0;
        LLVMFuzzerTestOneInput(vecExact.empty() ? &s_u8None : vecExact.data(), vecExact.size());
    }
    fprintf(stderr, "replay: %zu inputs ran\n", vecFiles.size());
    return 0;
}
