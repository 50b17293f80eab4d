#include "record/run_record.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "record/events.h"
#include "record/json_line.h"
#include "record/sha256.h"

namespace {

const char* const RECORD_VARIABLE = "FLINT_RECORD";
constexpr int SCHEMA = 1;
const char* const PHASE_NAMES[] = {"detection", "script"};
const char* const KIND_NAMES[] = {"ordinary", "oem_configuration", "factory"};

struct line_entry {
    run_phase phase;
    int32_t number;
    std::string text;
    int32_t result = 0;
    int32_t attempts = 0;
    int64_t ms = 0;
};

struct image_entry {
    std::string path;
    uint32_t address;
    uint32_t payload_length;
    std::string payload_sha256;
    std::string file_sha256;
    image_kind kind;
    bool verified = false;
    uint16_t crc = 0;
};

struct file_entry {
    std::string path;
    std::string sha256;
};

struct loader_entry {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    bool by_signature = false;
    uint32_t signature = 0;
};

struct failure_entry {
    failure_class cls = failure_class::none;
    int32_t line = -1;  // index into lines, -1 for none
    std::string message;
    std::string cause;
};

// The one process-wide record of the run.
struct run_facts {
    bool begun = false;
    bool record_on = false;
    bool skipped = false;
    std::string record_path;
    int64_t start_ms = 0;
    int64_t start_steady = 0;
    std::vector<std::string> command_line;
    bool have_port = false;
    std::string port, baud;
    bool have_mode = false;
    uint32_t mode = 0;
    bool mode_given = false;
    std::vector<image_entry> images;
    std::vector<file_entry> job_files;
    std::vector<file_entry> packed;   // at most one: the last -P
    std::vector<file_entry> efuse;    // at most one
    std::vector<loader_entry> loader; // at most one: the last download
    bool have_address = false;
    std::string address_text;
    bool address_from_option = true;
    int32_t address_line = -1;
    std::vector<line_entry> lines;
    int32_t current = -1;             // the line running, index into lines
    int64_t line_start = 0;
    failure_entry failure;
    bool run_start_sent = false;
};

run_facts facts;

bool wanted() { return facts.record_on || events_on(); }

file_entry file_of(const char* path) { return {path, sha256_file_hex(path)}; }

// A message without its line end.
std::string one_line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void send_run_start() {
    if (facts.run_start_sent || !events_on()) return;
    facts.run_start_sent = true;
    json_ptr e = event_new("run_start");
    cJSON_AddNumberToObject(e.get(), "pid", plat_process_id());
    json_add_text(e.get(), "port", facts.have_port ? facts.port.c_str() : nullptr);
    event_send(e);
}

int32_t find_line(run_phase phase, int32_t number) {
    for (size_t i = 0; i < facts.lines.size(); ++i)
        if (facts.lines[i].phase == phase && facts.lines[i].number == number) return static_cast<int32_t>(i);
    facts.lines.push_back({phase, number, std::string()});
    return static_cast<int32_t>(facts.lines.size() - 1);
}

// ---------------------------------------------------------------- JSON

void add_file(cJSON* o, const char* name, const std::vector<file_entry>& files) {
    if (files.empty()) {
        cJSON_AddNullToObject(o, name);
        return;
    }
    cJSON* f = cJSON_AddObjectToObject(o, name);
    json_add_text(f, "path", files.back().path);
    json_add_text(f, "sha256", files.back().sha256.empty() ? nullptr : files.back().sha256.c_str());
}

void add_images(cJSON* o) {
    cJSON* list = cJSON_AddArrayToObject(o, "images");
    for (const image_entry& im : facts.images) {
        cJSON* i = cJSON_CreateObject();
        json_add_text(i, "path", im.path);
        json_add_hex(i, "address", im.address);
        cJSON_AddNumberToObject(i, "payload_length", im.payload_length);
        json_add_text(i, "payload_sha256", im.payload_sha256);
        json_add_text(i, "file_sha256", im.file_sha256.empty() ? nullptr : im.file_sha256.c_str());
        if (im.verified) {
            char crc[8];
            std::snprintf(crc, sizeof crc, "0x%04X", im.crc);
            json_add_text(i, "verify_crc16", crc);
        } else {
            cJSON_AddNullToObject(i, "verify_crc16");
        }
        json_add_text(i, "kind", KIND_NAMES[static_cast<int>(im.kind)]);
        cJSON_AddItemToArray(list, i);
    }
}

void add_job_files(cJSON* o) {
    cJSON* list = cJSON_AddArrayToObject(o, "job_files");
    for (const file_entry& f : facts.job_files) {
        cJSON* j = cJSON_CreateObject();
        json_add_text(j, "path", f.path);
        json_add_text(j, "sha256", f.sha256.empty() ? nullptr : f.sha256.c_str());
        cJSON_AddItemToArray(list, j);
    }
}

void add_loader(cJSON* o) {
    if (facts.loader.empty()) {
        cJSON_AddNullToObject(o, "loader");
        return;
    }
    const loader_entry& l = facts.loader.back();
    cJSON* j = cJSON_AddObjectToObject(o, "loader");
    json_add_text(j, "file", l.path);
    cJSON_AddNumberToObject(j, "size", static_cast<double>(l.size));
    json_add_text(j, "sha256", l.sha256);
    if (l.by_signature) {
        char word[16];
        std::snprintf(word, sizeof word, "0x%08X", l.signature);
        json_add_text(j, "chip_signature", word);
    } else {
        cJSON_AddNullToObject(j, "chip_signature");
    }
}

void add_device_address(cJSON* o) {
    if (!facts.have_address) {
        cJSON_AddNullToObject(o, "device_address");
        return;
    }
    cJSON* a = cJSON_AddObjectToObject(o, "device_address");
    json_add_text(a, "text", facts.address_text);
    json_add_text(a, "source", facts.address_from_option ? "option" : "configuration");
    const int32_t at = facts.address_line;
    const line_entry* ran = nullptr;
    for (const line_entry& l : facts.lines)
        if (at >= 0 && l.phase == run_phase::script && l.number == at) ran = &l;
    if (at >= 0)
        cJSON_AddNumberToObject(a, "line", at);
    else
        cJSON_AddNullToObject(a, "line");
    cJSON_AddBoolToObject(a, "ran", ran != nullptr);
    if (ran != nullptr)
        cJSON_AddNumberToObject(a, "result", ran->result);
    else
        cJSON_AddNullToObject(a, "result");
}

void add_lines(cJSON* o) {
    cJSON* list = cJSON_AddArrayToObject(o, "lines");
    for (const line_entry& l : facts.lines) {
        cJSON* j = cJSON_CreateObject();
        cJSON_AddNumberToObject(j, "number", l.number);
        json_add_text(j, "phase", PHASE_NAMES[static_cast<int>(l.phase)]);
        json_add_text(j, "text", l.text);
        cJSON_AddNumberToObject(j, "result", l.result);
        cJSON_AddNumberToObject(j, "attempts", l.attempts);
        cJSON_AddNumberToObject(j, "ms", static_cast<double>(l.ms));
        cJSON_AddItemToArray(list, j);
    }
}

void add_failure(cJSON* o, int32_t exit_code) {
    const failure_entry& f = facts.failure;
    if (exit_code == 0) {
        cJSON_AddNullToObject(o, "failure");
        return;
    }
    cJSON* j = cJSON_AddObjectToObject(o, "failure");
    json_add_text(j, "class", failure_class_name(f.cls));
    const line_entry* line = f.line >= 0 ? &facts.lines[static_cast<size_t>(f.line)] : nullptr;
    if (line != nullptr)
        cJSON_AddNumberToObject(j, "line", line->number);
    else
        cJSON_AddNullToObject(j, "line");
    json_add_text(j, "text", line != nullptr ? line->text.c_str() : nullptr);
    json_add_text(j, "message", f.message.empty() ? nullptr : f.message.c_str());
    json_add_text(j, "cause", f.cause.empty() ? nullptr : f.cause.c_str());
}

void add_run(cJSON* o, int64_t end_ms) {
    cJSON_AddNumberToObject(o, "schema", SCHEMA);
    json_add_text(o, "flint_version", FLINT_VERSION);
    json_add_text(o, "start", record_time_text(facts.start_ms));
    json_add_text(o, "end", record_time_text(end_ms));
    cJSON_AddNumberToObject(o, "duration_ms", static_cast<double>(steady_ms() - facts.start_steady));
    json_add_text(o, "host", plat_host_name());
    cJSON_AddNumberToObject(o, "pid", plat_process_id());
    cJSON* words = cJSON_AddArrayToObject(o, "command_line");
    for (const std::string& w : facts.command_line) cJSON_AddItemToArray(words, cJSON_CreateString(w.c_str()));
    json_add_text(o, "working_directory", plat_working_dir());
}

void add_settings(cJSON* o) {
    json_add_text(o, "port", facts.have_port ? facts.port.c_str() : nullptr);
    json_add_text(o, "baud", facts.have_port && !facts.baud.empty() ? facts.baud.c_str() : nullptr);
    if (facts.have_mode)
        cJSON_AddNumberToObject(o, "program_mode", facts.mode);
    else
        cJSON_AddNullToObject(o, "program_mode");
    json_add_text(o, "program_mode_source", !facts.have_mode ? nullptr : facts.mode_given ? "given" : "detected");
}

void write_record(int32_t exit_code) {
    json_ptr o(cJSON_CreateObject());
    add_run(o.get(), record_now_ms());
    add_settings(o.get());
    add_images(o.get());
    add_job_files(o.get());
    add_file(o.get(), "packed_image", facts.packed);
    add_file(o.get(), "efuse_file", facts.efuse);
    add_loader(o.get());
    add_device_address(o.get());
    add_lines(o.get());
    cJSON_AddNumberToObject(o.get(), "exit_code", exit_code);
    json_add_text(o.get(), "verdict", exit_code == 0 ? "pass" : "fail");
    add_failure(o.get(), exit_code);
    plat_sink* sink = plat_sink_open(facts.record_path.c_str());
    if (sink == nullptr) return;
    json_write_line(sink, o.get());
    plat_sink_close(sink);
}

// The failure of a run that failed outside any line (a refused option, a
// file that could not be read before the script, an interrupt).
void settle_failure(int32_t exit_code) {
    failure_entry& f = facts.failure;
    if (exit_code == 0 || f.cls != failure_class::none) return;
    f.cls = plat_interrupted() ? failure_class::interrupted : failure_noted();
    if (f.cls == failure_class::none) f.cls = failure_class::internal;
    f.message = one_line(con_last_error());
}

}  // namespace

void record_begin(int argc, char** argv) {
    facts.begun = true;
    facts.start_ms = record_now_ms();
    facts.start_steady = steady_ms();
    plat_interrupt_init();
    const char* path = std::getenv(RECORD_VARIABLE);
    facts.record_on = path != nullptr && *path != '\0';
    if (facts.record_on) facts.record_path = path;
    events_open();
    if (!wanted()) return;
    for (int i = 0; i < argc; ++i) facts.command_line.emplace_back(argv[i]);
}

void record_skip() {
    facts.skipped = true;
    events_close();
}

void record_end(int32_t exit_code) {
    if (!facts.skipped && wanted()) {
        settle_failure(exit_code);
        send_run_start();
        json_ptr e = event_new("run_end");
        cJSON_AddNumberToObject(e.get(), "exit_code", exit_code);
        json_add_text(e.get(), "verdict", exit_code == 0 ? "pass" : "fail");
        json_add_text(e.get(), "class", exit_code == 0 ? nullptr : failure_class_name(facts.failure.cls));
        event_send(e);
        if (facts.record_on) write_record(exit_code);
    }
    events_close();
    plat_interrupt_done();
}

bool record_one_shot() { return facts.begun && !facts.skipped; }

bool record_wanted() { return !facts.skipped && wanted(); }

int32_t record_current_line() {
    return facts.current < 0 ? -1 : facts.lines[static_cast<size_t>(facts.current)].number;
}

bool record_interrupted() { return plat_interrupted(); }

void record_port(const char* port, const char* baud) {
    facts.have_port = port != nullptr;
    facts.port = port != nullptr ? port : "";
    facts.baud = baud != nullptr ? baud : "";
}

void record_mode(uint32_t mode, bool given) {
    facts.have_mode = true;
    facts.mode = mode;
    facts.mode_given = given;
}

void record_job_file(const char* path) {
    if (record_wanted()) facts.job_files.push_back(file_of(path));
}

void record_packed_image(const char* path) {
    if (record_wanted()) facts.packed = {file_of(path)};
}

void record_efuse_file(const char* path) {
    if (record_wanted()) facts.efuse = {file_of(path)};
}

void record_loader(const char* path, uint64_t size, const uint8_t* bytes, const uint32_t* signature) {
    if (!record_wanted()) return;
    loader_entry l{path, size, sha256_hex(bytes, static_cast<size_t>(size))};
    l.by_signature = signature != nullptr;
    l.signature = signature != nullptr ? *signature : 0;
    facts.loader = {l};
}

void record_image(const char* path, uint32_t address, const uint8_t* payload, uint32_t length, image_kind kind) {
    if (!record_wanted()) return;
    for (const image_entry& im : facts.images)
        if (im.address == address && im.path == path) return;
    facts.images.push_back({path, address, length, sha256_hex(payload, length), sha256_file_hex(path), kind});
}

void record_verify_crc(uint32_t address, uint16_t crc) {
    if (!record_wanted()) return;
    for (auto im = facts.images.rbegin(); im != facts.images.rend(); ++im) {
        if (im->address != address) continue;
        im->verified = true;
        im->crc = crc;
        return;
    }
}

void record_device_address(const char* text, bool from_option) {
    facts.have_address = text != nullptr;
    facts.address_text = text != nullptr ? text : "";
    facts.address_from_option = from_option;
}

void record_device_address_line(int32_t number) { facts.address_line = number; }

void record_line_start(run_phase phase, int32_t number, const char* text) {
    failure_clear();
    con_error_mark();
    if (!record_wanted()) return;
    send_run_start();
    facts.current = find_line(phase, number);
    facts.lines[static_cast<size_t>(facts.current)].text = text;
    facts.line_start = steady_ms();
    json_ptr e = event_new("line_start");
    json_add_text(e.get(), "phase", PHASE_NAMES[static_cast<int>(phase)]);
    cJSON_AddNumberToObject(e.get(), "line", number);
    json_add_text(e.get(), "text", text);
    event_send(e);
}

void record_line_end(int32_t result) {
    if (!record_wanted() || facts.current < 0) return;
    line_entry& l = facts.lines[static_cast<size_t>(facts.current)];
    const int64_t ms = steady_ms() - facts.line_start;
    l.result = result;
    l.attempts += 1;
    l.ms += ms;
    json_ptr e = event_new("line_end");
    json_add_text(e.get(), "phase", PHASE_NAMES[static_cast<int>(l.phase)]);
    cJSON_AddNumberToObject(e.get(), "line", l.number);
    cJSON_AddNumberToObject(e.get(), "result", result);
    cJSON_AddNumberToObject(e.get(), "ms", static_cast<double>(ms));
    event_send(e);
}

void record_retry(int32_t number, int32_t attempt) {
    if (!events_on()) return;
    json_ptr e = event_new("retry");
    cJSON_AddNumberToObject(e.get(), "line", number);
    cJSON_AddNumberToObject(e.get(), "attempt", attempt);
    event_send(e);
}

void record_line_failed(const char* message) {
    failure_entry& f = facts.failure;
    if (f.cls != failure_class::none) return;
    f.cls = plat_interrupted() ? failure_class::interrupted : failure_noted();
    if (f.cls == failure_class::none) f.cls = failure_class::internal;
    f.line = facts.current;
    f.message = one_line(message);
    f.cause = one_line(con_first_error());
}
