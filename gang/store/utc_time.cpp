#include "gang/store/utc_time.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr int64_t MS_PER_DAY = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

// `count` digits at `at`, advancing it; -1 when they are not all there.
int digits(const std::string& text, size_t* at, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i, ++*at) {
        if (*at >= text.size() || text[*at] < '0' || text[*at] > '9') return -1;
        value = value * 10 + (text[*at] - '0');
    }
    return value;
}

bool take(const std::string& text, size_t* at, const char* any_of) {
    if (*at >= text.size()) return false;
    for (const char* c = any_of; *c != '\0'; ++c)
        if (text[*at] == *c) return ++*at, true;
    return false;
}

}  // namespace

int64_t utc_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string utc_text(int64_t ms) {
    const int64_t days = (ms >= 0 ? ms : ms - MS_PER_DAY + 1) / MS_PER_DAY;
    const int64_t in_day = ms - days * MS_PER_DAY;
    int y = 0, m = 0, d = 0;
    civil_from_days(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d,
                  static_cast<int>(in_day / 3600000), static_cast<int>(in_day / 60000 % 60),
                  static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
    return text;
}

bool utc_parse(const std::string& text, int64_t* ms) {
    size_t at = 0;
    const int y = digits(text, &at, 4);
    const bool date = y >= 0 && take(text, &at, "-");
    const int mo = date ? digits(text, &at, 2) : -1;
    const int d = mo >= 0 && take(text, &at, "-") ? digits(text, &at, 2) : -1;
    if (d < 1 || d > 31 || mo < 1 || mo > 12) return false;
    int h = 0, mi = 0, s = 0, milli = 0;
    if (take(text, &at, "T ")) {
        h = digits(text, &at, 2);
        mi = take(text, &at, ":") ? digits(text, &at, 2) : -1;
        if (mi >= 0 && take(text, &at, ":")) s = digits(text, &at, 2);
        if (s >= 0 && take(text, &at, ".")) milli = digits(text, &at, 3);
        if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || milli < 0) return false;
    }
    take(text, &at, "Z");
    if (at != text.size()) return false;
    *ms = days_from_civil(y, mo, d) * MS_PER_DAY + ((h * 60 + mi) * 60 + s) * 1000 + milli;
    return true;
}
