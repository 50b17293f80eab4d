#include "batch/config.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

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
const char* const MSG_NOT_JSON = "%s: no valid JSON, the text goes wrong at line %d, column %d\n";
const char* const MSG_MISSING = "%s: \"%s\" is missing\n";
const char* const MSG_NOT_STRING = "%s: \"%s\" is no string\n";
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
    const bool named = plat_path_kind(path) != plat_file_kind::missing;
    file_ptr f(named ? std::fopen(path, "rb") : nullptr);
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

// Where a member stands in the document, for messages:
// "quarryconfig.appimage.file[2].name".
std::string member_place(const std::string& parent, const char* key) {
    return parent.empty() ? std::string(key) : parent + "." + key;
}

// Member `key` of `object`; nullptr after a message naming the file and the
// member's place when it is absent.
const cJSON* required_member(const char* path, const cJSON* object, const std::string& parent,
                             const char* key) {
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr) con_err(MSG_MISSING, path, member_place(parent, key).c_str());
    return item;
}

// The string of member `key`; nullptr after a message when it is absent or
// no string.
const char* member_string(const char* path, const cJSON* object, const std::string& parent,
                          const char* key) {
    const cJSON* item = required_member(path, object, parent, key);
    if (item == nullptr) return nullptr;
    if (cJSON_IsString(item)) return item->valuestring;
    con_err(MSG_NOT_STRING, path, member_place(parent, key).c_str());
    return nullptr;
}

// Line and column (from 1) of `at` in `text`.
void text_position(const char* text, const char* at, int* line, int* column) {
    *line = 1;
    *column = 1;
    for (const char* c = text; c < at && *c != '\0'; ++c) {
        if (*c == '\n') {
            ++*line;
            *column = 1;
        } else {
            ++*column;
        }
    }
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

// One image entry into entries[i]; false after a message.
bool load_entry(const char* path, const cJSON* entry, int i, tool_config* config) {
    const std::string place = std::string(KEY_ROOT) + "." + KEY_APPIMAGE + "." + KEY_FILE + "[" +
                              std::to_string(i) + "]";
    const char* address = member_string(path, entry, place, KEY_ADDRESS);
    const char* name = address != nullptr ? member_string(path, entry, place, KEY_NAME) : nullptr;
    if (name == nullptr) return false;
    config_entry& e = config->entries[i];
    if (!copy_member(path, e.name, sizeof e.name, name) || !copy_member(path, e.address, sizeof e.address, address))
        return false;
    e.enable = enable_value(entry);
    return true;
}

// "appimage": the folder and the image entries; false after a message.
bool load_images(const char* path, const cJSON* appimage, tool_config* config) {
    const std::string place = std::string(KEY_ROOT) + "." + KEY_APPIMAGE;
    const char* relative = member_string(path, appimage, place, KEY_RELATIVEPATH);
    if (relative == nullptr || !set_folder(path, relative, config)) return false;
    const cJSON* files = required_member(path, appimage, place, KEY_FILE);
    if (files == nullptr) return false;
    const int count = cJSON_GetArraySize(files);
    if (count > CONFIG_ENTRIES) {
        con_err(MSG_TOO_MANY, path, count, CONFIG_ENTRIES);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const cJSON* entry = cJSON_GetArrayItem(files, i);
        if (entry != nullptr && !load_entry(path, entry, i, config)) return false;
    }
    return true;
}

bool load_document(const char* path, const cJSON* root, tool_config* config) {
    const cJSON* top = required_member(path, root, "", KEY_ROOT);
    if (top == nullptr) return false;
    const char* port = member_string(path, top, KEY_ROOT, KEY_PORT);
    const char* baud = port != nullptr ? member_string(path, top, KEY_ROOT, KEY_BAUD) : nullptr;
    if (baud == nullptr) return false;
    if (!copy_member(path, config->port, sizeof config->port, port) ||
        !copy_member(path, config->baud, sizeof config->baud, baud))
        return false;
    const cJSON* appimage = required_member(path, top, KEY_ROOT, KEY_APPIMAGE);
    return appimage != nullptr && load_images(path, appimage, config);
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
    const char* error_at = nullptr;
    std::unique_ptr<cJSON, json_deleter> doc(cJSON_ParseWithOpts(text.get(), &error_at, false));
    if (!doc) {
        int line = 0;
        int column = 0;
        text_position(text.get(), error_at, &line, &column);
        con_err(MSG_NOT_JSON, path, line, column);
        return false;
    }
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
