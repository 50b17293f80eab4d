// Windows: the console shows no progress line; the run's text is unchanged.
#include "platform/platform.h"

bool plat_progress_start() { return false; }

void plat_progress_draw(const char*) {}

void plat_progress_clear() {}
