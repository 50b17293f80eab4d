// The 40 commands in their fixed order: matching is by prefix in this order,
// and `help` lists them in it.
#include <cstdio>

#include "commands/commands.h"
#include "shell/cmd.h"
#include "shell/env.h"
#include "shell/shell.h"

namespace {

const char* const kUsageLoadfw =
    "Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
    "\tloadfw --autodetect program_mode\n"
    "\tic cut: KVL4410A KVL4410C_A KVL4410C_B KVL4420B_V1 KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n";
const char* const kUsageFlashverify = "Usage:\n\tflashverify [img name] [start addr]\n";

// Usage text of each row, by row number.
const char* const kUsage[CMD_TABLE_ROWS] = {
    "Usage:\n\tver\n",
    "Usage:\n\thelp\n",
    "Usage:\n\tshell [cmd] [arguments...]\n",
    "Usage:\n\tquit\n",
    "Usage:\n\tsetenv [env] [value]\n",
    "Usage:\n\tsaveenv\n",
    "Usage:\n\tunsetenv [env]\n",
    "Usage:\n\tprintenv\n",
    "Usage:\n\tconnect usb|swd|com[XX] [baudrate/speed]\n"
    "baudrate/speed is option in com[XX] and swd interface.\n",
    "Usage:\n\tdisconnect\n",
    "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.",
    kUsageLoadfw,
    kUsageLoadfw,
    "Usage\n\tsavebin <file> <addr> <size>\n",
    "Usage\n\taddmac <mac> <addr>\n",
    "Usage\n\tconfigmerge <file> <addr> [<mac_addr>]\n",
    "Usage:\n\tgetprop\n",
    "Usage:\n\tsetbaudrate [new baudrate]\n",
    "Usage:\n\tlockbaudrate\n",
    "Usage:\n\tpageerase [start addr] [size]\n",
    "Usage:\n\tchiperase\n",
    "Usage:\n\tprogram [image] [addr]\n",
    "Usage:\n\tmodify [addr] [new values]\n",
    "Usage:\n\tflashread [start addr] [size]\n",
    "Usage:\n\tbe64 [start addr] [size]\n",
    "Usage:\n\tflashid\n",
    "Usage:\n\textbe32 [start addr] [size]\n",
    "Usage:\n\textbe64 [start addr] [size]\n",
    "Usage:\n\textsectorerase [start addr] [size]\n",
    "Usage:\n\textchiperase\n",
    "Usage:\n\textprogram [image] [addr]\n",
    "Usage:\n\textflashread [start addr] [size]\n",
    "Usage:\n\tgdmabeg [image size]\n",
    kUsageFlashverify,
    kUsageFlashverify,
    "Usage:\n\textflashid\n",
    "Usage:\n\tefuseburn [json file]\n",
    "Usage:\n\tdbgpasswd [password]\n",
    "Usage:\n\tread_efuse buffer_addr_for_storing_mode\n",
    "Usage:\n\treboot\n",
};

template <int Row>
void usage() {
    std::fputs(kUsage[Row], stdout);
}

}  // namespace

cmd_entry cmd_table[CMD_TABLE_ROWS] = {
    {"ver", do_ver, usage<0>, 0, nullptr},
    {"help", do_help, usage<1>, 0, nullptr},
    {"shell", do_shell, usage<2>, 0, nullptr},
    {"exit", do_exit, usage<3>, 0, nullptr},
    {"setenv", do_setenv, usage<4>, 0, nullptr},
    {"saveenv", do_saveenv, usage<5>, 0, nullptr},
    {"unsetenv", do_unsetenv, usage<6>, 0, nullptr},
    {"printenv", do_printenv, usage<7>, 0, nullptr},
    {"connect", do_connect, usage<8>, 0, nullptr},
    {"disconnect", do_disconnect, usage<9>, 0, nullptr},
    {"device", do_device, usage<10>, 0, nullptr},
    {"loadfirmware", do_loadfw, usage<11>, 0, nullptr},
    {"loadfw", do_loadfw, usage<12>, 0, nullptr},
    {"savebin", do_savebin, usage<13>, 0, nullptr},
    {"addmac", cmd_not_available, usage<14>, 0, nullptr},
    {"configmerge", cmd_not_available, usage<15>, 0, nullptr},
    {"getprop", do_getprop, usage<16>, 0, nullptr},
    {"setbaudrate", do_setbaudrate, usage<17>, 0, nullptr},
    {"lockbaudrate", do_lockbaudrate, usage<18>, 0, nullptr},
    {"pageerase", do_pageerase, usage<19>, 0, nullptr},
    {"chiperase", do_chiperase, usage<20>, 0, nullptr},
    {"program", do_program, usage<21>, 0, nullptr},
    {"modify", do_modify, usage<22>, 0, nullptr},
    {"flashread", do_flashread, usage<23>, 0, nullptr},
    {"be64", do_be64, usage<24>, 0, nullptr},
    {"flashid", do_flashid, usage<25>, 0, nullptr},
    {"extbe32", do_extbe32, usage<26>, 0, nullptr},
    {"extbe64", do_extbe64, usage<27>, 0, nullptr},
    {"extsectorerase", do_extsectorerase, usage<28>, 0, nullptr},
    {"extchiperase", do_extchiperase, usage<29>, 0, nullptr},
    {"extprogram", do_extprogram, usage<30>, 0, nullptr},
    {"extflashread", do_extflashread, usage<31>, 0, nullptr},
    {"gdmabeg", cmd_not_available, usage<32>, 0, nullptr},
    {"flashverify", do_flashverify, usage<33>, 0, nullptr},
    {"extflashverify", do_extflashverify, usage<34>, 0, nullptr},
    {"extflashid", do_extflashid, usage<35>, 0, nullptr},
    {"efuseburn", cmd_not_available, usage<36>, 0, nullptr},
    {"dbgpasswd", cmd_not_available, usage<37>, 0, nullptr},
    {"read_efuse", cmd_not_available, usage<38>, 0, nullptr},
    {"reboot", cmd_not_available, usage<39>, 0, nullptr},
};
