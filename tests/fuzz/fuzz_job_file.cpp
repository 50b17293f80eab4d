// The job file: the fuzz input as a JSON job file, read into the tool
// configuration and applied to the options record. Every text the reader
// keeps fits its buffer, and no more images are applied than there are
// slots.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch/batch_options.h"
#include "batch/config.h"
#include "fake_platform.h"

namespace {

const char* const JOB_FILE = "job.json";

bool terminated(const char* text, size_t cap) { return std::memchr(text, '\0', cap) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-job");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(JOB_FILE, "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    tool_config* config = tool_config_create();
    batch_options* options = batch_options_create("flint");
    if (config == nullptr || options == nullptr) std::abort();
    image_count = 0;
    // Twice: a second job file's images go behind the first one's.
    for (int pass = 0; pass < 2; ++pass) {
        if (!config_load(JOB_FILE, config)) break;
        if (!terminated(config->port, sizeof config->port) || !terminated(config->baud, sizeof config->baud) ||
            !terminated(config->folder, sizeof config->folder))
            std::abort();
        for (const config_entry& e : config->entries)
            if (!terminated(e.name, sizeof e.name) || !terminated(e.address, sizeof e.address)) std::abort();
        config_apply(options, config);
        if (image_count < 0 || image_count > IMAGE_SLOTS) std::abort();
        if (!terminated(options->port, sizeof options->port) || !terminated(options->baud, sizeof options->baud))
            std::abort();
        for (const image_slot& s : options->images)
            if (!terminated(s.folder, sizeof s.folder) || !terminated(s.file, sizeof s.file) ||
                !terminated(s.address, sizeof s.address))
                std::abort();
    }
    batch_options_release(options);
    tool_config_release(config);
    image_count = 0;
    return 0;
}
