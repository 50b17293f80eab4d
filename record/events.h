// The live events: JSON lines written as the run goes to the file or the
// inherited descriptor that FLINT_EVENTS names (docs/records.md).
#pragma once
#include <cstdint>

#include "record/json_line.h"

// Opens what FLINT_EVENTS names ("fd:N" or a file); nothing when unset or
// when it cannot be opened.
void events_open();
void events_close();
bool events_on();

// A new event {"event": kind, "t": now}, to which the caller adds its fields.
json_ptr event_new(const char* kind);
void event_send(const json_ptr& e);
