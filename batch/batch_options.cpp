#include "batch/batch_options.h"

#include <new>

batch_options* batch_options_create(const char* program_path) {
    batch_options* options = new (std::nothrow) batch_options();
    if (options == nullptr) return nullptr;
    options->program_path = program_path;
    image_table_init(options->images);
    return options;
}

void batch_options_release(batch_options* options) { delete options; }
