// The run record: what one one-shot run of flint did, gathered as the run
// goes and appended to the file named by FLINT_RECORD as one JSON line when
// it ends (docs/records.md). Every layer tells it the facts it meets; when
// neither FLINT_RECORD nor FLINT_EVENTS is set, every call returns at once
// and nothing is hashed or written.
#pragma once
#include <cstdint>

#include "record/failure.h"

enum class run_phase : uint8_t { detection, script };

enum class image_kind : uint8_t { ordinary, oem_configuration, factory };

// ---------------------------------------------------------------- the run
// Called by the program entry: at start (reads the variables, opens the
// events, sets up the interrupt), to drop the record of a run that is no
// one-shot run (-h, -V, -i), and at the end with the exit code (writes the
// record and the run_end event).
void record_begin(int argc, char** argv);
void record_skip();
void record_end(int32_t exit_code);

// True between record_begin and the end unless record_skip was called: a
// one-shot run of the program (its progress line may show).
bool record_one_shot();

// True when a record or events are written: callers skip work (hashing)
// whose only use is the record.
bool record_wanted();

// ---------------------------------------------------------------- facts
void record_port(const char* port, const char* baud);
void record_mode(uint32_t mode, bool given);
void record_job_file(const char* path);
void record_packed_image(const char* path);
void record_efuse_file(const char* path);
// The loader loadfw downloads; `signature` is the word it was chosen by
// (nullptr when it was named by its cut).
void record_loader(const char* path, uint64_t size, const uint8_t* bytes, const uint32_t* signature);
// An image a line loaded: once per path and address.
void record_image(const char* path, uint32_t address, const uint8_t* payload, uint32_t length, image_kind kind);
// The CRC-16 a verify compared for the range at `address`.
void record_verify_crc(uint32_t address, uint16_t crc);
// The device address of the run, and the script line that writes it.
void record_device_address(const char* text, bool from_option);
void record_device_address_line(int32_t number);

// ---------------------------------------------------------------- lines
// A line starts: line_start event, its clock, the failure note cleared.
void record_line_start(run_phase phase, int32_t number, const char* text);
// It ended with `result`: line_end event, attempts and ms in its entry.
void record_line_end(int32_t result);
// The line `number` failed and is tried again (attempt 2 is the first retry).
void record_retry(int32_t number, int32_t attempt);
// The run fails at the line that just ended: its class is the one noted
// during it (interrupted after an interrupt, internal without a note), the
// message the one the runner printed. The first such failure stands.
void record_line_failed(const char* message);

// The number of the line running (-1 before the first).
int32_t record_current_line();

// The run is interrupted (a signal arrived): the runner stops at its next
// safe point.
bool record_interrupted();
