// The five operations tables, the table in force and the interface names.
// Each table lists its 24 slots in their fixed order, one slot a line, so a
// slot is filled by editing its one line. nullptr marks an empty slot.
#include "link/flash_ops.h"

#include "link/link.h"
#include "link/swd.h"
#include "protocol/hci.h"
#include "protocol/loader.h"
#include "platform/console.h"
#include "record/failure.h"

namespace {

const char* const MSG_SLOT_MISSING = "%s is not available on this link\n";
}  // namespace

const char* const LINK_NAME_SERIAL = "com";
const char* const LINK_NAME_USB = "usb";
const char* const LINK_NAME_SWD = "swd";

const flash_ops hci_ops = {
    /* open */              serial_open,
    /* close */             serial_close,
    /* download_fw */       hci_flash_prepare,
    /* get_prop */          nullptr,
    /* set_baudrate */      hci_set_baudrate,
    /* lock_baudrate */     nullptr,
    /* page_erase */        hci_page_erase,
    /* chip_erase */        hci_chip_erase,
    /* program */           hci_program,
    /* read */              hci_read,
    /* block64_erase */     nullptr,
    /* flash_id */          hci_flash_id,
    /* ext_block32_erase */ nullptr,
    /* ext_block64_erase */ nullptr,
    /* ext_sector_erase */  nullptr,
    /* ext_chip_erase */    nullptr,
    /* ext_program */       nullptr,
    /* ext_read */          nullptr,
    /* ext_flash_id */      nullptr,
    /* gdma_begin */        nullptr,
    /* verify */            hci_verify,
    /* ext_verify */        nullptr,
    /* efuse_burn */        nullptr,
    /* reboot */            hci_wdg_reset,
};

const flash_ops loader_ops = {
    /* open */              serial_open,
    /* close */             serial_close,
    /* download_fw */       hci_download_loader,
    /* get_prop */          loader_get_prop,
    /* set_baudrate */      loader_set_baudrate,
    /* lock_baudrate */     nullptr,
    /* page_erase */        loader_sector_erase,
    /* chip_erase */        loader_chip_erase,
    /* program */           loader_program,
    /* read */              loader_read,
    /* block64_erase */     loader_block64_erase,
    /* flash_id */          loader_flash_id,
    /* ext_block32_erase */ loader_ext_block32_erase,
    /* ext_block64_erase */ loader_ext_block64_erase,
    /* ext_sector_erase */  loader_ext_sector_erase,
    /* ext_chip_erase */    loader_ext_chip_erase,
    /* ext_program */       loader_ext_program,
    /* ext_read */          loader_ext_read,
    /* ext_flash_id */      loader_ext_flash_id,
    /* gdma_begin */        nullptr,
    /* verify */            loader_verify,
    /* ext_verify */        loader_ext_verify,
    /* efuse_burn */        loader_efuse_burn,
    /* reboot */            loader_reboot,
};

const flash_ops fcimg_ops = {
    /* open */              serial_open,
    /* close */             serial_close,
    /* download_fw */       hci_download_fc_image,
    /* get_prop */          loader_get_prop,
    /* set_baudrate */      loader_set_baudrate,
    /* lock_baudrate */     nullptr,
    /* page_erase */        loader_sector_erase,
    /* chip_erase */        loader_chip_erase,
    /* program */           loader_program,
    /* read */              loader_read,
    /* block64_erase */     loader_block64_erase,
    /* flash_id */          loader_flash_id,
    /* ext_block32_erase */ loader_ext_block32_erase,
    /* ext_block64_erase */ loader_ext_block64_erase,
    /* ext_sector_erase */  loader_ext_sector_erase,
    /* ext_chip_erase */    loader_ext_chip_erase,
    /* ext_program */       loader_ext_program,
    /* ext_read */          loader_ext_read,
    /* ext_flash_id */      loader_ext_flash_id,
    /* gdma_begin */        nullptr,
    /* verify */            loader_verify,
    /* ext_verify */        loader_ext_verify,
    /* efuse_burn */        loader_efuse_burn,
    /* reboot */            loader_reboot,
};

const flash_ops usb_ops = {
    /* open */              usb_open,
    /* close */             usb_close,
    /* download_fw */       nullptr,
    /* get_prop */          nullptr,
    /* set_baudrate */      nullptr,
    /* lock_baudrate */     nullptr,
    /* page_erase */        loader_sector_erase,
    /* chip_erase */        loader_chip_erase,
    /* program */           loader_program,
    /* read */              loader_read,
    /* block64_erase */     loader_block64_erase,
    /* flash_id */          loader_flash_id,
    /* ext_block32_erase */ nullptr,
    /* ext_block64_erase */ nullptr,
    /* ext_sector_erase */  nullptr,
    /* ext_chip_erase */    nullptr,
    /* ext_program */       nullptr,
    /* ext_read */          nullptr,
    /* ext_flash_id */      loader_ext_flash_id,
    /* gdma_begin */        nullptr,
    /* verify */            loader_verify,
    /* ext_verify */        nullptr,
    /* efuse_burn */        loader_efuse_burn,
    /* reboot */            loader_reboot,
};

const flash_ops swd_ops = {
    /* open */              swd_open,
    /* close */             swd_close,
    /* download_fw */       swd_download_fw,
    /* get_prop */          nullptr,
    /* set_baudrate */      nullptr,
    /* lock_baudrate */     nullptr,
    /* page_erase */        swd_page_erase,
    /* chip_erase */        swd_chip_erase,
    /* program */           swd_program,
    /* read */              swd_read,
    /* block64_erase */     nullptr,
    /* flash_id */          nullptr,
    /* ext_block32_erase */ nullptr,
    /* ext_block64_erase */ nullptr,
    /* ext_sector_erase */  nullptr,
    /* ext_chip_erase */    nullptr,
    /* ext_program */       nullptr,
    /* ext_read */          nullptr,
    /* ext_flash_id */      nullptr,
    /* gdma_begin */        nullptr,
    /* verify */            nullptr,
    /* ext_verify */        nullptr,
    /* efuse_burn */        nullptr,
    /* reboot */            swd_reboot,
};

const flash_ops* cur_ops = &hci_ops;

int32_t ops_call_missing(const char* slot) {
    con_err(MSG_SLOT_MISSING, slot);
    failure_note(failure_class::usage);  // the link in force does not offer it
    return OPS_UNAVAILABLE;
}

const flash_ops* ops_for_program_mode(uint32_t mode) {
    if (mode == HCI_MODE) return &hci_ops;
    if (mode == FACTORY_IMAGE_MODE) return &fcimg_ops;
    return &loader_ops;
}

bool ops_is_serial_table(const flash_ops* ops) {
    return ops == &hci_ops || ops == &loader_ops || ops == &fcimg_ops;
}
