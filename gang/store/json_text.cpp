#include "gang/store/json_text.h"

#include <cjson/cJSON.h>

std::string json_text(const cJSON* json) {
    char* text = cJSON_PrintUnformatted(json);
    std::string out = text != nullptr ? text : "{}";
    cJSON_free(text);
    return out;
}
