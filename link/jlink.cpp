// Loading the J-Link probe library and resolving its entry points by name.
#include "link/jlink.h"

#include <string>

#include "platform/platform.h"
#include "platform/probe.h"
#include "platform/console.h"
#include "record/failure.h"

void* jlink_library = nullptr;
jlink_entry_points jlink = {};

namespace {

const char* const ERROR_BOX_TITLE = "J-Link ARM Error";
const char* const MSG_LIBRARY_MISSING = "Target DLL %s not found !";
const char* const MSG_LIBRARY_BROKEN = "Target DLL %s cannot be loaded: %s";
const char* const MSG_ENTRY_MISSING = "DLL function %s(...) not found !";
const char* const MSG_INSTALL_PATH_TOO_LONG =
    "the J-Link install path in the registry is longer than %u characters, not used\n";

const char* const ENTRY_NAMES[JLINK_ENTRY_COUNT] = {
#define JLINK_NAME(NAME, ID, RESULT, PARAMETERS) "JLINKARM_" #NAME,
    JLINK_ENTRY_POINTS(JLINK_NAME)
#undef JLINK_NAME
};

// The folder part of a path, up to and including its last separator (either
// kind: an install path may be written with '/' or '\\'); "" when it has none.
std::string folder_of(const std::string& path) {
    const size_t end = path.find_last_of("/\\");
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

void show_error(const char* fmt, const char* what) {
    std::string text(fmt);
    text.replace(text.find("%s"), 2, what);
    plat_error_box(ERROR_BOX_TITLE, text.c_str());
}

// A library file that is there but cannot be loaded (empty, cut short, not a
// library): the first one met is named when no library loads.
struct load_failure {
    std::string path;
    std::string why;
};

bool try_load(const std::string& path, load_failure& failure) {
    std::string why;
    jlink_library = plat_load_library(path.c_str(), &why);
    if (jlink_library == nullptr && !why.empty() && failure.path.empty()) failure = {path, why};
    return jlink_library != nullptr;
}

void show_load_failure(const load_failure& failure, const std::string& tried) {
    if (failure.path.empty()) return show_error(MSG_LIBRARY_MISSING, tried.c_str());
    std::string text(MSG_LIBRARY_BROKEN);
    text.replace(text.rfind("%s"), 2, failure.why);
    text.replace(text.find("%s"), 2, failure.path);
    plat_error_box(ERROR_BOX_TITLE, text.c_str());
}

// The program's own folder first, then the probe software's install folder.
bool load_library() {
    const char* name = plat_probe_library_name();
    load_failure failure;
    std::string tried = folder_of(plat_exe_path()) + name;
    if (try_load(tried, failure)) return true;

    std::string install;
    const int found = plat_probe_install_path(install);
    if (found == PLAT_PROBE_PATH_TOO_LONG) con_err(MSG_INSTALL_PATH_TOO_LONG, PLAT_PROBE_PATH_MAX - 1);
    if (found == PLAT_PROBE_PATH_FOUND) {
        // The folder part of the recorded path. An install path recorded
        // without a closing separator names the folder itself: that folder
        // is tried first, since its folder part alone would be its parent.
        std::string folders[2];
        const std::string part = folder_of(install);
        if (part.size() != install.size()) folders[0] = install + plat_path_separator();
        folders[1] = part;
        for (const std::string& folder : folders) {
            if (folder.empty()) continue;
            tried = folder + name;
            if (try_load(tried, failure)) return true;
        }
    }
    show_load_failure(failure, tried);
    return false;
}

template <typename F>
void fill(F& member, void* symbol) {
    member = reinterpret_cast<F>(symbol);
}

bool is_resolved(jlink_entry e) {
    switch (e) {
#define JLINK_RESOLVED(NAME, ID, RESULT, PARAMETERS) \
    case JLINK_##ID: return jlink.NAME != nullptr;
        JLINK_ENTRY_POINTS(JLINK_RESOLVED)
#undef JLINK_RESOLVED
        case JLINK_ENTRY_COUNT: break;
    }
    return false;
}

void assign(jlink_entry e, void* symbol) {
    switch (e) {
#define JLINK_ASSIGN(NAME, ID, RESULT, PARAMETERS) \
    case JLINK_##ID: fill(jlink.NAME, symbol); break;
        JLINK_ENTRY_POINTS(JLINK_ASSIGN)
#undef JLINK_ASSIGN
        case JLINK_ENTRY_COUNT: break;
    }
}

// The probe cannot be reached: the link to the module cannot be opened.
bool probe_unusable() {
    failure_note(failure_class::link);
    return false;
}

}  // namespace

const char* jlink_entry_name(jlink_entry entry) {
    return entry < JLINK_ENTRY_COUNT ? ENTRY_NAMES[entry] : "";
}

bool jlink_need(std::initializer_list<jlink_entry> entries) {
    for (jlink_entry e : entries) {
        if (is_resolved(e)) continue;
        if (jlink_library == nullptr && !load_library()) return probe_unusable();
        void* symbol = plat_library_symbol(jlink_library, ENTRY_NAMES[e]);
        if (symbol == nullptr) {
            show_error(MSG_ENTRY_MISSING, ENTRY_NAMES[e]);
            return probe_unusable();
        }
        assign(e, symbol);
        jlink_trace_wrap(e);
    }
    return true;
}

void jlink_forget() {
    jlink_library = nullptr;
    jlink = jlink_entry_points{};
}
