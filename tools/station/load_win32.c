#include <windows.h>

#include "tools/station/station.h"

const char* station_default_library(void) { return "tunerlib.dll"; }

void* station_load(const char* name) { return (void*)LoadLibraryA(name); }

void* station_symbol(void* lib, const char* name) { return (void*)GetProcAddress((HMODULE)lib, name); }
