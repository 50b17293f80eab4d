#include "record/failure.h"

namespace {

failure_class noted = failure_class::none;

const char* const CLASS_NAMES[] = {nullptr, "usage", "input", "link", "module", "verify", "interrupted", "internal"};

}  // namespace

void failure_note(failure_class c) {
    if (noted == failure_class::none || c == failure_class::interrupted) noted = c;
}

failure_class failure_noted() { return noted; }

void failure_clear() { noted = failure_class::none; }

const char* failure_class_name(failure_class c) { return CLASS_NAMES[static_cast<uint8_t>(c)]; }
