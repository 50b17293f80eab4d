// flint-gang's command line. The words are read with flint's own option
// reader, so every value is found where flint will find it; the value of each
// -c (and -x) is then replaced by one port's (one address's) text, in place,
// and every other word is passed on unchanged.
#include "gang/gang_options.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "batch/option_reader.h"
#include "platform/platform.h"

const char* const GANG_USAGE =
    "flint-gang - programs several modules at once, one flint per port\n"
    "Usage: flint-gang -c PORT1,PORT2,... [--logs DIR] [flint options]\n"
    "   -c              com ports, comma-separated, e.g., -c COM6,COM7,COM8 (at most 64)\n"
    "   -x              BT addresses, comma-separated, one per port in the order of -c\n"
    "   --logs DIR      folder for the per-port logs (default: flint-gang-logs/DATE-TIME)\n"
    "   --db URL        station database: sqlite:PATH or postgresql://... (default: sqlite:flint-station.db;\n"
    "                   none keeps no records)\n"
    "   --pool NAME     device addresses from this pool instead of -x, one per port\n"
    "   --station NAME  the station's name in the records (default: the host name)\n"
    "   --loop          cycle after cycle: Enter (or Start on the page) starts the next, q or Ctrl-C ends\n"
    "   --labels L1,L2,...  a name per slot, in the order of -c (at most 32 characters each)\n"
    "   --http [ADDRESS:]PORT  serve the status page (127.0.0.1 unless an address is given; port 0: any)\n"
    "   --http-token TOKEN  every POST to the page must carry it (needed beyond 127.0.0.1)\n"
    "   -h              this help\n"
    "   -V              version\n"
    "Every other option goes to each flint unchanged (see flint -h); -i is refused.\n"
    "FLINT_TRACE set to a folder: one trace file per port in it.\n"
    "flint-gang pool create|show|release ... and flint-gang report ...: the pools and the yield report\n"
    "Exit code: 0 when every module passed, else the number that failed; 255 for a refused command line.\n";

namespace {

const char* const LOGS_OPTION = "--logs";

const char* const MSG_INTERACTIVE = "flint-gang: -i (the interactive shell) cannot run in a gang\n";
const char* const MSG_NO_PORTS = "flint-gang: give the ports with -c PORT1,PORT2,...\n";
const char* const MSG_EMPTY_PORT = "flint-gang: -c %s holds an empty port name\n";
const char* const MSG_REPEATED_PORT = "flint-gang: port %s is given twice\n";
const char* const MSG_TOO_MANY_PORTS = "flint-gang: %zu ports given, at most %zu can run in one gang\n";
const char* const MSG_ADDRESS_COUNT = "flint-gang: -x gives %zu addresses for %zu ports: one per port is needed\n";
const char* const MSG_EMPTY_ADDRESS = "flint-gang: -x %s holds an empty address\n";
const char* const MSG_REPEATED_ADDRESS = "flint-gang: address %s is given twice: every module needs its own\n";
const char* const MSG_LOGS_VALUE = "flint-gang: --logs needs a folder\n";

std::string format(const char* fmt, const std::string& a) {
    std::string out(fmt);
    const size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, a);
    return out;
}

std::string format_counts(const char* fmt, size_t a, size_t b) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Port names compared as the system compares them: two spellings of one
// device are one port; a Windows name (COM6, com6) without regard to case.
std::string port_key(const std::string& port) {
    const std::string identity = plat_port_identity(port);
    return !port.empty() && port[0] == '/' ? identity : lower(identity);
}

// Where a value sits: the word and the offset of its first character.
struct value_place {
    size_t word;
    size_t offset;
};

bool find_place(const std::vector<char*>& argv, const char* value, value_place* place) {
    for (size_t i = 1; i < argv.size(); ++i) {
        const size_t len = std::strlen(argv[i]);
        if (value >= argv[i] && value <= argv[i] + len) {
            *place = {i, static_cast<size_t>(value - argv[i])};
            return true;
        }
    }
    return false;
}

// The first error among the items of a list, checked for empty and repeated
// ones by `key`.
template <typename Key>
std::string check_items(const std::string& list, const std::vector<std::string>& items, const char* empty_msg,
                        const char* repeated_msg, Key key) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].empty()) return format(empty_msg, list);
        for (size_t j = 0; j < i; ++j)
            if (key(items[j]) == key(items[i])) return format(repeated_msg, items[i]);
    }
    return "";
}

// The gang's own long option comes out first; flint never sees it.
std::string take_logs_option(const std::vector<std::string>& words, gang_job* job,
                             std::vector<std::string>* flint_words) {
    const std::string with_value = std::string(LOGS_OPTION) + "=";
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == LOGS_OPTION) {
            if (i + 1 >= words.size() || words[i + 1].empty()) return MSG_LOGS_VALUE;
            job->logs_dir = words[++i];
        } else if (w.compare(0, with_value.size(), with_value) == 0) {
            job->logs_dir = w.substr(with_value.size());
            if (job->logs_dir.empty()) return MSG_LOGS_VALUE;
        } else {
            flint_words->push_back(w);
        }
    }
    return "";
}

// The -c and -x values: their texts and where each occurrence sits.
struct value_lists {
    std::vector<value_place> port_places, address_places;
    std::string ports_text, addresses_text;
};

void note_value(const std::vector<char*>& argv, const char* value, std::vector<value_place>* places,
                std::string* text) {
    value_place place{};
    if (find_place(argv, value, &place)) places->push_back(place);
    *text = value;
}

// Reads flint's words (the program name first) with flint's reader: -h, -V
// and the refusal of -i here, every other option is flint's to judge.
std::string read_flint_words(std::vector<std::string> storage, gang_job* job, value_lists* lists) {
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    option_reader reader(static_cast<int>(argv.size()), argv.data(), FLINT_OPTION_LETTERS);
    bool interactive = false;
    for (int c; (c = reader.next()) != option_reader::END;) {
        switch (c) {
        case 'i': interactive = true; break;
        case 'h': job->help = true; return "";
        case 'V': job->version = true; return "";
        case 'c': note_value(argv, reader.value(), &lists->port_places, &lists->ports_text); break;
        case 'x': note_value(argv, reader.value(), &lists->address_places, &lists->addresses_text); break;
        default: break;  // flint reads and reports everything else itself
        }
    }
    if (interactive) return MSG_INTERACTIVE;
    if (lists->port_places.empty()) return MSG_NO_PORTS;
    return "";
}

// Splits and checks the port and address lists.
std::string check_lists(const value_lists& lists, std::vector<std::string>* ports,
                        std::vector<std::string>* addresses) {
    *ports = gang_split(lists.ports_text);
    std::string refused = check_items(lists.ports_text, *ports, MSG_EMPTY_PORT, MSG_REPEATED_PORT, port_key);
    if (!refused.empty()) return refused;
    if (ports->size() > GANG_PORTS_MAX) return format_counts(MSG_TOO_MANY_PORTS, ports->size(), GANG_PORTS_MAX);
    if (lists.address_places.empty()) return "";
    *addresses = gang_split(lists.addresses_text);
    refused = check_items(lists.addresses_text, *addresses, MSG_EMPTY_ADDRESS, MSG_REPEATED_ADDRESS, lower);
    if (!refused.empty()) return refused;
    if (addresses->size() != ports->size())
        return format_counts(MSG_ADDRESS_COUNT, addresses->size(), ports->size());
    return "";
}

// One port's flint arguments: each value is replaced in its own word, and
// what stands before it in the word (grouped letters, the option letter) stays.
gang_port port_job(const std::vector<std::string>& storage, const value_lists& lists, const std::string& port,
                   const std::string& address, const std::vector<std::string>& names) {
    gang_port gp;
    gp.port = port;
    gp.address = address;
    gp.args.assign(storage.begin() + 1, storage.end());
    for (const value_place& at : lists.port_places) gp.args[at.word - 1] = storage[at.word].substr(0, at.offset) + port;
    for (const value_place& at : lists.address_places)
        gp.args[at.word - 1] = storage[at.word].substr(0, at.offset) + address;
    gp.log_name = gang_log_name(port, names);
    return gp;
}

}  // namespace

std::vector<std::string> gang_split(const std::string& list) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        out.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

std::string gang_log_name(const std::string& port, const std::vector<std::string>& taken) {
    std::string name;
    for (char c : port) {
        const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        name += keep ? c : '_';
    }
    const size_t first = name.find_first_not_of("_.");
    name = first == std::string::npos ? std::string("port") : name.substr(first);
    auto used = [&](const std::string& n) {
        for (const std::string& t : taken)
            if (lower(t) == lower(n)) return true;  // one folder on a case-blind file system
        return false;
    };
    if (!used(name)) return name;
    for (size_t k = 2;; ++k) {
        const std::string candidate = name + "-" + std::to_string(k);
        if (!used(candidate)) return candidate;
    }
}

std::string gang_read_options(const std::vector<std::string>& words, gang_job* job) {
    *job = gang_job();
    std::vector<std::string> flint_words;
    std::string refused = take_logs_option(words, job, &flint_words);
    if (!refused.empty()) return refused;
    flint_words.insert(flint_words.begin(), "flint");
    value_lists lists;
    refused = read_flint_words(flint_words, job, &lists);
    if (!refused.empty() || job->help || job->version) return refused;
    std::vector<std::string> ports, addresses;
    refused = check_lists(lists, &ports, &addresses);
    if (!refused.empty()) return refused;
    std::vector<std::string> names;
    for (size_t p = 0; p < ports.size(); ++p) {
        job->ports.push_back(port_job(flint_words, lists, ports[p], addresses.empty() ? "" : addresses[p], names));
        names.push_back(job->ports.back().log_name);
    }
    return "";
}
