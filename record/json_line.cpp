#include "record/json_line.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

// Days since 1970-01-01 to year, month, day (proleptic Gregorian calendar).
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

constexpr int64_t MS_PER_DAY = 86400000;

}  // namespace

int64_t record_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string record_time_text(int64_t ms) {
    const int64_t days = (ms >= 0 ? ms : ms - (MS_PER_DAY - 1)) / MS_PER_DAY;
    const int64_t in_day = ms - days * MS_PER_DAY;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", static_cast<long long>(y), m, d,
                  static_cast<unsigned>(in_day / 3600000), static_cast<unsigned>(in_day / 60000 % 60),
                  static_cast<unsigned>(in_day / 1000 % 60), static_cast<unsigned>(in_day % 1000));
    return text;
}

void json_add_text(cJSON* o, const char* name, const char* text) {
    if (text == nullptr)
        cJSON_AddNullToObject(o, name);
    else
        cJSON_AddStringToObject(o, name, text);
}

void json_add_text(cJSON* o, const char* name, const std::string& text) { cJSON_AddStringToObject(o, name, text.c_str()); }

void json_add_hex(cJSON* o, const char* name, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    cJSON_AddStringToObject(o, name, text);
}

bool json_write_line(plat_sink* sink, const cJSON* o) {
    char* text = cJSON_PrintUnformatted(o);
    if (text == nullptr) return false;
    std::string line(text);
    cJSON_free(text);
    line += '\n';
    return plat_sink_write(sink, line.data(), line.size());
}
