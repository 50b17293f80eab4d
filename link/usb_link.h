// The one USB access object and the byte link's use of it.
#pragma once
#include <cstdint>

class CKvxUsbMP;
extern CKvxUsbMP* usb_device;  // absent (nullptr) at start

int32_t usb_create();
void usb_destroy();
int32_t usb_device_open();
void usb_device_close();
int32_t usb_device_read(uint8_t* buf, uint32_t count);
int32_t usb_device_write(const uint8_t* buf, uint32_t count);
