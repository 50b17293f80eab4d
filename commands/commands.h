// Handlers of the flash commands, in the handler form of the command table.
#pragma once
#include <cstdint>

// Connection commands.
int32_t do_connect(int32_t argc, char** argv);
int32_t do_disconnect(int32_t argc, char** argv);
int32_t do_device(int32_t argc, char** argv);
int32_t do_getprop(int32_t argc, char** argv);
int32_t do_setbaudrate(int32_t argc, char** argv);
int32_t do_lockbaudrate(int32_t argc, char** argv);

// Firmware loader download (loadfw and loadfirmware).
int32_t do_loadfw(int32_t argc, char** argv);

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

// External flash.
int32_t do_extbe32(int32_t argc, char** argv);
int32_t do_extbe64(int32_t argc, char** argv);
int32_t do_extsectorerase(int32_t argc, char** argv);
int32_t do_extchiperase(int32_t argc, char** argv);
int32_t do_extprogram(int32_t argc, char** argv);
int32_t do_extflashread(int32_t argc, char** argv);
int32_t do_extflashverify(int32_t argc, char** argv);
int32_t do_extflashid(int32_t argc, char** argv);
