// The station's own options: the cycle loop (--loop, --labels) and the
// status page (--http, --http-token). They are taken out of the command line
// before the gang reads the rest.
#pragma once
#include <string>
#include <vector>

#include "gang/web/server.h"

struct loop_options {
    bool loop = false;
    std::vector<std::string> labels;  // one per port, or none
    bool http = false;
    web_settings web;
};

// Takes the station's options out of `words`; "" or the message of the refusal.
std::string loop_take_options(std::vector<std::string>* words, loop_options* out);

// Checks the options against the ports; "" or the message of the refusal.
std::string loop_check_options(const loop_options& options, size_t ports);
