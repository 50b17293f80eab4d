// The one USB access object: its life cycle and the byte link's transfers
// through it. Every message here goes to standard output.
#include "link/usb_link.h"

#include <cstdio>
#include <new>

#include "link/kvx_usb.h"
#include "link/trace.h"

CKvxUsbMP* usb_device = nullptr;

namespace {

const char* const MSG_ALREADY_OPEN = "usb port has been opened\n";
const char* const MSG_OPEN_FAILED = "usb port open failed\n";
const char* const MSG_READ_FAILED = "usb read failed\n";
const char* const MSG_WRITE_FAILED = "usb write failed\n";

const char* const TRACE_LINK = "usb";
const char* const TRACE_RATE = "-";

// The third transfer argument of the access object; always 0 here.
constexpr unsigned int USB_TRANSFER_FLAGS = 0;

}  // namespace

int32_t usb_create() {
    // A fresh object replaces one left from an earlier connect; the old one
    // is closed first so its device and interface are released, and only
    // then destroyed, as the access object expects.
    usb_device_close();
    usb_destroy();
    usb_device = new (std::nothrow) CKvxUsbMP();
    return usb_device != nullptr ? 0 : -1;
}

void usb_destroy() {
    if (usb_device == nullptr) return;
    delete usb_device;
    usb_device = nullptr;
}

int32_t usb_device_open() {
    if (usb_device == nullptr) {
        std::printf("%s", MSG_OPEN_FAILED);
        return -1;
    }
    if (usb_device->IsDeviceOpen()) {
        std::printf("%s", MSG_ALREADY_OPEN);
        return 0;
    }
    if (!usb_device->OpenDevice()) {
        std::printf("%s", MSG_OPEN_FAILED);
        return -1;
    }
    return 0;
}

void usb_device_close() {
    if (usb_device != nullptr) usb_device->CloseDevice();
}

int32_t usb_device_read(uint8_t* buf, uint32_t count) {
    const bool ok = usb_device != nullptr && usb_device->MPDataRead(buf, count, USB_TRANSFER_FLAGS) != 0;
    if (trace_on()) {
        if (ok)
            trace_bytes("rx", TRACE_LINK, TRACE_RATE, buf, count);
        else
            trace_text("--", TRACE_LINK, TRACE_RATE, "read of %u bytes failed", count);
    }
    if (ok) return 0;
    std::printf("%s", MSG_READ_FAILED);
    return -1;
}

int32_t usb_device_write(const uint8_t* buf, uint32_t count) {
    // The access object takes a non-const pointer but only reads the request.
    unsigned char* request = const_cast<unsigned char*>(buf);
    const bool ok = usb_device != nullptr && usb_device->MPCmdSend(request, count, USB_TRANSFER_FLAGS) != 0;
    if (trace_on()) {
        if (ok)
            trace_bytes("tx", TRACE_LINK, TRACE_RATE, buf, count);
        else
            trace_text("--", TRACE_LINK, TRACE_RATE, "write of %u bytes failed", count);
    }
    if (!ok) {
        std::printf("%s", MSG_WRITE_FAILED);
        return -1;
    }
    return 0;
}
