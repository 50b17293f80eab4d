#include "gang/child_events.h"

#include <cjson/cJSON.h>

#include <climits>
#include <cstdio>
#include <memory>

namespace {

struct json_deleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

constexpr size_t READ_CHUNK = 4096;

std::string text_of(const cJSON* o, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

int64_t number_of(const cJSON* o, const char* name, int64_t otherwise) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsNumber(item) ? static_cast<int64_t>(item->valuedouble) : otherwise;
}

// Everything from `offset` to the end of the file.
std::string read_from(const std::string& path, uint64_t offset) {
    std::string bytes;
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) return bytes;
    if (offset > static_cast<uint64_t>(LONG_MAX) || std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0)
        return bytes;
    char chunk[READ_CHUNK];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) bytes.append(chunk, n);
    return bytes;
}

void apply_line_start(child_event_state& s, const cJSON* e) {
    s.phase = text_of(e, "phase");
    s.line = static_cast<int32_t>(number_of(e, "line", -1));
    s.text = text_of(e, "text");
    s.step.clear();
    s.address.clear();
    s.done = s.total = 0;
}

void apply_progress(child_event_state& s, const cJSON* e) {
    s.step = text_of(e, "step");
    s.address = text_of(e, "address");
    s.done = static_cast<uint64_t>(number_of(e, "done", 0));
    s.total = static_cast<uint64_t>(number_of(e, "total", 0));
}

void apply_run_end(child_event_state& s, const cJSON* e) {
    s.ended = true;
    s.exit_code = static_cast<int32_t>(number_of(e, "exit_code", 0));
    s.verdict = text_of(e, "verdict");
    s.failure_class = text_of(e, "class");
}

}  // namespace

std::vector<std::string> child_events::read_new() {
    std::vector<std::string> lines;
    const std::string bytes = read_from(path_, offset_);
    offset_ += bytes.size();
    partial_ += bytes;
    size_t begin = 0;
    for (size_t end; (end = partial_.find('\n', begin)) != std::string::npos; begin = end + 1) {
        std::string line = partial_.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        apply(line);
        lines.push_back(std::move(line));
    }
    partial_.erase(0, begin);
    return lines;
}

void child_events::apply(const std::string& line) {
    json_ptr e(cJSON_Parse(line.c_str()));
    if (!cJSON_IsObject(e.get())) return;
    const std::string kind = text_of(e.get(), "event");
    if (kind == "run_start") state_.started = true;
    else if (kind == "line_start") apply_line_start(state_, e.get());
    else if (kind == "progress") apply_progress(state_, e.get());
    else if (kind == "retry") state_.attempt = static_cast<int32_t>(number_of(e.get(), "attempt", 1));
    else if (kind == "run_end") apply_run_end(state_, e.get());
}

int32_t child_events::percent() const {
    if (state_.step.empty() || state_.total == 0) return -1;
    return static_cast<int32_t>(state_.done * 100 / state_.total);
}

std::string child_events::status_text() const {
    const child_event_state& s = state_;
    if (!s.step.empty()) {
        std::string text = s.step;
        if (!s.address.empty()) text += " " + s.address;
        const int32_t p = percent();
        return p < 0 ? text : text + " " + std::to_string(p) + "%";
    }
    if (s.line < 0) return "";
    const std::string word = s.text.substr(0, s.text.find(' '));
    return s.phase == "detection" ? "detect: " + word : word;
}

std::string child_record_line(const std::string& path) {
    std::string bytes = read_from(path, 0);
    const size_t end = bytes.rfind('\n');
    if (end == std::string::npos) return "";
    bytes.resize(end);
    const size_t before = bytes.rfind('\n');
    return before == std::string::npos ? bytes : bytes.substr(before + 1);
}
