#include "batch/config.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "commands/cmd_util.h"
#include "common/file.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/platform.h"

int32_t image_count = 0;

namespace {

const char* const MSG_OPEN_FAILS = "open %s fails!\n";
const char* const MSG_READ_FAILS = "reading %s failed\n";
const char* const MSG_TOO_LONG = "%s: \"%s\" of %u characters is too long, at most %u are accepted\n";
const char* const MSG_BASE_TOO_LONG =
    "%s: the folder of the job file is longer than %u characters, refused\n";
const char* const MSG_FOLDER_TOO_LONG =
    "%s: the image folder %.*s%c%s is longer than %u characters, refused\n";
const char* const MSG_TOO_MANY = "%s: \"file\" names %d images, at most %d are accepted\n";

const char* const KEY_ROOT = "quarryconfig";
const char* const KEY_PORT = "port";
const char* const KEY_BAUD = "baud";
const char* const KEY_APPIMAGE = "appimage";
const char* const KEY_RELATIVEPATH = "relativepath";
const char* const KEY_FILE = "file";
const char* const KEY_NAME = "name";
const char* const KEY_ADDRESS = "address";
const char* const KEY_ENABLE = "enable";

struct json_deleter {
    void operator()(cJSON* doc) const { cJSON_Delete(doc); }
};

// The whole file as a terminated text; empty pointer after a message.
std::unique_ptr<char[]> read_text(const char* path) {
    // A FIFO or a device would hold the run forever or yield endless bytes.
    if (plat_path_kind(path) == plat_file_kind::other) {
        con_err(MSG_NOT_REGULAR, path);
        return nullptr;
    }
    file_ptr f(std::fopen(path, "rb"));
    if (!f) {
        con_err(MSG_OPEN_FAILS, path);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
    if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) {
        con_err(MSG_READ_FAILS, path);
        return nullptr;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
    if (!text || std::fread(text.get(), 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size)) {
        con_err(MSG_READ_FAILS, path);
        return nullptr;
    }
    text[static_cast<size_t>(size)] = '\0';
    return text;
}

// The string of member `key`, or nullptr when absent or no string.
const char* member_string(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// Copies a member's text into its buffer; false after a message when it
// does not fit.
bool copy_member(const char* path, char* dest, size_t cap, const char* text) {
    if (text_copy(dest, cap, text)) return true;
    con_err(MSG_TOO_LONG, path, text, static_cast<unsigned>(std::strlen(text)),
            static_cast<unsigned>(cap - 1));
    return false;
}

// "enable": true 1, false 0, a number its integer part, another type 0,
// absent 1.
int32_t enable_value(const cJSON* entry) {
    const cJSON* item = cJSON_GetObjectItem(entry, KEY_ENABLE);
    if (item == nullptr) return 1;
    if (cJSON_IsTrue(item)) return 1;
    if (cJSON_IsNumber(item)) return item->valueint;
    return 0;
}

// The images' folder: the relative path behind the job file's own folder,
// or the relative path alone when the job file's path names no folder.
bool set_folder(const char* path, const char* relative, tool_config* config) {
    const char sep = plat_path_separator();
    const char* last = plat_last_separator(path);
    if (last == nullptr) return copy_member(path, config->folder, sizeof config->folder, relative);
    const size_t base = static_cast<size_t>(last - path);
    if (base > CONFIG_BASE_MAX) {
        con_err(MSG_BASE_TOO_LONG, path, CONFIG_BASE_MAX);
        return false;
    }
    const int n = std::snprintf(config->folder, sizeof config->folder, "%.*s%c%s",
                                static_cast<int>(base), path, sep, relative);
    if (n < 0 || static_cast<size_t>(n) >= sizeof config->folder) {
        config->folder[0] = '\0';
        con_err(MSG_FOLDER_TOO_LONG, path, static_cast<int>(base), path, sep, relative, CONFIG_FOLDER_BYTES - 1);
        return false;
    }
    return true;
}

bool load_document(const char* path, const cJSON* root, tool_config* config) {
    const cJSON* top = cJSON_GetObjectItem(root, KEY_ROOT);
    if (top == nullptr) return false;
    const char* port = member_string(top, KEY_PORT);
    const char* baud = member_string(top, KEY_BAUD);
    if (port == nullptr || baud == nullptr) return false;
    if (!copy_member(path, config->port, sizeof config->port, port) ||
        !copy_member(path, config->baud, sizeof config->baud, baud))
        return false;
    const cJSON* appimage = cJSON_GetObjectItem(top, KEY_APPIMAGE);
    if (appimage == nullptr) return false;
    const char* relative = member_string(appimage, KEY_RELATIVEPATH);
    if (relative == nullptr || !set_folder(path, relative, config)) return false;
    const cJSON* files = cJSON_GetObjectItem(appimage, KEY_FILE);
    if (files == nullptr) return false;
    const int count = cJSON_GetArraySize(files);
    if (count > CONFIG_ENTRIES) {
        con_err(MSG_TOO_MANY, path, count, CONFIG_ENTRIES);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const cJSON* entry = cJSON_GetArrayItem(files, i);
        if (entry == nullptr) continue;
        const char* address = member_string(entry, KEY_ADDRESS);
        const char* name = member_string(entry, KEY_NAME);
        if (address == nullptr || name == nullptr) return false;
        config_entry& e = config->entries[i];
        if (!copy_member(path, e.name, sizeof e.name, name) ||
            !copy_member(path, e.address, sizeof e.address, address))
            return false;
        e.enable = enable_value(entry);
    }
    return true;
}

void reset_entries(tool_config* config) {
    for (config_entry& e : config->entries) {
        std::memset(&e, 0, sizeof e);
        text_copy(e.name, IMAGE_UNUSED);
        e.enable = 1;
    }
}

}  // namespace

tool_config* tool_config_create() {
    tool_config* config = new (std::nothrow) tool_config();
    if (config == nullptr) return nullptr;
    reset_entries(config);
    return config;
}

void tool_config_release(tool_config* config) { delete config; }

bool config_load(const char* path, tool_config* config) {
    // A second job file starts from empty entries: entries of the first that
    // it does not name must not reappear behind its own, in its folder.
    reset_entries(config);
    std::unique_ptr<char[]> text = read_text(path);
    if (!text) return false;
    std::unique_ptr<cJSON, json_deleter> doc(cJSON_Parse(text.get()));
    if (!doc) return false;
    return load_document(path, doc.get(), config);
}

void config_apply_port(batch_options* options, const tool_config* config) {
    std::memcpy(options->port, config->port, sizeof options->port);
    std::memcpy(options->baud, config->baud, sizeof options->baud);
}

void config_apply(batch_options* options, const tool_config* config) {
    config_apply_port(options, config);
    for (const config_entry& e : config->entries) {
        if (image_count >= IMAGE_SLOTS) break;
        image_slot& slot = options->images[image_count];
        std::memcpy(slot.folder, config->folder, sizeof slot.folder);
        std::memcpy(slot.file, e.name, sizeof slot.file);
        std::memcpy(slot.address, e.address, sizeof slot.address);
        slot.enable = e.enable;
        ++image_count;
    }
}
