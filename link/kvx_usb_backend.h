// The two ways the USB access object reaches a module: a real USB device
// through libusb, or the virtual module over a message socket.
#pragma once
#include <cstdint>
#include <memory>

class kvx_usb_backend {
public:
    virtual ~kvx_usb_backend() = default;
    // True when all n bytes went to the module as one request.
    virtual bool send(const uint8_t* data, uint32_t n) = 0;
    // True when exactly n response bytes were placed in data.
    virtual bool receive(uint8_t* data, uint32_t n) = 0;
};

// nullptr when the device cannot be found, opened or claimed.
std::unique_ptr<kvx_usb_backend> kvx_usb_open_libusb(uint16_t vid, uint16_t pid);
// nullptr when nothing listens at path.
std::unique_ptr<kvx_usb_backend> kvx_usb_open_sim(const char* path);
