#include "gang/station_options.h"

#include "gang/store/station_store.h"

namespace {

struct option_entry {
    const char* name;
    unsigned bit;
    std::string station_options::*value;  // nullptr: a flag
};

const option_entry OPTIONS[] = {
    {"--db", OPT_DB, &station_options::db_url},
    {"--pool", OPT_POOL, &station_options::pool},
    {"--station", OPT_STATION, &station_options::station},
    {"--since", OPT_SINCE, &station_options::since},
    {"--csv", OPT_CSV, nullptr},
};

const option_entry* find_option(const std::string& word, unsigned allowed, std::string* inline_value, bool* has) {
    for (const option_entry& o : OPTIONS) {
        const std::string name = o.name;
        if (!(allowed & o.bit)) continue;
        if (word == name) return *has = false, &o;
        if (o.value != nullptr && word.compare(0, name.size() + 1, name + "=") == 0) {
            *inline_value = word.substr(name.size() + 1);
            *has = true;
            return &o;
        }
    }
    return nullptr;
}

}  // namespace

std::string station_take_options(std::vector<std::string>* words, unsigned allowed, station_options* out) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < words->size(); ++i) {
        std::string value;
        bool inline_value = false;
        const option_entry* o = find_option((*words)[i], allowed, &value, &inline_value);
        if (o == nullptr) {
            rest.push_back((*words)[i]);
            continue;
        }
        if (o->value == nullptr) {
            out->csv = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= words->size()) return std::string("flint-gang: ") + o->name + " needs a value\n";
            value = (*words)[++i];
        }
        if (value.empty()) return std::string("flint-gang: ") + o->name + " needs a value\n";
        out->*(o->value) = value;
    }
    *words = rest;
    if (out->db_url.empty()) out->db_url = STORE_DEFAULT_URL;
    return "";
}
