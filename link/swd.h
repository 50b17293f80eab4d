// The SWD link through the J-Link probe: the operations of swd_ops, the
// device families and the mailbox in the module's RAM that the loader
// running there serves.
#pragma once
#include <cstdint>

// A device family: where its loader goes and where its mailbox lies.
struct swd_device_family {
    const char* name;      // "4410a", matched on its five characters
    const char* setting;   // "KVL4410A", shown when it is applied
    uint32_t load_addr;    // the loader image is written here
    uint32_t start_addr;   // written to the PC
    uint32_t msp;          // initial main stack pointer
    uint32_t psp;          // initial process stack pointer
    uint32_t mailbox_addr;
};

extern const swd_device_family swd_family_4410a;
extern const swd_device_family swd_family_4410c;
extern const swd_device_family swd_family_4420b;

// The family in force: 4410c at start, nullptr after a failed selection
// (every SWD operation but close then refuses to run).
extern const swd_device_family* swd_device;

// Compares the first five characters of `name` with 4410a, 4410c and 4420b.
// On a match prints "apply KVL.... setting...\n" and makes that family
// current: 0. Otherwise "select device name error!\n", no family, -1.
int32_t swd_select_device(const char* name);

// Mailbox commands, and the layout of the mailbox at the family's address.
enum swd_mailbox_command : uint32_t {
    SWD_CMD_READ = 2,
    SWD_CMD_PROGRAM = 3,
    SWD_CMD_PAGE_ERASE = 4,
    SWD_CMD_CHIP_ERASE = 5,
};
constexpr uint32_t SWD_MAILBOX_HEADER = 12;      // command/status, address, length
constexpr uint32_t SWD_MAILBOX_DATA = 0xC000;    // the largest chunk
constexpr uint32_t SWD_CHIP_ERASE_REQUEST = 4;   // chip erase sends its command word only

// The wait (common/timing.h) for `bytes` bytes still to be done, in milliseconds.
uint32_t swd_wait_ms(uint32_t bytes);

// Register indexes of the probe's register writes.
constexpr int SWD_REG_PC = 15;
constexpr int SWD_REG_MSP = 17;
constexpr int SWD_REG_PSP = 18;

// Results beyond those of the probe calls.
constexpr int32_t SWD_NO_PROBE_LIBRARY = -5;  // the library or an entry point is missing
constexpr int32_t SWD_NO_DEVICE = -6;         // no device family selected
constexpr int32_t SWD_STATUS_UNREAD = -7;     // the status word could not be read
constexpr int32_t SWD_SHORT_WRITE = -8;       // the probe wrote fewer mailbox bytes than asked
constexpr int32_t SWD_INTERRUPTED = -9;       // the run was interrupted before the request

// swd_ops.
int32_t swd_open(const char* name, uint32_t speed);  // 0, -1 .. -4
int32_t swd_close();
int32_t swd_download_fw(uint32_t size, const uint8_t* image);  // 0, -1 .. -3
int32_t swd_read(uint32_t addr, uint32_t len, uint8_t* dest);
int32_t swd_program(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t swd_page_erase(uint32_t addr, uint32_t size);
int32_t swd_chip_erase();
int32_t swd_reboot(uint8_t mode);
