// Commands that act on the module as a whole: efuseburn, read_efuse,
// dbgpasswd, reboot and gdmabeg; and the program mode field that read_efuse
// stores the detected mode in.
#pragma once
#include <cstdint>

// Registers the one program mode field that `read_efuse` may store the
// detected program mode in (the one-shot run's options record owns it), and
// returns the text that names it as the argument of a read_efuse line: the
// field's address in upper-case hex digits, as many as an address has (the
// way "%p" writes it), so the line is built as "read_efuse %s" with it.
// read_efuse refuses every other text, so a value typed at the shell is never
// written through. The text stays valid until the next registration; a null
// field withdraws the registration and returns "".
const char* efuse_register_mode_field(uint32_t* field);
