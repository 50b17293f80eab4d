// The USB access object's real device through libusb-1.0: interface 0 of the
// device with the given vendor and product IDs, its first bulk OUT and bulk
// IN endpoints. One bulk transfer per request and per response. The same code
// serves both platforms: on Linux through usbfs, on Windows through the
// device's WinUSB (or libusbK) driver.
#include "link/kvx_usb_backend.h"
#include "common/timing.h"

#include <libusb.h>

namespace {

constexpr int USB_INTERFACE = 0;

struct bulk_endpoints {
    uint8_t out = 0;
    uint8_t in = 0;
};

// The first bulk OUT and first bulk IN endpoint of interface 0, setting 0.
bool find_bulk_endpoints(libusb_device* dev, bulk_endpoints* eps) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0) return false;
    bool have_out = false;
    bool have_in = false;
    if (cfg->bNumInterfaces > USB_INTERFACE && cfg->interface[USB_INTERFACE].num_altsetting > 0) {
        const libusb_interface_descriptor& alt = cfg->interface[USB_INTERFACE].altsetting[0];
        for (uint8_t i = 0; i < alt.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[i];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            const bool is_in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            if (is_in && !have_in) {
                eps->in = ep.bEndpointAddress;
                have_in = true;
            } else if (!is_in && !have_out) {
                eps->out = ep.bEndpointAddress;
                have_out = true;
            }
        }
    }
    libusb_free_config_descriptor(cfg);
    return have_out && have_in;
}

class libusb_backend : public kvx_usb_backend {
public:
    libusb_backend(libusb_context* ctx, libusb_device_handle* handle, bulk_endpoints eps,
                   bool reattach)
        : ctx_(ctx), handle_(handle), eps_(eps), reattach_(reattach) {}

    ~libusb_backend() override {
        libusb_release_interface(handle_, USB_INTERFACE);
        if (reattach_) libusb_attach_kernel_driver(handle_, USB_INTERFACE);
        libusb_close(handle_);
        libusb_exit(ctx_);
    }

    libusb_backend(const libusb_backend&) = delete;
    libusb_backend& operator=(const libusb_backend&) = delete;

    bool send(const uint8_t* data, uint32_t n) override {
        // libusb takes a non-const buffer for both directions; OUT only reads it.
        return transfer(eps_.out, const_cast<uint8_t*>(data), n);
    }

    bool receive(uint8_t* data, uint32_t n) override { return transfer(eps_.in, data, n); }

private:
    bool transfer(uint8_t endpoint, uint8_t* data, uint32_t n) {
        if (n > static_cast<uint32_t>(INT32_MAX)) return false;
        int moved = 0;
        const int r = libusb_bulk_transfer(handle_, endpoint, data, static_cast<int>(n), &moved,
                                           KVX_USB_TRANSFER_TIMEOUT_MS);
        return r == 0 && static_cast<uint32_t>(moved) == n;
    }

    libusb_context* ctx_;
    libusb_device_handle* handle_;
    bulk_endpoints eps_;
    bool reattach_;
};

// Detaches a kernel driver bound to the interface; true in *detached when
// one was, so it can be given back at close. Windows has no such drivers to
// detach (libusb reports the query as not supported): the interface is
// claimed directly.
bool take_interface(libusb_device_handle* handle, bool* detached) {
    *detached = false;
    if (libusb_kernel_driver_active(handle, USB_INTERFACE) == 1) {
        if (libusb_detach_kernel_driver(handle, USB_INTERFACE) != 0) return false;
        *detached = true;
    }
    if (libusb_claim_interface(handle, USB_INTERFACE) == 0) return true;
    if (*detached) libusb_attach_kernel_driver(handle, USB_INTERFACE);
    return false;
}

}  // namespace

std::unique_ptr<kvx_usb_backend> kvx_usb_open_libusb(uint16_t vid, uint16_t pid) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return nullptr;
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx, vid, pid);
    bulk_endpoints eps;
    bool detached = false;
    if (handle != nullptr && find_bulk_endpoints(libusb_get_device(handle), &eps) &&
        take_interface(handle, &detached)) {
        return std::make_unique<libusb_backend>(ctx, handle, eps, detached);
    }
    if (handle != nullptr) libusb_close(handle);
    libusb_exit(ctx);
    return nullptr;
}
