#include "tools/vmodule/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

const char kUsage[] =
    "Usage: vmodule [options]\n"
    "A virtual module: plays a module's ROM (vendor HCI commands) and its firmware loader\n"
    "(framed loader protocol) on a pseudo-terminal, and the loader on a USB message socket.\n"
    "When ready it prints one line \"vmodule ready: <pty slave path>\" to standard output.\n"
    "\n"
    "Lines:\n"
    "  --pty-link PATH         also make PATH a symbolic link to the pty slave\n"
    "  --usb-socket PATH       serve USB sessions on a SOCK_SEQPACKET socket at PATH\n"
    "                          (one message per request and per answer; always the loader)\n"
    "  --no-rate-follow        do not compare the host's line rate with the module's\n"
    "  --reset-on-close        power the module off and on when the last host closes the pty\n"
    "\n"
    "Memory (backing files are mapped shared, created or extended when short):\n"
    "  --iflash FILE           internal flash (erased: 0xFF)\n"
    "  --eflash FILE           external flash (erased: 0xFF)\n"
    "  --efuse FILE            eFuse store (unburned: 0x00; a burn ORs its bytes in from offset 0)\n"
    "  --iflash-base ADDR      internal flash address (default 0x800000)\n"
    "  --iflash-size SIZE      internal flash size (default 0x100000)\n"
    "  --eflash-size SIZE      external flash size (default 0x400000; addresses start at 0)\n"
    "  --efuse-size SIZE       eFuse store size (default 0x400)\n"
    "\n"
    "Identity:\n"
    "  --signature WORD        chip signature word at 0x19000 over HCI (default 0x215DF640)\n"
    "  --flash-id ID           internal flash ID (default 0x164020; HCI gives 32 bits, the loader 24)\n"
    "  --ext-flash-id ID       external flash ID (default 0x1640EF)\n"
    "  --boot hci|loader       power-on state (default hci)\n"
    "  --probe-status N        status of the mode probe FC61 (default 0x0C when flash holds a\n"
    "                          factory image, ID 0x278F at offset 4 of 0x804000, else 0)\n"
    "  --prop-id ID            module ID of the property record (default 0x4420)\n"
    "  --prop-name NAME        module name, at most 16 bytes (default KVL4420B_V3)\n"
    "  --prop-ram-start ADDR   RAM for SWD, start (default 0x20000000)\n"
    "  --prop-ram-size SIZE    RAM for SWD, size (default 0x8000)\n"
    "\n"
    "Timing:\n"
    "  --pace                  move every byte at the line rate (10 bits a byte), both ways\n"
    "  --flash-times           model flash work: 4 KiB sector erase 40 ms, 32 KiB block 120 ms,\n"
    "                          64 KiB block 150 ms, 2 KiB HCI page 20 ms, chip erase 2000 ms per\n"
    "                          MiB, program 3 us per byte, eFuse burn 100 us per byte\n"
    "  --time-scale F          multiply those times by F (default 1)\n"
    "\n"
    "Faults (repeatable):\n"
    "  --fault OP:KIND[:COUNT[:SKIP]]\n"
    "      OP     loader code or HCI opcode in hex (1032, fc2e, fc20...), or any\n"
    "      KIND   badcrc     answer with a wrong CRC (HCI events: last byte flipped)\n"
    "             status=N   refuse with status N (nothing is done; unanswered commands stay silent)\n"
    "             short=N    send only the first N bytes of the answer\n"
    "             silence    send no answer (the work is done)\n"
    "             late=MS    answer MS milliseconds late (the module stays busy)\n"
    "             garbage=N  send N junk bytes before the answer\n"
    "             corrupt    store one byte of the write wrong (programs and eFuse burns)\n"
    "      COUNT  matching requests affected (default 1; 0: all of them)\n"
    "      SKIP   matching requests left alone first (default 0)\n"
    "\n"
    "Log:\n"
    "  --log FILE              every request and answer in hex, with direction, state and rate\n"
    "  --loader-file FILE      save every loader that is started (the downloaded bytes) to FILE\n"
    "  -v, --verbose           echo the log to standard error\n"
    "  -h, --help              this text\n"
    "\n"
    "Ends on SIGTERM or SIGINT after syncing the memory files.\n";

enum opt_id {
    o_pty_link = 256, o_usb_socket, o_no_rate_follow, o_reset_on_close, o_iflash, o_eflash, o_efuse, o_iflash_base,
    o_iflash_size, o_eflash_size, o_efuse_size, o_signature, o_flash_id, o_ext_flash_id, o_boot,
    o_probe_status, o_prop_id, o_prop_name, o_prop_ram_start, o_prop_ram_size, o_pace,
    o_flash_times, o_time_scale, o_fault, o_log, o_loader_file,
};

const option kLong[] = {
    {"pty-link", required_argument, nullptr, o_pty_link},
    {"usb-socket", required_argument, nullptr, o_usb_socket},
    {"no-rate-follow", no_argument, nullptr, o_no_rate_follow},
    {"reset-on-close", no_argument, nullptr, o_reset_on_close},
    {"iflash", required_argument, nullptr, o_iflash},
    {"eflash", required_argument, nullptr, o_eflash},
    {"efuse", required_argument, nullptr, o_efuse},
    {"iflash-base", required_argument, nullptr, o_iflash_base},
    {"iflash-size", required_argument, nullptr, o_iflash_size},
    {"eflash-size", required_argument, nullptr, o_eflash_size},
    {"efuse-size", required_argument, nullptr, o_efuse_size},
    {"signature", required_argument, nullptr, o_signature},
    {"flash-id", required_argument, nullptr, o_flash_id},
    {"ext-flash-id", required_argument, nullptr, o_ext_flash_id},
    {"boot", required_argument, nullptr, o_boot},
    {"probe-status", required_argument, nullptr, o_probe_status},
    {"prop-id", required_argument, nullptr, o_prop_id},
    {"prop-name", required_argument, nullptr, o_prop_name},
    {"prop-ram-start", required_argument, nullptr, o_prop_ram_start},
    {"prop-ram-size", required_argument, nullptr, o_prop_ram_size},
    {"pace", no_argument, nullptr, o_pace},
    {"flash-times", no_argument, nullptr, o_flash_times},
    {"time-scale", required_argument, nullptr, o_time_scale},
    {"fault", required_argument, nullptr, o_fault},
    {"log", required_argument, nullptr, o_log},
    {"loader-file", required_argument, nullptr, o_loader_file},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

constexpr uint32_t kMaxStore = 0x10000000;  // 256 MiB
constexpr size_t kNameField = 16;

int refuse(const char* what, const char* value, const char* why) {
    std::fprintf(stderr, "vmodule: %s '%s': %s (see vmodule --help)\n", what, value, why);
    return 2;
}

// A 32-bit number, decimal or 0x-hexadecimal.
bool number(const char* s, uint32_t& out) {
    if (!*s || *s == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, 0);
    if (errno || *end || v > 0xFFFFFFFFul) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int take(int id, const char* arg, vm_options& opt) {
    uint32_t v = 0;
    auto num = [&](uint32_t& field) { return number(arg, field) ? -1 : refuse("bad number", arg, "expected decimal or 0x-hex"); };
    auto size = [&](uint32_t& field) {
        if (!number(arg, v) || v == 0 || v > kMaxStore) return refuse("bad size", arg, "expected 1 to 0x10000000");
        field = v;
        return -1;
    };
    switch (id) {
    case o_pty_link: opt.pty_link = arg; return -1;
    case o_usb_socket: opt.usb_socket = arg; return -1;
    case o_no_rate_follow: opt.follow_rate = false; return -1;
    case o_reset_on_close: opt.reset_on_close = true; return -1;
    case o_iflash: opt.iflash_file = arg; return -1;
    case o_eflash: opt.eflash_file = arg; return -1;
    case o_efuse: opt.efuse_file = arg; return -1;
    case o_iflash_base: return num(opt.iflash_base);
    case o_iflash_size: return size(opt.iflash_size);
    case o_eflash_size: return size(opt.eflash_size);
    case o_efuse_size: return size(opt.efuse_size);
    case o_signature: return num(opt.signature);
    case o_flash_id: return num(opt.flash_id);
    case o_ext_flash_id: return num(opt.ext_flash_id);
    case o_boot:
        if (std::string(arg) == "hci") opt.boot = boot_state::hci;
        else if (std::string(arg) == "loader") opt.boot = boot_state::loader;
        else return refuse("bad boot state", arg, "expected hci or loader");
        return -1;
    case o_probe_status:
        if (!number(arg, v) || v > 0xFF) return refuse("bad status", arg, "expected 0 to 255");
        opt.probe_status = static_cast<int>(v);
        return -1;
    case o_prop_id: return num(opt.prop_id);
    case o_prop_name:
        if (std::string(arg).size() > kNameField) return refuse("name too long", arg, "at most 16 bytes");
        opt.prop_name = arg;
        return -1;
    case o_prop_ram_start: return num(opt.prop_ram_start);
    case o_prop_ram_size: return num(opt.prop_ram_size);
    case o_pace: opt.pace = true; return -1;
    case o_flash_times: opt.flash_times = true; return -1;
    case o_time_scale: {
        char* end = nullptr;
        double f = std::strtod(arg, &end);
        if (*end || !(f >= 0 && f <= 1000)) return refuse("bad time scale", arg, "expected 0 to 1000");
        opt.time_scale = f;
        return -1;
    }
    case o_fault: {
        fault_rule r;
        std::string why = parse_fault(arg, r);
        if (!why.empty()) return refuse("bad fault", arg, why.c_str());
        opt.faults.push_back(r);
        return -1;
    }
    case o_log: opt.log_file = arg; return -1;
    case o_loader_file: opt.loader_file = arg; return -1;
    case 'v': opt.verbose = true; return -1;
    default: return 2;
    }
}

}  // namespace

int parse_options(int argc, char** argv, vm_options& opt) {
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "vh", kLong, nullptr)) != -1) {
        if (c == 'h') {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (c == '?') {
            const char* bad = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
            return refuse("unknown option or missing value", bad, "not taken");
        }
        int rc = take(c, optarg, opt);
        if (rc >= 0) return rc;
    }
    if (optind < argc) return refuse("unexpected argument", argv[optind], "vmodule takes options only");
    if (static_cast<uint64_t>(opt.iflash_base) + opt.iflash_size > 0x100000000ull)
        return refuse("internal flash", "base + size", "passes the end of the address space");
    return -1;
}
