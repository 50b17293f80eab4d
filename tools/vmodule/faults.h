// Injected faults: rules given with --fault OP:KIND[:COUNT[:SKIP]].
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class fault_kind { badcrc, status, shortened, silence, garbage, corrupt, late };

struct fault_rule {
    int op = -1;              // loader code or HCI opcode; -1 matches every request
    fault_kind kind = fault_kind::badcrc;
    uint32_t arg = 0;         // status value, byte count of short=/garbage=
    uint32_t count = 1;       // requests affected; 0 means every one after SKIP
    uint32_t skip = 0;        // matching requests left alone first
    uint32_t seen = 0;        // matching requests so far
};

// What the rules do to one request.
struct fault_effect {
    bool refuse = false;      // answer with `status` and do nothing
    uint8_t status = 0;
    bool corrupt = false;     // store one byte of the write wrong
    bool badcrc = false;      // flip the last byte of the answer (its CRC)
    int short_len = -1;       // keep only the first short_len bytes
    bool silence = false;     // no answer at all
    uint32_t garbage = 0;     // junk bytes in front of the answer
    uint32_t late_ms = 0;     // the answer leaves this much later (the module is busy)
    bool any() const {
        return refuse || corrupt || badcrc || short_len >= 0 || silence || garbage || late_ms;
    }
};

// Parses one rule; "" on success, else the reason it was refused.
std::string parse_fault(const std::string& text, fault_rule& rule);

// Counts the request against every rule for `op` and returns the combined effect.
fault_effect take_faults(std::vector<fault_rule>& rules, int op);

// Applies the answer-shaping part of an effect to the bytes of an answer
// (late_ms is applied by the caller, to the time the answer leaves).
void shape_answer(const fault_effect& e, std::vector<uint8_t>& bytes);

// A short text of the effect for the log ("" when nothing applies).
std::string describe(const fault_effect& e);
