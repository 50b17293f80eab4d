// The station database as the status page shows it: this station's counters
// from the report and its latest runs.
#pragma once
#include <string>

#include "gang/board.h"
#include "gang/store/station_store.h"

// "" and *out filled, or the message of the database's failure.
std::string station_view(station_store& store, const std::string& station, stored_view* out);
