// HCI-mode programming: vendor commands and events spoken by the module's own
// firmware before a loader runs.
#pragma once
#include <cstdint>

constexpr uint32_t HCI_MAX_RW_BYTES = 244;        // read / program data per command
constexpr uint32_t HCI_LOADER_CHUNK_BYTES = 252;  // loader download chunk
constexpr uint32_t HCI_LOADER_MAX_BYTES = 255 * HCI_LOADER_CHUNK_BYTES;  // 64260
constexpr uint32_t DEBUG_PASSWORD_BYTES = 16;
constexpr uint32_t HCI_PAGE_BYTES = 2048;
constexpr uint32_t FACTORY_IMAGE_ADDR = 0x804000;
constexpr uint16_t FACTORY_IMAGE_ID = 0x278F;

// The results of the event check and of the HCI operations besides 0.
constexpr int32_t HCI_FAILED = 1;         // wrong packet type, a cut event, a failed read or write
constexpr int32_t HCI_WRONG_EVENT = 2;    // an event other than Command Complete
constexpr int32_t HCI_STATUS_FAILED = 3;  // the command's status is not 0

// 0, HCI_FAILED, HCI_WRONG_EVENT or HCI_STATUS_FAILED. `len` is the number of
// event bytes actually received: fewer than a whole event fails.
int32_t hci_check_event(const uint8_t* event, uint32_t len);

int32_t hci_chip_erase();
uint32_t hci_flash_id();
int32_t hci_flash_init();
int32_t hci_flash_unlock();
int32_t hci_flash_prepare(uint32_t size, const uint8_t* image);
int32_t hci_page_erase(uint32_t addr, uint32_t size);
// Reads [addr, addr + len) twice (events carry no checksum) and fails
// unless both readings agree; hci_read_once reads it once.
int32_t hci_read(uint32_t addr, uint32_t len, uint8_t* dest);
int32_t hci_read_once(uint32_t addr, uint32_t len, uint8_t* dest);
int32_t hci_program(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t hci_verify(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t hci_detect_mode(uint32_t* mode);
int32_t hci_set_baudrate(uint32_t baud);
int32_t hci_wdg_reset(uint8_t ignored);
int32_t hci_vendor_write(uint32_t addr, uint32_t value);
int32_t hci_vendor_write_nowait(uint32_t addr, uint32_t value);
// 0 after "Send debug password successfully\n"; 1 when the packet could not
// be written whole (nothing answers it, so that is all that is known).
int32_t hci_send_debug_password(const uint8_t password[DEBUG_PASSWORD_BYTES]);
int32_t hci_download_loader(uint32_t size, const uint8_t* image);
int32_t hci_download_fc_image(uint32_t size, const uint8_t* image);
