// The machine's serial ports for the calibration library, listed like the
// registry's serial device map: from TUNERLIB_SERIAL_PORTS when it is set,
// else from the ttys in /sys/class/tty that have a device behind them.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/wide_text.h"

struct plat_port_list {
    std::vector<std::string> names;  // relative to /dev
};

namespace {

const char* const PORTS_VARIABLE = "TUNERLIB_SERIAL_PORTS";
const char* const TTY_CLASS = "/sys/class/tty";
constexpr uint32_t VALUE_TYPE_STRING = 1;  // REG_SZ
constexpr int32_t NO_MORE_ITEMS = ENOENT;
constexpr int32_t MORE_DATA = ENAMETOOLONG;

std::vector<std::string> split_names(const char* text) {
    std::vector<std::string> names;
    std::string name;
    for (const char* p = text;; ++p) {
        if (*p == ':' || *p == '\0') {
            if (!name.empty()) names.push_back(name);
            name.clear();
            if (*p == '\0') break;
        } else {
            name += *p;
        }
    }
    return names;
}

// ttyS2 before ttyS10: runs of digits compare by their value.
bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string da = a.substr(i, ie - i), db = b.substr(j, je - j);
            const size_t za = da.find_first_not_of('0'), zb = db.find_first_not_of('0');
            const std::string va = za == std::string::npos ? "" : da.substr(za);
            const std::string vb = zb == std::string::npos ? "" : db.substr(zb);
            if (va.size() != vb.size()) return va.size() < vb.size();
            if (va != vb) return va < vb;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

int32_t sysfs_names(std::vector<std::string>& names) {
    DIR* dir = opendir(TTY_CLASS);
    if (dir == nullptr) return errno != 0 ? errno : ENOENT;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string device = std::string(TTY_CLASS) + "/" + e->d_name + "/device";
        struct stat st;
        if (stat(device.c_str(), &st) == 0) names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), natural_less);
    return 0;
}

// Copies a wide string with its terminator into `cap` units; false when it
// does not fit.
template <typename Unit>
bool copy_out(const std::wstring& text, Unit* dest, uint32_t cap_units, uint32_t* stored) {
    if (text.size() + 1 > cap_units) return false;
    std::copy(text.begin(), text.end(), dest);
    dest[text.size()] = 0;
    *stored = static_cast<uint32_t>(text.size());
    return true;
}

}  // namespace

int32_t plat_port_list_open(plat_port_list** list) {
    *list = nullptr;
    auto* l = new plat_port_list;
    if (const char* env = std::getenv(PORTS_VARIABLE)) {
        l->names = split_names(env);
    } else if (const int32_t r = sysfs_names(l->names)) {
        delete l;
        return r;
    }
    *list = l;
    return 0;
}

int32_t plat_port_list_info(plat_port_list* list, uint32_t* subkeys, uint32_t* values) {
    if (list == nullptr) return EBADF;
    *subkeys = 0;
    *values = static_cast<uint32_t>(list->names.size());
    return 0;
}

int32_t plat_port_list_value(plat_port_list* list, uint32_t index, wchar_t* name,
                             uint32_t* name_chars, uint32_t* type, uint8_t* data,
                             uint32_t* data_bytes) {
    if (list == nullptr) return EBADF;
    if (index >= list->names.size()) return NO_MORE_ITEMS;
    std::wstring port;
    if (!posix_wide(list->names[index], port)) return EILSEQ;
    const std::wstring value_name = L"/dev/" + port;
    uint32_t stored = 0;
    if (!copy_out(value_name, name, *name_chars, &stored)) return MORE_DATA;
    *name_chars = stored;
    // The data is a wide string, its terminator included, as the registry
    // stores a string value.
    const uint32_t data_chars = *data_bytes / sizeof(wchar_t);
    std::wstring copy(port);
    if (copy.size() + 1 > data_chars) return MORE_DATA;
    std::memcpy(data, copy.c_str(), (copy.size() + 1) * sizeof(wchar_t));
    *data_bytes = static_cast<uint32_t>((copy.size() + 1) * sizeof(wchar_t));
    *type = VALUE_TYPE_STRING;
    return 0;
}

void plat_port_list_close(plat_port_list* list) { delete list; }
