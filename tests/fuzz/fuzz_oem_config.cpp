// The OEM configuration block: addmac and configmerge against an in-memory
// flash, with the stored region, the image file and the address text from
// the fuzz input. A refused command leaves the flash as it was; a command
// that succeeds leaves a block whose entries walk to its length, below the
// capacity, holding what was merged.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "commands/connection.h"
#include "commands/oem_config.h"
#include "common/le.h"
#include "fake_platform.h"
#include "link/flash_ops.h"

namespace {

constexpr uint32_t FLASH_BASE = 0x800000;
constexpr uint32_t FLASH_BYTES = 0x4000;
constexpr uint32_t REGION = FLASH_BASE + 0x1000;
std::vector<uint8_t> flash(FLASH_BYTES);

bool inside(uint32_t addr, uint32_t len) {
    return addr >= FLASH_BASE && len <= FLASH_BYTES && addr - FLASH_BASE <= FLASH_BYTES - len;
}

int32_t flash_read(uint32_t addr, uint32_t len, uint8_t* dest) {
    if (!inside(addr, len)) return 1;
    std::memcpy(dest, &flash[addr - FLASH_BASE], len);
    return 0;
}

int32_t flash_erase(uint32_t addr, uint32_t size) {
    if (!inside(addr, size)) return 1;
    std::fill_n(&flash[addr - FLASH_BASE], size, 0xFF);
    return 0;
}

// NOR programming: bits only go from 1 to 0.
int32_t flash_program(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    if (!inside(addr, len)) return 1;
    for (uint32_t i = 0; i < len; ++i) flash[addr - FLASH_BASE + i] &= bytes[i];
    return 0;
}

int32_t flash_verify(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    if (!inside(addr, len)) return 1;
    return std::memcmp(&flash[addr - FLASH_BASE], bytes, len) == 0 ? 0 : 1;
}

flash_ops memory_ops() {
    flash_ops ops{};
    ops.read = flash_read;
    ops.page_erase = flash_erase;
    ops.program = flash_program;
    ops.verify = flash_verify;
    return ops;
}

const flash_ops MEMORY_OPS = memory_ops();
const char* const IMAGE_FILE = "oem.bin";

// The stored block of the region after a successful command.
void check_block(const config_layout& layout, const uint8_t* entry) {
    const uint8_t* region = &flash[REGION - FLASH_BASE];
    const uint32_t length = le16_get(region + layout.length_at());
    if (length >= layout.capacity) std::abort();
    if (!config_entries_well_formed(region + layout.entries_at(), length)) std::abort();
    if (le32_get(region + CONFIG_SIZE_AT) != CONFIG_BLOCK_HEAD + length) std::abort();
    if (entry == nullptr) return;
    // The address entry is in the block.
    for (uint32_t at = 0; at < length; at += config_entry_bytes(region[layout.entries_at() + at + 2]))
        if (std::memcmp(region + layout.entries_at() + at, entry, BT_ENTRY_BYTES) == 0) return;
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-oem");
    return 0;
}

// Input: mode, address text (length byte and text), image (16-bit length and
// bytes), then the region's stored bytes (the rest of the region erased).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::input in(data, size);
    const uint8_t mode = in.u8();
    const std::vector<uint8_t> mac_bytes = in.bytes(in.u8());
    std::string mac(mac_bytes.begin(), mac_bytes.end());
    mac.erase(std::find(mac.begin(), mac.end(), '\0'), mac.end());
    if (mac.empty()) mac = "0";
    const std::vector<uint8_t> image = in.bytes(in.u16() % (CONFIG_IMAGE_BYTES + 64));
    const std::vector<uint8_t> stored = in.bytes(CONFIG_IMAGE_BYTES);

    std::fill(flash.begin(), flash.end(), 0xFF);
    std::copy(stored.begin(), stored.end(), flash.begin() + (REGION - FLASH_BASE));
    const std::vector<uint8_t> before = flash;
    cur_ops = &MEMORY_OPS;
    connection_state = 2;

    char address[32];
    std::snprintf(address, sizeof address, "0x%X", REGION);
    int32_t result;
    uint8_t mac_addr[BT_ADDR_BYTES];
    uint8_t entry[BT_ENTRY_BYTES];
    const bool mac_valid = config_parse_bt_address(mac.c_str(), mac_addr);
    if ((mode & 1) == 0) {
        std::vector<char*> argv = {const_cast<char*>("addmac"), mac.data(), address, nullptr};
        result = do_addmac(3, argv.data());
        if (result == 0) {
            if (!mac_valid) std::abort();
            config_bt_entry(CONFIG_ID_BT_ADDR, mac_addr, entry);
            check_block(CONFIG_LAYOUT_ADDMAC, entry);
        }
    } else {
        FILE* f = std::fopen(IMAGE_FILE, "wb");
        if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0)
            std::abort();
        const bool with_mac = (mode & 2) != 0;
        std::vector<char*> argv = {const_cast<char*>("configmerge"), const_cast<char*>(IMAGE_FILE), address,
                                   mac.data(), nullptr};
        if (!with_mac) argv[3] = nullptr;
        result = do_config_merge(with_mac ? 4 : 3, argv.data());
        const uint16_t stored_length = le16_get(&before[REGION - FLASH_BASE + CONFIG_LAYOUT_MERGE.length_at()]);
        // A merge into a stored block leaves a sound block; an erased region
        // takes the image as it is.
        if (result == 0 && stored_length != CONFIG_REGION_EMPTY) check_block(CONFIG_LAYOUT_MERGE, nullptr);
    }
    if (result != 0 && flash != before) std::abort();
    cur_ops = &hci_ops;
    connection_state = 0;
    return 0;
}
