// Handlers of the flash commands, in the handler form of the command table,
// and their usage texts (loadfirmware shares loadfw's, extflashverify
// flashverify's).
#pragma once
#include <cstdint>

extern const char* const USAGE_CONNECT;
extern const char* const USAGE_DISCONNECT;
extern const char* const USAGE_DEVICE;
extern const char* const USAGE_LOADFW;
extern const char* const USAGE_SAVEBIN;
extern const char* const USAGE_ADDMAC;
extern const char* const USAGE_CONFIGMERGE;
extern const char* const USAGE_GETPROP;
extern const char* const USAGE_SETBAUDRATE;
extern const char* const USAGE_LOCKBAUDRATE;
extern const char* const USAGE_PAGEERASE;
extern const char* const USAGE_CHIPERASE;
extern const char* const USAGE_PROGRAM;
extern const char* const USAGE_MODIFY;
extern const char* const USAGE_FLASHREAD;
extern const char* const USAGE_BE64;
extern const char* const USAGE_FLASHID;
extern const char* const USAGE_EXTBE32;
extern const char* const USAGE_EXTBE64;
extern const char* const USAGE_EXTSECTORERASE;
extern const char* const USAGE_EXTCHIPERASE;
extern const char* const USAGE_EXTPROGRAM;
extern const char* const USAGE_EXTFLASHREAD;
extern const char* const USAGE_GDMABEG;
extern const char* const USAGE_FLASHVERIFY;
extern const char* const USAGE_EXTFLASHID;
extern const char* const USAGE_EFUSEBURN;
extern const char* const USAGE_DBGPASSWD;
extern const char* const USAGE_READ_EFUSE;
extern const char* const USAGE_REBOOT;

// Connection commands.
int32_t do_connect(int32_t argc, char** argv);
int32_t do_disconnect(int32_t argc, char** argv);
int32_t do_device(int32_t argc, char** argv);
int32_t do_getprop(int32_t argc, char** argv);
int32_t do_setbaudrate(int32_t argc, char** argv);
int32_t do_lockbaudrate(int32_t argc, char** argv);

// Firmware loader download (loadfw and loadfirmware).
int32_t do_loadfw(int32_t argc, char** argv);

// The program mode field that read_efuse fills: the line "read_efuse ADDR"
// carries the field's address in hexadecimal, and read_efuse writes the
// detected mode only through an address registered here (the one-shot run
// registers its own field); any other address is refused, so an address
// typed at the shell is never written through. nullptr clears it.
// Returns the text that names the field on the line, so the script builds
// it as "read_efuse %s" with this text: the address in upper-case hex
// digits, as many as an address has ("" after clearing). "%p" works too:
// read_efuse takes any hex text of the same value, "0x" optional. The text
// stays valid until the next registration.
const char* read_efuse_register_field(uint32_t* field);

// Internal flash.
int32_t do_pageerase(int32_t argc, char** argv);
int32_t do_be64(int32_t argc, char** argv);
int32_t do_chiperase(int32_t argc, char** argv);
int32_t do_program(int32_t argc, char** argv);
int32_t do_flashverify(int32_t argc, char** argv);
int32_t do_flashread(int32_t argc, char** argv);
int32_t do_savebin(int32_t argc, char** argv);
int32_t do_modify(int32_t argc, char** argv);
int32_t do_flashid(int32_t argc, char** argv);

// OEM configuration region.
int32_t do_addmac(int32_t argc, char** argv);
int32_t do_config_merge(int32_t argc, char** argv);

// eFuse, debug password, mode detection, reboot and GDMA.
int32_t do_efuseburn(int32_t argc, char** argv);
int32_t do_read_efuse(int32_t argc, char** argv);
int32_t do_dbgpasswd(int32_t argc, char** argv);
int32_t do_reboot(int32_t argc, char** argv);
int32_t do_gdmabeg(int32_t argc, char** argv);

// External flash.
int32_t do_extbe32(int32_t argc, char** argv);
int32_t do_extbe64(int32_t argc, char** argv);
int32_t do_extsectorerase(int32_t argc, char** argv);
int32_t do_extchiperase(int32_t argc, char** argv);
int32_t do_extprogram(int32_t argc, char** argv);
int32_t do_extflashread(int32_t argc, char** argv);
int32_t do_extflashverify(int32_t argc, char** argv);
int32_t do_extflashid(int32_t argc, char** argv);
