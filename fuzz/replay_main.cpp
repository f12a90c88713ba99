// Runs a fuzz target's entry point once per input file named on the command
// line, without libFuzzer: this is how the plain build replays the seeds and
// every input that once broke a target. An input that breaks a property
// aborts the process.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *pArgc, char ***pArgv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t u64Size);

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        std::ifstream cIn(argv[i], std::ios::binary);
        const std::string strData(std::istreambuf_iterator<char>(cIn), {});
        fprintf(stderr, "replay: %s (%zu bytes)\n", argv[i], strData.size());
        // A heap copy of exactly the input's size, as libFuzzer passes it, so
        // that a sanitizer build sees any read past the end.
        std::unique_ptr<uint8_t[]> pExact(new uint8_t[strData.size()]);
        strData.copy(reinterpret_cast<char *>(pExact.get()), strData.size());
        if (!cIn || LLVMFuzzerTestOneInput(pExact.get(), strData.size()) != 0) {
            return 1;
        }
    }
    return argc > 1 ? 0 : 1;
}
