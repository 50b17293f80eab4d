// The command line: words of the fuzz input (separated by zero bytes) as the
// arguments behind the program name, through options_run. The shell that -i
// starts reads an empty standard input.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "batch/options.h"
#include "fake_platform.h"
#include "link/env.h"

namespace {

constexpr size_t MAX_WORDS = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-options");
    if (std::freopen("/dev/null", "r", stdin) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = {"flint"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < MAX_WORDS; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty() && words.size() < MAX_WORDS) words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int32_t result = options_run(static_cast<int>(words.size()), argv.data());
    // Nothing is programmed in this build: a run ends in help, version, the
    // shell (0) or a refusal (-1).
    if (result != 0 && result != -1) std::abort();
    std::rewind(stdin);
    env_clear();
    return 0;
}
