#include "gang/store/run_record.h"

#include "gang/store/json_text.h"

#include <cjson/cJSON.h>

#include <cstdlib>

namespace {

const char* const VERDICT_PASS = "pass";
const char* const VERDICT_FAIL = "fail";
const char* const CLASS_INTERNAL = "internal";

// The last whole line (ending with a newline) that is a JSON object, and
// that line into *line.
cJSON* last_record(const std::string& text, std::string* line) {
    size_t end = text.rfind('\n');
    while (end != std::string::npos && end > 0) {
        const size_t begin = text.rfind('\n', end - 1);
        const size_t from = begin == std::string::npos ? 0 : begin + 1;
        cJSON* doc = cJSON_ParseWithLength(text.data() + from, end - from);
        if (cJSON_IsObject(doc)) {
            *line = text.substr(from, end - from);
            return doc;
        }
        cJSON_Delete(doc);
        if (begin == std::string::npos) break;
        end = begin;
    }
    return nullptr;
}

sql_text string_of(const cJSON* item) {
    if (cJSON_IsString(item)) return std::string(item->valuestring);
    return std::nullopt;
}

sql_text integer_of(const cJSON* item) {
    if (cJSON_IsNumber(item)) return std::to_string(static_cast<int64_t>(item->valuedouble));
    return std::nullopt;
}

const cJSON* member(const cJSON* object, const char* name) { return cJSON_GetObjectItemCaseSensitive(object, name); }

std::string ending_of(const child_outcome& c) {
    if (!c.started) return "flint could not be started: " + c.start_error;
    if (!c.exited) return "flint left no whole run record (ended by signal " + std::to_string(c.signal) + ")";
    return "flint left no whole run record (exit code " + std::to_string(c.code) + ")";
}

// The record of a run that left none, from what the gang knows.
std::string substitute_record(const child_outcome& c) {
    cJSON* doc = cJSON_CreateObject();
    cJSON_AddNumberToObject(doc, "schema", 1);
    cJSON_AddStringToObject(doc, "written_by", "flint-gang");
    cJSON_AddStringToObject(doc, "start", c.start.c_str());
    cJSON_AddNumberToObject(doc, "duration_ms", static_cast<double>(c.duration_ms));
    cJSON_AddStringToObject(doc, "port", c.port.c_str());
    if (c.address.empty()) {
        cJSON_AddNullToObject(doc, "device_address");
    } else {
        cJSON* address = cJSON_AddObjectToObject(doc, "device_address");
        cJSON_AddStringToObject(address, "text", c.address.c_str());
        cJSON_AddStringToObject(address, "source", "option");
        cJSON_AddNullToObject(address, "line");
        if (c.started)
            cJSON_AddNullToObject(address, "ran");  // unknown
        else
            cJSON_AddFalseToObject(address, "ran");
        cJSON_AddNullToObject(address, "result");
    }
    if (c.started && c.exited)
        cJSON_AddNumberToObject(doc, "exit_code", c.code);
    else
        cJSON_AddNullToObject(doc, "exit_code");
    cJSON_AddStringToObject(doc, "verdict", VERDICT_FAIL);
    cJSON* failure = cJSON_AddObjectToObject(doc, "failure");
    cJSON_AddStringToObject(failure, "class", CLASS_INTERNAL);
    cJSON_AddNullToObject(failure, "line");
    cJSON_AddNullToObject(failure, "text");
    cJSON_AddStringToObject(failure, "message", ending_of(c).c_str());
    std::string out = json_text(doc);
    cJSON_Delete(doc);
    return out;
}

run_entry substitute_entry(const child_outcome& c) {
    run_entry e;
    e.verdict = VERDICT_FAIL;
    e.failure_class = CLASS_INTERNAL;
    e.failure_text = ending_of(c);
    if (c.started && c.exited) e.exit_code = std::to_string(c.code);
    if (!c.address.empty()) e.device_address = c.address;
    // Whether the address reached the module is unknown once flint ran.
    e.fate = c.started ? address_fate::quarantined : address_fate::returned;
    e.record = substitute_record(c);
    return e;
}

std::string images_hashes(const cJSON* images) {
    std::string out;
    const cJSON* image = nullptr;
    cJSON_ArrayForEach(image, images) {
        const sql_text hash = string_of(member(image, "payload_sha256"));
        if (hash) out += (out.empty() ? "" : ",") + *hash;
    }
    return out;
}

// A whole record. It passes only when flint says so and ended with 0.
run_entry entry_of_record(const cJSON* doc, const std::string& line, const child_outcome& c) {
    run_entry e;
    e.record = line;
    e.exit_code = integer_of(member(doc, "exit_code"));
    const bool ended_well = c.exited && c.code == 0 && e.exit_code == std::string("0");
    const bool pass = string_of(member(doc, "verdict")) == std::string(VERDICT_PASS) && ended_well;
    e.verdict = pass ? VERDICT_PASS : VERDICT_FAIL;
    const cJSON* failure = member(doc, "failure");
    e.failure_class = string_of(member(failure, "class"));
    e.failure_line = integer_of(member(failure, "line"));
    e.failure_text = string_of(member(failure, "text"));
    if (!pass && !e.failure_class) {
        e.failure_class = CLASS_INTERNAL;
        e.failure_text = "the record says " + string_of(member(doc, "verdict")).value_or("nothing") +
                         " but flint ended with " + (c.exited ? std::to_string(c.code) : "a signal");
    }
    const cJSON* address = member(doc, "device_address");
    e.device_address = string_of(member(address, "text"));
    if (!e.device_address && !c.address.empty()) e.device_address = c.address;
    e.address_written = cJSON_IsTrue(member(address, "ran"));
    e.fate = e.address_written ? address_fate::consumed : address_fate::returned;
    const std::string hashes = images_hashes(member(doc, "images"));
    if (!hashes.empty()) e.image_sha256 = hashes;
    const sql_text start = string_of(member(doc, "start"));
    const sql_text duration = integer_of(member(doc, "duration_ms"));
    if (start) e.start = *start;
    if (duration) e.duration_ms = std::strtoll(duration->c_str(), nullptr, 10);
    return e;
}

}  // namespace

run_entry run_entry_of(const std::string& record_text, const child_outcome& child) {
    std::string line;
    cJSON* doc = child.started ? last_record(record_text, &line) : nullptr;
    run_entry e;
    if (doc != nullptr) {
        e = entry_of_record(doc, line, child);
        cJSON_Delete(doc);
    } else {
        e = substitute_entry(child);
    }
    e.port = child.port;
    e.slot = child.slot;
    if (e.start.empty()) e.start = child.start;
    if (e.duration_ms == 0) e.duration_ms = child.duration_ms;
    return e;
}
