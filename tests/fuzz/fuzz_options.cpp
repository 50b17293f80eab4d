// The command line: words of the fuzz input (separated by zero bytes) as the
// arguments behind the program name, through the options, their checks, the
// job file and packed image readers and the script builder, with the script
// runner replaced by a recorder. The first input byte picks the one script
// line (by its position in the run) that fails: a run whose failed line is
// not cured by a retry never ends with 0. The shell that -i starts reads an
// empty standard input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "batch/config.h"
#include "batch/options.h"
#include "batch/script.h"
#include "fake_platform.h"
#include "link/env.h"

namespace {

constexpr size_t MAX_WORDS = 64;

int failing_call = -1;  // the call of the recorder that fails
int calls = 0;
bool uncured_failure = false;
std::string failed_line;

int32_t recorder(const char* line) {
    const int call = calls++;
    if (call == failing_call) {
        failed_line = line;
        // Verifies and merges are retried: a single failure is cured.
        if (std::strncmp(line, "flashverify", 11) != 0 && std::strncmp(line, "configmerge", 11) != 0)
            uncured_failure = true;
        return 5;
    }
    return 0;
}

// Files are named by their last path component only: the run reads and
// writes inside the target's own folder, never anywhere else.
std::string confined(const std::string& word) {
    const size_t slash = word.find_last_of('/');
    return slash == std::string::npos ? word : word.substr(slash + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-options");
    setenv("TMPDIR", ".", 1);  // the packed image's temporary folder
    if (std::freopen("/dev/null", "r", stdin) == nullptr) std::abort();
    script_exec_line = recorder;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    failing_call = data[0] == 0xFF ? -1 : data[0];
    calls = 0;
    uncured_failure = false;
    std::vector<std::string> words = {"flint"};
    std::string word;
    for (size_t i = 1; i < size && words.size() < MAX_WORDS; ++i) {
        if (data[i] == 0) {
            words.push_back(confined(word));
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty() && words.size() < MAX_WORDS) words.push_back(confined(word));
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    batch_records records{};
    if (!batch_records_create(&records, "flint")) std::abort();
    image_count = 0;
    const int32_t result = options_run(static_cast<int>(words.size()), argv.data(), &records);
    options_end_run(&records);
    batch_records_release(&records);
    if (uncured_failure && result == 0) std::abort();
    std::rewind(stdin);
    env_clear();
    image_count = 0;
    return 0;
}
