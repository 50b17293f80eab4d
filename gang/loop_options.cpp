// The station's options, taken out of the command line by name (with the
// value in the next word or behind '=') before flint's option reader sees it.
#include "gang/loop_options.h"

#include <cstdio>

#include "gang/gang_options.h"

namespace {

const char* const OPT_LOOP = "--loop";
const char* const OPT_LABELS = "--labels";
const char* const OPT_HTTP = "--http";
const char* const OPT_TOKEN = "--http-token";

// The longest label and token.
constexpr size_t LABEL_MAX = 32;
constexpr size_t TOKEN_MAX = 200;

const char* const MSG_VALUE = "flint-gang: %s needs a value\n";
const char* const MSG_LABEL_COUNT = "flint-gang: --labels gives %zu labels for %zu ports: one per port is needed\n";
const char* const MSG_LABEL = "flint-gang: --labels: \"%s\" is empty, repeated or longer than 32 characters\n";
const char* const MSG_TOKEN = "flint-gang: --http-token: give 1 to 200 printable characters without spaces\n";
const char* const MSG_TOKEN_ALONE = "flint-gang: --http-token needs --http\n";
const char* const MSG_NEEDS_TOKEN =
    "flint-gang: --http %s serves the page beyond this machine: give --http-token TOKEN too\n";

std::string message(const char* fmt, const std::string& value) {
    char text[400];
    std::snprintf(text, sizeof text, fmt, value.substr(0, 200).c_str());
    return text;
}

// The value of option `name` at words[*i] ("--name VALUE" or "--name=VALUE"):
// 1 found (value in *value, *i on its last word), 0 not this option, -1 no value.
int take_value(const std::vector<std::string>& words, size_t* i, const char* name, std::string* value) {
    const std::string& w = words[*i];
    const std::string prefix = std::string(name) + "=";
    if (w.compare(0, prefix.size(), prefix) == 0) {
        *value = w.substr(prefix.size());
        return value->empty() ? -1 : 1;
    }
    if (w != name) return 0;
    if (*i + 1 >= words.size() || words[*i + 1].empty()) return -1;
    *value = words[++*i];
    return 1;
}

bool printable_word(const std::string& text) {
    for (char c : text)
        if (c <= ' ' || c > '~') return false;
    return true;
}

std::string check_labels(const std::vector<std::string>& labels) {
    for (size_t i = 0; i < labels.size(); ++i) {
        bool bad = labels[i].empty() || labels[i].size() > LABEL_MAX;
        for (size_t j = 0; j < i; ++j) bad = bad || labels[j] == labels[i];
        if (bad) return message(MSG_LABEL, labels[i]);
    }
    return "";
}

// One station option at words[*i]: 1 taken, 0 not one, or a refusal in *refused.
int take_one(const std::vector<std::string>& words, size_t* i, loop_options* out, std::string* refused) {
    if (words[*i] == OPT_LOOP) return out->loop = true, 1;
    std::string value;
    const char* names[] = {OPT_LABELS, OPT_HTTP, OPT_TOKEN};
    for (const char* name : names) {
        const int got = take_value(words, i, name, &value);
        if (got == 0) continue;
        if (got < 0) return *refused = message(MSG_VALUE, name), -1;
        if (name == OPT_LABELS) out->labels = gang_split(value), *refused = check_labels(out->labels);
        if (name == OPT_HTTP) out->http = true, *refused = web_read_address(value, &out->web);
        if (name == OPT_TOKEN)
            out->web.token = value, *refused = value.size() <= TOKEN_MAX && printable_word(value) ? "" : MSG_TOKEN;
        return refused->empty() ? 1 : -1;
    }
    return 0;
}

}  // namespace

std::string loop_take_options(std::vector<std::string>* words, loop_options* out) {
    *out = loop_options();
    std::vector<std::string> rest;
    for (size_t i = 0; i < words->size(); ++i) {
        std::string refused;
        const int got = take_one(*words, &i, out, &refused);
        if (got < 0) return refused;
        if (got == 0) rest.push_back((*words)[i]);
    }
    *words = rest;
    return "";
}

std::string loop_check_options(const loop_options& options, size_t ports) {
    if (!options.labels.empty() && options.labels.size() != ports) {
        char text[200];
        std::snprintf(text, sizeof text, MSG_LABEL_COUNT, options.labels.size(), ports);
        return text;
    }
    if (!options.web.token.empty() && !options.http) return MSG_TOKEN_ALONE;
    if (options.http && options.web.token.empty() && !web_is_loopback(options.web.host))
        return message(MSG_NEEDS_TOKEN, options.web.host);
    return "";
}
