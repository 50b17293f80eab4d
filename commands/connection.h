// Connection state shared by every flash command.
#pragma once
#include <cstdint>

// "please run 'connect' cmd first.\n": what a command says that needs a link.
extern const char* const MSG_NOT_CONNECTED;

// 0 not connected, 1 connected (loader not yet running), 2 loader running.
extern int32_t connection_state;

// The guard at the start of guarded commands: -1 after "please run 'connect'
// cmd first.\n" in state 0; a warning in state 1 and 0 in states 1 and 2.
int32_t connection_guard();
