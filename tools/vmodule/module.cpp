#include "tools/vmodule/module.h"

namespace {
constexpr uint32_t kFactoryImageAddr = 0x804000;
constexpr uint32_t kFactoryImageHeader = 12;
constexpr uint32_t kImageIdOffset = 4;
constexpr uint16_t kFactoryImageId = 0x278F;
constexpr uint8_t kErasedFlash = 0xFF;
constexpr uint8_t kUnburnedEfuse = 0x00;
}  // namespace

std::string module_core::open_stores() {
    std::string why = iflash_.open(opt_.iflash_file, opt_.iflash_base, opt_.iflash_size, kErasedFlash);
    if (why.empty()) why = eflash_.open(opt_.eflash_file, 0, opt_.eflash_size, kErasedFlash);
    if (why.empty()) why = efuse_.open(opt_.efuse_file, 0, opt_.efuse_size, kUnburnedEfuse);
    return why;
}

void module_core::sync_stores() {
    iflash_.sync();
    eflash_.sync();
    efuse_.sync();
}

// A factory image carries its ID at offset 4 of the 12 bytes at 0x804000.
bool module_core::factory_image_present() const {
    if (!iflash_.contains(kFactoryImageAddr, kFactoryImageHeader)) return false;
    const uint8_t* h = iflash_.at(kFactoryImageAddr);
    return (h[kImageIdOffset] | h[kImageIdOffset + 1] << 8) == kFactoryImageId;
}
