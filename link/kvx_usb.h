// The USB access object. Backend chosen by FLINT_USB_DEVICE when the device is
// opened: "VID:PID" (hex) uses libusb (interface 0, first bulk OUT and IN
// endpoints), "sim:PATH" talks to the virtual module over a message socket,
// unset means no device.
#pragma once

class CKvxUsbMP {
public:
    CKvxUsbMP();
    ~CKvxUsbMP();
    CKvxUsbMP(const CKvxUsbMP&) = delete;
    CKvxUsbMP& operator=(const CKvxUsbMP&) = delete;

    bool IsDeviceOpen();
    bool OpenDevice();
    void CloseDevice();
    // Non-zero when all `count` bytes went to the module as one request.
    int MPCmdSend(unsigned char* data, unsigned int count, unsigned int flags);
    // Non-zero when exactly `count` response bytes were placed in `data`.
    int MPDataRead(unsigned char* data, unsigned int count, unsigned int flags);

private:
    struct backend;
    backend* impl_;
};
