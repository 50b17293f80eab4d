#include <dlfcn.h>

#include "tools/station/station.h"

const char* station_default_library(void) { return "libtunerlib.so"; }

void* station_load(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* station_symbol(void* lib, const char* name) { return dlsym(lib, name); }
