// No exception may leave a C export: a station application must never be
// ended by the library. The library's own code raises nothing but
// std::bad_alloc (a port name, the port lists, the probe's slots); the
// exports that allocate run their body through ExportCall, which logs the
// failure and gives -1 in its place.
#pragma once
#include <new>

#include "tunerlib/log.h"

constexpr int RESULT_EXPORT_FAILED = -1;

template <typename Body>
int ExportCall(const wchar_t* pszExport, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        TunerLog(L"%s: out of memory\n", pszExport);
    } catch (...) {
        TunerLog(L"%s: failed\n", pszExport);
    }
    return RESULT_EXPORT_FAILED;
}
