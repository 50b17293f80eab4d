// tunerlib's port list: a series of refreshes of the port map, each from a
// port list the fuzz input gives (the names TUNERLIB_SERIAL_PORTS lists,
// separated by ':'), each followed by a copy-out of the names.
//
// Input: the copy-out capacity (count), the name room (characters), then the
// port lists, one per line ('\n'); a NUL ends the input.
//
// After every refresh the map must be what the station expects from its
// port ids: every listed name that is text and fits the map's room, each
// once; names seen before keep their order and new ones come behind them;
// never more than 255. The copy-out gives the first names whole and
// terminated, or empty when the caller's room is too small, and never
// writes past the room given (each out buffer is exactly that size).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/posix/wide_text.h"
#include "tunerlib/calibrate_oper.h"

namespace {

constexpr size_t MAP_MAX = 255;
constexpr size_t REFRESHES_MAX = 16;

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t to = text.find(at, from);
        parts.push_back(text.substr(from, to == std::string::npos ? std::string::npos : to - from));
        if (to == std::string::npos) return parts;
        from = to + 1;
    }
}

// The names of one list as the map should take them, in list order.
std::vector<std::wstring> usable_names(const std::string& list) {
    std::vector<std::wstring> names;
    for (const std::string& n : split(list, ':')) {
        std::wstring w;
        if (n.empty() || !posix_wide(n, w) || w.size() >= PORT_NAME_CHARS) continue;
        if (std::find(names.begin(), names.end(), w) == names.end()) names.push_back(w);
    }
    return names;
}

// The map after one refresh: new names are taken while there is room (the
// ports that vanished still count until the refresh ends), then the names
// that are no longer listed leave.
void refresh_model(std::vector<std::wstring>& map, const std::vector<std::wstring>& listed) {
    for (const std::wstring& n : listed)
        if (std::find(map.begin(), map.end(), n) == map.end() && map.size() < MAP_MAX) map.push_back(n);
    map.erase(std::remove_if(map.begin(), map.end(),
                             [&](const std::wstring& n) {
                                 return std::find(listed.begin(), listed.end(), n) == listed.end();
                             }),
              map.end());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::quiet_tunerlib_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t capacity = data[0];
    const uint8_t room = data[1];
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> lists = split(text, '\n');
    if (lists.size() > REFRESHES_MAX) lists.resize(REFRESHES_MAX);

    CCalibrateOper oper;
    std::vector<std::wstring> model;
    for (const std::string& list : lists) {
        if (setenv("TUNERLIB_SERIAL_PORTS", list.c_str(), 1) != 0) std::abort();
        std::vector<std::unique_ptr<wchar_t[]>> out;
        std::vector<wchar_t*> ptrs;
        for (unsigned k = 0; k < capacity; ++k) {
            out.emplace_back(new wchar_t[room == 0 ? 1 : room]);
            std::fill_n(out.back().get(), room == 0 ? 1 : room, L'#');
            ptrs.push_back(out.back().get());
        }
        uint8_t count = capacity;
        if (oper.DetectAttachedPorts(&count, ptrs.empty() ? nullptr : ptrs.data(), room) != 0) std::abort();
        refresh_model(model, usable_names(list));

        // The map.
        if (oper.m_bPortNum != model.size() || oper.m_PortMap.size() != model.size()) std::abort();
        size_t i = 0;
        for (const PortName& p : oper.m_PortMap)
            if (model[i++] != p.get()) std::abort();

        // The copy-out.
        if (capacity == 0 || room == 0) {
            if (count != capacity) std::abort();
            continue;
        }
        if (count != std::min<size_t>(capacity, model.size())) std::abort();
        for (unsigned k = 0; k < count; ++k) {
            const wchar_t* got = out[k].get();
            if (model[k].size() < room) {
                if (model[k] != got) std::abort();
            } else if (got[0] != L'\0') {
                std::abort();
            }
        }
    }
    return 0;
}
