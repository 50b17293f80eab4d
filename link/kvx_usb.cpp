// The USB access object. OpenDevice picks the backend named by
// FLINT_USB_DEVICE: "VID:PID" in hexadecimal opens that USB device,
// "sim:PATH" the virtual module listening at PATH. Unset or malformed: no
// device, so OpenDevice fails. "sim:" on a platform without the virtual
// module's socket (Windows) says so on standard output, beside the USB link's
// other messages, and fails.
#include "link/kvx_usb.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/kvx_usb_backend.h"
#include "platform/platform.h"

struct CKvxUsbMP::backend {
    std::unique_ptr<kvx_usb_backend> device;
};

namespace {

const char* const USB_DEVICE_VAR = "FLINT_USB_DEVICE";
const char* const SIM_PREFIX = "sim:";
const char* const MSG_SIM_UNAVAILABLE =
    "%s \"%s\": the virtual module's socket is not available on this platform; "
    "name the USB device as VID:PID\n";
constexpr size_t USB_ID_DIGITS_MAX = 4;

// 1 to 4 hexadecimal digits, the whole of [text, end); false otherwise.
bool parse_usb_id(const char* text, const char* end, uint16_t* id) {
    const size_t len = static_cast<size_t>(end - text);
    if (len == 0 || len > USB_ID_DIGITS_MAX) return false;
    unsigned value = 0;
    for (const char* p = text; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!std::isxdigit(c)) return false;
        value = value * 16 + static_cast<unsigned>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *id = static_cast<uint16_t>(value);
    return true;
}

std::unique_ptr<kvx_usb_backend> open_named_device() {
    const char* device_text = std::getenv(USB_DEVICE_VAR);
    if (device_text == nullptr || *device_text == '\0') return nullptr;
    const size_t sim_len = std::strlen(SIM_PREFIX);
    if (std::strncmp(device_text, SIM_PREFIX, sim_len) == 0) {
        if (!plat_msgsock_available()) {
            std::printf(MSG_SIM_UNAVAILABLE, USB_DEVICE_VAR, device_text);
            return nullptr;
        }
        return device_text[sim_len] != '\0' ? kvx_usb_open_sim(device_text + sim_len) : nullptr;
    }
    const char* colon = std::strchr(device_text, ':');
    uint16_t vid = 0;
    uint16_t pid = 0;
    if (colon == nullptr || !parse_usb_id(device_text, colon, &vid) ||
        !parse_usb_id(colon + 1, colon + 1 + std::strlen(colon + 1), &pid)) {
        return nullptr;
    }
    return kvx_usb_open_libusb(vid, pid);
}

}  // namespace

CKvxUsbMP::CKvxUsbMP() : impl_(new backend) {}

CKvxUsbMP::~CKvxUsbMP() { delete impl_; }

bool CKvxUsbMP::IsDeviceOpen() { return impl_->device != nullptr; }

bool CKvxUsbMP::OpenDevice() {
    impl_->device.reset();  // release a device still held before claiming it again
    impl_->device = open_named_device();
    return impl_->device != nullptr;
}

void CKvxUsbMP::CloseDevice() { impl_->device.reset(); }

int CKvxUsbMP::MPCmdSend(unsigned char* data, unsigned int count, unsigned int) {
    if (impl_->device == nullptr || data == nullptr) return 0;
    return impl_->device->send(data, count) ? 1 : 0;
}

int CKvxUsbMP::MPDataRead(unsigned char* data, unsigned int count, unsigned int) {
    if (impl_->device == nullptr || data == nullptr) return 0;
    return impl_->device->receive(data, count) ? 1 : 0;
}
