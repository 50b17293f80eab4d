#include "tools/vmodule/faults.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool parse_u32(const std::string& s, int base, uint32_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (errno || *end || v > 0xFFFFFFFFul || s[0] == '-') return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

// KIND or KIND=N.
std::string parse_kind(const std::string& text, fault_rule& rule) {
    size_t eq = text.find('=');
    std::string name = text.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
    struct kind_name { const char* name; fault_kind kind; bool needs_value; };
    static const kind_name kinds[] = {
        {"badcrc", fault_kind::badcrc, false}, {"status", fault_kind::status, true},
        {"short", fault_kind::shortened, true}, {"silence", fault_kind::silence, false},
        {"garbage", fault_kind::garbage, true}, {"corrupt", fault_kind::corrupt, false},
        {"late", fault_kind::late, true},
    };
    for (const kind_name& k : kinds) {
        if (name != k.name) continue;
        if (k.needs_value != (eq != std::string::npos)) return "kind " + name + (k.needs_value ? " needs =N" : " takes no value");
        rule.kind = k.kind;
        if (!k.needs_value) return "";
        if (!parse_u32(value, 0, rule.arg)) return "bad number '" + value + "'";
        if (k.kind == fault_kind::status && (rule.arg == 0 || rule.arg > 0xFF))
            return "status must be 1 to 255";
        if (k.kind == fault_kind::garbage && rule.arg > 0x10000) return "garbage is limited to 65536 bytes";
        if (k.kind == fault_kind::late && rule.arg > 600000) return "late is limited to 600000 ms";
        return "";
    }
    return "unknown kind '" + name + "'";
}

// Junk that never starts a frame or an event: no 0x01, 0x04 or 0x87.
uint8_t junk_byte(uint32_t i) {
    static const uint8_t pattern[] = {0x55, 0xAA, 0x3C, 0xC3, 0x0F, 0xF0, 0x66, 0x99};
    return pattern[i % sizeof pattern];
}

}  // namespace

std::string parse_fault(const std::string& text, fault_rule& rule) {
    std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 4) return "expected OP:KIND[:COUNT[:SKIP]]";
    rule = fault_rule{};
    if (parts[0] == "any") {
        rule.op = -1;
    } else {
        uint32_t op = 0;
        if (!parse_u32(parts[0], 16, op) || op > 0xFFFF) return "bad opcode '" + parts[0] + "'";
        rule.op = static_cast<int>(op);
    }
    std::string why = parse_kind(parts[1], rule);
    if (!why.empty()) return why;
    if (parts.size() > 2 && !parse_u32(parts[2], 0, rule.count)) return "bad count '" + parts[2] + "'";
    if (parts.size() > 3 && !parse_u32(parts[3], 0, rule.skip)) return "bad skip '" + parts[3] + "'";
    return "";
}

fault_effect take_faults(std::vector<fault_rule>& rules, int op) {
    fault_effect e;
    for (fault_rule& r : rules) {
        if (r.op != -1 && r.op != op) continue;
        uint32_t index = r.seen++;
        if (index < r.skip) continue;
        if (r.count != 0 && index - r.skip >= r.count) continue;
        switch (r.kind) {
        case fault_kind::badcrc: e.badcrc = true; break;
        case fault_kind::status: e.refuse = true; e.status = static_cast<uint8_t>(r.arg); break;
        case fault_kind::shortened: e.short_len = static_cast<int>(r.arg); break;
        case fault_kind::silence: e.silence = true; break;
        case fault_kind::garbage: e.garbage = r.arg; break;
        case fault_kind::corrupt: e.corrupt = true; break;
        case fault_kind::late: e.late_ms = r.arg; break;
        }
    }
    return e;
}

void shape_answer(const fault_effect& e, std::vector<uint8_t>& bytes) {
    if (e.silence) {
        bytes.clear();
        return;
    }
    if (e.badcrc && !bytes.empty()) bytes.back() ^= 0xFF;
    if (e.short_len >= 0 && static_cast<size_t>(e.short_len) < bytes.size()) bytes.resize(e.short_len);
    if (e.garbage) {
        std::vector<uint8_t> junk(e.garbage);
        for (uint32_t i = 0; i < e.garbage; ++i) junk[i] = junk_byte(i);
        bytes.insert(bytes.begin(), junk.begin(), junk.end());
    }
}

std::string describe(const fault_effect& e) {
    std::string s;
    auto add = [&s](const std::string& t) { s += (s.empty() ? "" : ",") + t; };
    if (e.refuse) add("status=" + std::to_string(e.status));
    if (e.corrupt) add("corrupt");
    if (e.badcrc) add("badcrc");
    if (e.short_len >= 0) add("short=" + std::to_string(e.short_len));
    if (e.garbage) add("garbage=" + std::to_string(e.garbage));
    if (e.silence) add("silence");
    if (e.late_ms) add("late=" + std::to_string(e.late_ms));
    return s;
}
