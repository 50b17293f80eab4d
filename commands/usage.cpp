// Usage texts of the flash commands, in the order of the command table.
// Each handler prints its own when a line has the wrong number of words;
// `help WORD` prints the same text through the command table.
#include "commands/commands.h"

const char* const USAGE_CONNECT =
    "Usage:\n\tconnect usb|swd|com[XX] [baudrate/speed]\n"
    "baudrate/speed is option in com[XX] and swd interface.\n";
const char* const USAGE_DISCONNECT =
    "Usage:\n\tdisconnect\n";
const char* const USAGE_DEVICE =
    "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.";
const char* const USAGE_LOADFW =
    "Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
    "\tloadfw --autodetect program_mode\n"
    "\tic cut: KVL4410A KVL4410C_A KVL4410C_B KVL4420B_V1 KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n";
const char* const USAGE_SAVEBIN =
    "Usage\n\tsavebin <file> <addr> <size>\n";
const char* const USAGE_ADDMAC =
    "Usage\n\taddmac <mac> <addr>\n";
const char* const USAGE_CONFIGMERGE =
    "Usage\n\tconfigmerge <file> <addr> [<mac_addr>]\n";
const char* const USAGE_GETPROP =
    "Usage:\n\tgetprop\n";
const char* const USAGE_SETBAUDRATE =
    "Usage:\n\tsetbaudrate [new baudrate]\n";
const char* const USAGE_LOCKBAUDRATE =
    "Usage:\n\tlockbaudrate\n";
const char* const USAGE_PAGEERASE =
    "Usage:\n\tpageerase [start addr] [size]\n";
const char* const USAGE_CHIPERASE =
    "Usage:\n\tchiperase\n";
const char* const USAGE_PROGRAM =
    "Usage:\n\tprogram [image] [addr]\n";
const char* const USAGE_MODIFY =
    "Usage:\n\tmodify [addr] [new values]\n";
const char* const USAGE_FLASHREAD =
    "Usage:\n\tflashread [start addr] [size]\n";
const char* const USAGE_BE64 =
    "Usage:\n\tbe64 [start addr] [size]\n";
const char* const USAGE_FLASHID =
    "Usage:\n\tflashid\n";
const char* const USAGE_EXTBE32 =
    "Usage:\n\textbe32 [start addr] [size]\n";
const char* const USAGE_EXTBE64 =
    "Usage:\n\textbe64 [start addr] [size]\n";
const char* const USAGE_EXTSECTORERASE =
    "Usage:\n\textsectorerase [start addr] [size]\n";
const char* const USAGE_EXTCHIPERASE =
    "Usage:\n\textchiperase\n";
const char* const USAGE_EXTPROGRAM =
    "Usage:\n\textprogram [image] [addr]\n";
const char* const USAGE_EXTFLASHREAD =
    "Usage:\n\textflashread [start addr] [size]\n";
const char* const USAGE_GDMABEG =
    "Usage:\n\tgdmabeg [image size]\n";
const char* const USAGE_FLASHVERIFY =
    "Usage:\n\tflashverify [img name] [start addr]\n";
const char* const USAGE_EXTFLASHID =
    "Usage:\n\textflashid\n";
const char* const USAGE_EFUSEBURN =
    "Usage:\n\tefuseburn [json file]\n";
const char* const USAGE_DBGPASSWD =
    "Usage:\n\tdbgpasswd [password]\n";
const char* const USAGE_READ_EFUSE =
    "Usage:\n\tread_efuse buffer_addr_for_storing_mode\n";
const char* const USAGE_REBOOT =
    "Usage:\n\treboot\n";
