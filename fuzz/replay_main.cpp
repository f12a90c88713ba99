// Runs a fuzz target's entry point once per input file, without libFuzzer:
// this is how the plain build replays the seeds and every input that once
// broke a target. Arguments are files or directories (their regular files,
// in name order); an input that breaks a property aborts the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *pArgc, char ***pArgv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> vecFiles;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i])) {
            vecFiles.emplace_back(argv[i]);
            continue;
        }
        for (const fs::directory_entry &cEntry : fs::directory_iterator(argv[i])) {
            if (cEntry.is_regular_file()) {
                vecFiles.push_back(cEntry.path());
            }
        }
    }
    std::sort(vecFiles.begin(), vecFiles.end());
    for (const fs::path &cFile : vecFiles) {
        std::ifstream cIn(cFile, std::ios::binary);
        if (!cIn) {
            fprintf(stderr, "replay: cannot read %s\n", cFile.c_str());
            return 1;
        }
        const std::string strData((std::istreambuf_iterator<char>(cIn)),
                                  std::istreambuf_iterator<char>());
        fprintf(stderr, "replay: %s (%zu bytes)\n", cFile.c_str(), strData.size());
        // A heap copy of exactly the input's size, as libFuzzer passes it, so
        // that a sanitizer build sees any read past the end.
        std::unique_ptr<uint8_t[]> pExact(new uint8_t[strData.size()]);
        std::copy(strData.begin(), strData.end(), pExact.get());
        LLVMFuzzerTestOneInput(pExact.get(), strData.size());
    }
    fprintf(stderr, "replay: %zu inputs ran\n", vecFiles.size());
    return vecFiles.empty() ? 1 : 0;
}
