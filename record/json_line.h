// The pieces the run record and the live events share: UTC time stamps and
// one JSON object written as one line.
#pragma once
#include <cjson/cJSON.h>

#include <cstdint>
#include <memory>
#include <string>

struct plat_sink;

struct json_deleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

// Milliseconds since 1970-01-01 UTC, and its text: "2026-12-10T15:58:49.123Z".
int64_t record_now_ms();
std::string record_time_text(int64_t ms);

// Milliseconds of a steady clock, for durations.
int64_t steady_ms();

// A string item, or null for nullptr.
void json_add_text(cJSON* o, const char* name, const char* text);
void json_add_text(cJSON* o, const char* name, const std::string& text);
// "0x802000" (upper-case digits).
void json_add_hex(cJSON* o, const char* name, uint32_t value);

// Writes `o` as one line ending in "\n" with one write; false when the
// sink refused it.
bool json_write_line(plat_sink* sink, const cJSON* o);
