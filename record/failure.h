// The failure class of a run: what kind of fault ended it. The operation
// that meets a failure and prints its message notes the class beside it;
// the script runner reads the note when a line fails. Nothing here prints.
#pragma once
#include <cstdint>

enum class failure_class : uint8_t {
    none,
    usage,        // options, a refused combination, a command's words
    input,        // an image, job, packed, eFuse or loader file unreadable or refused
    link,         // port not opened, time-out, short answer, CRC mismatch, hang-up
    module,       // the module answered with a non-zero status or refused a request
    verify,       // the flash does not hold the image
    interrupted,  // SIGINT, SIGTERM, SIGHUP, a console control event
    internal,     // anything else
};

// Notes the class of the failure just met. The first note since the last
// clear stands (a time-out met inside a verify is a link fault, whatever the
// verify then says); an interruption replaces any other.
void failure_note(failure_class c);

// The class noted since the last clear (none when nothing was noted).
failure_class failure_noted();

// Forgets the note: the script runner clears it before each line.
void failure_clear();

// "usage", "input", ...; nullptr for none.
const char* failure_class_name(failure_class c);
