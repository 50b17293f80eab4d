// The SWD device families and the selection that the `device` command makes.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "link/swd.h"
#include "platform/console.h"

namespace {

const char* const MSG_APPLY = "apply %s setting...\n";
const char* const MSG_SELECT_ERROR = "select device name error!\n";
constexpr size_t FAMILY_NAME_CHARS = 5;  // "4420bx" still selects 4420b

}  // namespace

const swd_device_family swd_family_4410a = {
    "4410a", "KVL4410A", 0x20000000, 0x20000000, 0x20010000, 0x20010000, 0x20002000};
const swd_device_family swd_family_4410c = {
    "4410c", "KVL4410C", 0x00200000, 0x00200000, 0x00210000, 0x00210000, 0x00202000};
const swd_device_family swd_family_4420b = {
    "4420b", "KVL4420B", 0x10000000, 0x10000000, 0x10010000, 0x10010000, 0x10002000};

const swd_device_family* swd_device = &swd_family_4410c;

int32_t swd_select_device(const char* name) {
    for (const swd_device_family* f : {&swd_family_4410a, &swd_family_4410c, &swd_family_4420b}) {
        if (std::strncmp(name, f->name, FAMILY_NAME_CHARS) == 0) {
            std::printf(MSG_APPLY, f->setting);
            swd_device = f;
            return 0;
        }
    }
    con_err("%s", MSG_SELECT_ERROR);
    swd_device = nullptr;
    return -1;
}
