// The job file (tool configuration): a JSON document naming the port, the
// baud rate, a folder and up to 15 images with their flash addresses.
// config_load reads it into tool_config; config_apply copies that into
// batch_options, behind the images of earlier job files.
#pragma once
#include <cstdint>

#include "batch/batch_options.h"

constexpr int32_t CONFIG_ENTRIES = 15;
constexpr uint32_t CONFIG_FOLDER_BYTES = IMAGE_FOLDER_BYTES;
// The part of the job file's path before its last separator.
constexpr uint32_t CONFIG_BASE_MAX = 511;

struct config_entry {
    char name[IMAGE_FILE_BYTES];        // IMAGE_UNUSED until the file fills it
    char address[IMAGE_ADDRESS_BYTES];
    int32_t enable;                     // 1 until the file sets it
};

struct tool_config {
    char port[BATCH_PORT_BYTES];
    char baud[BATCH_BAUD_BYTES];
    char folder[CONFIG_FOLDER_BYTES];
    config_entry entries[CONFIG_ENTRIES];
};

// Image slots of batch_options filled by config_apply so far.
extern int32_t image_count;

tool_config* tool_config_create();
void tool_config_release(tool_config* config);

// Reads the job file at `path` into `config`. False when it cannot be opened
// ("open %s fails!"), is no valid JSON or lacks a required member, or when a
// text does not fit its buffer or the file names more than 15 images (those
// two with a message of their own).
bool config_load(const char* path, tool_config* config);

// Port and baud into the options; the 15 entries into the image slots from
// image_count on, while slots are left.
void config_apply(batch_options* options, const tool_config* config);

// Port and baud only: what a job file gives a packed image run, whose images
// are the packed file's, all of them.
void config_apply_port(batch_options* options, const tool_config* config);
