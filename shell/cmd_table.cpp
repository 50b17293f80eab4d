// The 40 commands in their fixed order: matching is by prefix in this order,
// and `help` lists them in it.
#include <cstdio>

#include "commands/commands.h"
#include "shell/cmd.h"
#include "shell/env.h"
#include "shell/shell.h"

namespace {

// Usage texts of the shell's own commands; the flash commands keep theirs
// beside their handlers.
const char* const USAGE_VER = "Usage:\n\tver\n";
const char* const USAGE_HELP = "Usage:\n\thelp\n";
const char* const USAGE_SHELL = "Usage:\n\tshell [cmd] [arguments...]\n";
const char* const USAGE_EXIT = "Usage:\n\tquit\n";
const char* const USAGE_SETENV = "Usage:\n\tsetenv [env] [value]\n";
const char* const USAGE_SAVEENV = "Usage:\n\tsaveenv\n";
const char* const USAGE_UNSETENV = "Usage:\n\tunsetenv [env]\n";
const char* const USAGE_PRINTENV = "Usage:\n\tprintenv\n";

template <const char* const* Text>
void usage() {
    std::fputs(*Text, stdout);
}

}  // namespace

cmd_entry cmd_table[CMD_TABLE_ROWS] = {
    {"ver", do_ver, usage<&USAGE_VER>, 0, nullptr},
    {"help", do_help, usage<&USAGE_HELP>, 0, nullptr},
    {"shell", do_shell, usage<&USAGE_SHELL>, 0, nullptr},
    {"exit", do_exit, usage<&USAGE_EXIT>, 0, nullptr},
    {"setenv", do_setenv, usage<&USAGE_SETENV>, 0, nullptr},
    {"saveenv", do_saveenv, usage<&USAGE_SAVEENV>, 0, nullptr},
    {"unsetenv", do_unsetenv, usage<&USAGE_UNSETENV>, 0, nullptr},
    {"printenv", do_printenv, usage<&USAGE_PRINTENV>, 0, nullptr},
    {"connect", do_connect, usage<&USAGE_CONNECT>, 0, nullptr},
    {"disconnect", do_disconnect, usage<&USAGE_DISCONNECT>, 0, nullptr},
    {"device", do_device, usage<&USAGE_DEVICE>, 0, nullptr},
    {"loadfirmware", do_loadfw, usage<&USAGE_LOADFW>, 0, nullptr},
    {"loadfw", do_loadfw, usage<&USAGE_LOADFW>, 0, nullptr},
    {"savebin", do_savebin, usage<&USAGE_SAVEBIN>, 0, nullptr},
    {"addmac", do_addmac, usage<&USAGE_ADDMAC>, 0, nullptr},
    {"configmerge", do_config_merge, usage<&USAGE_CONFIGMERGE>, 0, nullptr},
    {"getprop", do_getprop, usage<&USAGE_GETPROP>, 0, nullptr},
    {"setbaudrate", do_setbaudrate, usage<&USAGE_SETBAUDRATE>, 0, nullptr},
    {"lockbaudrate", do_lockbaudrate, usage<&USAGE_LOCKBAUDRATE>, 0, nullptr},
    {"pageerase", do_pageerase, usage<&USAGE_PAGEERASE>, 0, nullptr},
    {"chiperase", do_chiperase, usage<&USAGE_CHIPERASE>, 0, nullptr},
    {"program", do_program, usage<&USAGE_PROGRAM>, 0, nullptr},
    {"modify", do_modify, usage<&USAGE_MODIFY>, 0, nullptr},
    {"flashread", do_flashread, usage<&USAGE_FLASHREAD>, 0, nullptr},
    {"be64", do_be64, usage<&USAGE_BE64>, 0, nullptr},
    {"flashid", do_flashid, usage<&USAGE_FLASHID>, 0, nullptr},
    {"extbe32", do_extbe32, usage<&USAGE_EXTBE32>, 0, nullptr},
    {"extbe64", do_extbe64, usage<&USAGE_EXTBE64>, 0, nullptr},
    {"extsectorerase", do_extsectorerase, usage<&USAGE_EXTSECTORERASE>, 0, nullptr},
    {"extchiperase", do_extchiperase, usage<&USAGE_EXTCHIPERASE>, 0, nullptr},
    {"extprogram", do_extprogram, usage<&USAGE_EXTPROGRAM>, 0, nullptr},
    {"extflashread", do_extflashread, usage<&USAGE_EXTFLASHREAD>, 0, nullptr},
    {"gdmabeg", do_gdmabeg, usage<&USAGE_GDMABEG>, 0, nullptr},
    {"flashverify", do_flashverify, usage<&USAGE_FLASHVERIFY>, 0, nullptr},
    {"extflashverify", do_extflashverify, usage<&USAGE_FLASHVERIFY>, 0, nullptr},
    {"extflashid", do_extflashid, usage<&USAGE_EXTFLASHID>, 0, nullptr},
    {"efuseburn", do_efuseburn, usage<&USAGE_EFUSEBURN>, 0, nullptr},
    {"dbgpasswd", do_dbgpasswd, usage<&USAGE_DBGPASSWD>, 0, nullptr},
    {"read_efuse", do_read_efuse, usage<&USAGE_READ_EFUSE>, 0, nullptr},
    {"reboot", do_reboot, usage<&USAGE_REBOOT>, 0, nullptr},
};
