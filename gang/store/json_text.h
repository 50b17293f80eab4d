// A cJSON document as one line of text, as the station stores and serves it.
#pragma once
#include <string>

struct cJSON;

// The document printed without white space; "{}" when it cannot be printed.
std::string json_text(const cJSON* json);
