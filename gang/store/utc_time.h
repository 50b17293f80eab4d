// UTC times as the records write them ("2026-12-10T15:58:49.123Z"), and as
// milliseconds since 1970.
#pragma once
#include <cstdint>
#include <string>

int64_t utc_now_ms();
std::string utc_text(int64_t ms);

// Reads "YYYY-MM-DD", optionally followed by "THH:MM", ":SS", ".mmm" and "Z"
// (a space may stand for the T). false for anything else.
bool utc_parse(const std::string& text, int64_t* ms);
