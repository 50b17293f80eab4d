// Connection commands: connect, disconnect, device, getprop, setbaudrate,
// lockbaudrate, and the connection state every flash command tests first.
#include "commands/connection.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "link/flash_ops.h"
#include "link/serial_port.h"
#include "link/swd.h"
#include "platform/console.h"

int32_t connection_state = 0;

const char* const MSG_NOT_CONNECTED = "please run 'connect' cmd first.\n";

namespace {
const char* const MSG_NO_LOADER = "please run 'loadfw' cmd first.\n";
const char* const MSG_LIST_PORTS = "list all ports: to be implemented.\n";
const char* const MSG_OPEN_ERROR = "open %s error!\n";
const char* const MSG_DISCONNECT_FAIL = "disconnect fail: %d\n";
const char* const MSG_BAUD_OK = "set baudrate: %d successfully\n";
const char* const MSG_PORT_TOO_LONG =
    "connect: the port text is %zu characters long; at most %u are accepted, nothing was opened\n";

// connect's results besides those of the link's open.
constexpr int32_t CONNECT_NO_PORT = 1;       // no port named
constexpr int32_t CONNECT_UNKNOWN_LINK = 2;  // a port of no known kind

constexpr uint32_t DEFAULT_SERIAL_BAUD = 115200;
constexpr uint32_t DEFAULT_SWD_SPEED = 1000;
constexpr size_t LINK_NAME_CHARS = 3;  // "com", "usb", "swd" match on these
constexpr char DEVICE_PATH_START = '/';

enum class link_choice { serial, usb, swd, unknown };

// The word matches on the link name's first three characters, in any case.
bool names_link(const char* word, const char* link_name) {
    for (size_t i = 0; i < LINK_NAME_CHARS; ++i) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c == '\0' || std::tolower(c) != link_name[i]) return false;
    }
    return true;
}

link_choice choose_link(const char* word) {
    if (word[0] == DEVICE_PATH_START || names_link(word, LINK_NAME_SERIAL)) return link_choice::serial;
    if (names_link(word, LINK_NAME_USB)) return link_choice::usb;
    if (names_link(word, LINK_NAME_SWD)) return link_choice::swd;
    return link_choice::unknown;
}

// The optional rate or speed counts only when it is the one further word.
uint32_t rate_argument(int32_t argc, char** argv, uint32_t fallback) {
    return argc == 3 ? cmd_dec(argv[2]) : fallback;
}

int32_t open_link(link_choice link, int32_t argc, char** argv) {
    switch (link) {
        case link_choice::serial:
            // A USB or SWD table left in force by an earlier connection
            // would open its own link: a serial port starts from the table
            // in force at start (the one-shot run has chosen a serial table).
            if (cur_ops == &usb_ops || cur_ops == &swd_ops) cur_ops = &hci_ops;
            return ops_call<&flash_ops::open>(argv[1], rate_argument(argc, argv, DEFAULT_SERIAL_BAUD));
        case link_choice::usb:
            cur_ops = &usb_ops;
            return ops_call<&flash_ops::open>(argv[1], 0u);
        case link_choice::swd:
            cur_ops = &swd_ops;
            return ops_call<&flash_ops::open>(argv[1], rate_argument(argc, argv, DEFAULT_SWD_SPEED));
        case link_choice::unknown:
            break;
    }
    con_err(MSG_OPEN_ERROR, argv[1]);
    return CONNECT_UNKNOWN_LINK;
}

}  // namespace

int32_t connection_guard() {
    if (connection_state == 0) {
        con_err("%s", MSG_NOT_CONNECTED);
        return -1;
    }
    if (connection_state == 1) con_err("%s", MSG_NO_LOADER);
    return 0;
}

int32_t do_connect(int32_t argc, char** argv) {
    if (argc < 2) {
        std::printf("%s", MSG_LIST_PORTS);
        connection_state = 0;
        return CONNECT_NO_PORT;
    }
    // An unknown interface is reported as such, however long the word.
    link_choice link = choose_link(argv[1]);
    size_t len = std::strlen(argv[1]);
    if (link != link_choice::unknown && len > COM_NAME_MAX) {
        con_err(MSG_PORT_TOO_LONG, len, COM_NAME_MAX);
        connection_state = 0;
        return -1;
    }
    int32_t result = open_link(link, argc, argv);
    connection_state = result == 0 ? 1 : 0;
    return result;
}

int32_t do_disconnect(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    if (connection_state == 0) return 0;
    const auto close = ops_get<&flash_ops::close>();
    if (close == nullptr) return OPS_UNAVAILABLE;
    int32_t result = close();
    if (result != 0) {
        con_err(MSG_DISCONNECT_FAIL, result);
        return result;
    }
    connection_state = 0;
    return 0;
}

int32_t do_device(int32_t argc, char** argv) {
    const int32_t r = cmd_opening(cmd_at_least(USAGE_DEVICE, 2), argc);
    if (r != 0) return r;
    // Over another link the family is still selected, for a later SWD
    // connect; the usage text says so as a warning. It ends without a line
    // end: the selection's own line starts on a line of its own.
    if (cur_ops->open != swd_ops.open) {
        cmd_usage(USAGE_DEVICE);
        std::printf("\n");
    }
    return swd_select_device(argv[1]);
}

int32_t do_getprop(int32_t argc, char** argv) {
    (void)argv;
    return cmd_run_slot<&flash_ops::get_prop>(cmd_exactly(USAGE_GETPROP, 1), argc);
}

int32_t do_setbaudrate(int32_t argc, char** argv) {
    const int32_t r = cmd_opening(cmd_exactly(USAGE_SETBAUDRATE, 2), argc);
    if (r != 0) return r;
    uint32_t baud = cmd_dec(argv[1]);
    int32_t result = ops_call<&flash_ops::set_baudrate>(baud);
    if (result == 0) std::printf(MSG_BAUD_OK, static_cast<int>(baud));
    return result;
}

int32_t do_lockbaudrate(int32_t argc, char** argv) {
    return cmd_run_slot<&flash_ops::lock_baudrate>(cmd_exactly(USAGE_LOCKBAUDRATE, 1), argc, argc, argv);
}
