/* Loading the library, the one thing a station does differently per system. */
#ifndef STATION_H
#define STATION_H

/* The library's file name when none is given ("libtunerlib.so", "tunerlib.dll"). */
const char* station_default_library(void);
/* dlopen / LoadLibraryA; NULL on failure. */
void* station_load(const char* name);
/* dlsym / GetProcAddress; NULL when the name is not exported. */
void* station_symbol(void* lib, const char* name);

#endif
