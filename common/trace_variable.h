// The environment variable that names flint's byte trace: a file for flint,
// a folder (one trace file per port) for flint-gang.
#pragma once

constexpr const char* TRACE_VARIABLE = "FLINT_TRACE";
