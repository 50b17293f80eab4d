// The byte link over USB and the USB access object, against a small module
// of the test's own behind the "sim:" message socket, and the operations
// tables' fixed entries.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "common/crc16.h"
#include "link/flash_ops.h"
#include "link/kvx_usb.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "link/usb_link.h"
#include "protocol/hci.h"
#include "protocol/loader.h"
#include "link/env.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using bytes = std::vector<uint8_t>;

bytes with_crc(bytes frame) {
    const uint16_t crc = crc16(0, frame.data(), static_cast<uint32_t>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A loader-like module on a SOCK_SEQPACKET socket: answers every request
// message with what `answer` makes of it (nothing sent for an empty answer
// with `close_instead` set: the connection is closed instead).
class SimModule {
public:
    using answer_fn = std::function<bytes(const bytes&)>;

    explicit SimModule(answer_fn answer) : answer_(std::move(answer)) {
        const char* tmp = std::getenv("FLINT_TEST_TMP");
        std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
        std::system(("mkdir -p '" + dir + "'").c_str());
        path_ = dir + "/link-sim-" + std::to_string(getpid()) + ".sock";
        unlink(path_.c_str());
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 4) != 0) {
            ADD_FAILURE() << "cannot listen at " << path_;
        }
        server_ = std::thread([this] { serve(); });
    }

    ~SimModule() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        server_.join();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (int conn : conns_) shutdown(conn, SHUT_RDWR);
        }
        for (std::thread& t : talkers_) t.join();
        for (int conn : conns_) close(conn);
        close(listener_);
        unlink(path_.c_str());
    }

    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    std::string device() const { return "sim:" + path_; }

    std::vector<bytes> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // The connections accepted so far, once `expected` of them were (or
    // after two seconds without).
    int connections(int expected) {
        std::unique_lock<std::mutex> lock(mutex_);
        accepted_.wait_for(lock, std::chrono::seconds(2),
                           [&] { return static_cast<int>(conns_.size()) >= expected; });
        return static_cast<int>(conns_.size());
    }

private:
    void serve() {
        while (!stop_) {
            const int conn = accept(listener_, nullptr, nullptr);
            if (conn < 0) return;
            std::lock_guard<std::mutex> lock(mutex_);
            conns_.push_back(conn);
            talkers_.emplace_back([this, conn] { talk(conn); });
            accepted_.notify_all();
        }
    }

    void talk(int conn) {
        bytes buf(70000);
        for (;;) {
            const ssize_t n = recv(conn, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            const bytes request(buf.begin(), buf.begin() + n);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            const bytes reply = answer_(request);
            if (reply.empty()) break;  // hang up instead of answering
            if (send(conn, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
        }
        shutdown(conn, SHUT_RDWR);  // closed by the destructor, after every talker ended
    }

    answer_fn answer_;
    std::string path_;
    int listener_ = -1;
    std::thread server_;
    std::atomic<bool> stop_{false};
    std::condition_variable accepted_;
    std::mutex mutex_;
    std::vector<bytes> requests_;
    std::vector<int> conns_;
    std::vector<std::thread> talkers_;
};

// A 10-byte loader response with status 0 and the request's command code in
// bytes 1 and 2, so a test can see which request it answers.
bytes status_response(const bytes& request) {
    return with_crc({0x87, request.size() > 2 ? request[1] : uint8_t{0}, 0x10, 0x00, 0, 0, 0, 0});
}

class UsbLink : public testing::Test {
protected:
    void SetUp() override {
        env_unset("DATA_SIZE_PER_PACKET");
        unsetenv("FLINT_USB_DEVICE");
    }
    void TearDown() override {
        usb_close();
        unsetenv("FLINT_USB_DEVICE");
        link_kind = LINK_SERIAL;
        packet_size = PACKET_SIZE_DEFAULT;
    }

    captured open() {
        return run_captured([] { return usb_open("usb", 0); });
    }
};

TEST_F(UsbLink, FrameWrittenIsAnsweredThroughRead) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    const captured o = open();
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Connecting usb sucessed\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(link_kind, LINK_USB);

    const bytes request = with_crc({0x87, 0x31, 0x10});  // chip erase
    EXPECT_EQ(link_write(request.data(), static_cast<uint16_t>(request.size())), request.size());
    bytes response(10);
    EXPECT_EQ(link_read(response.data(), 10), 10);
    EXPECT_EQ(response, status_response(request));
    ASSERT_EQ(module.requests().size(), 1u);
    EXPECT_EQ(module.requests()[0], request);  // one message, unchanged
}

TEST_F(UsbLink, LargestRequestTravelsAsOneMessage) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    ASSERT_EQ(open().result, 0);
    bytes request = {0x87, 0x32, 0x10};
    request.resize(65535, 0x5A);
    EXPECT_EQ(link_write(request.data(), 65535), 65535);
    bytes response(10);
    EXPECT_EQ(link_read(response.data(), 10), 10);
    ASSERT_EQ(module.requests().size(), 1u);
    EXPECT_EQ(module.requests()[0], request);
}

TEST_F(UsbLink, ResponseOfAnyOtherLengthIsAFailedRead) {
    struct Case {
        size_t length;
    } cases[] = {{9}, {11}, {1}, {54}};
    for (const Case& c : cases) {
        SimModule module([&](const bytes&) { return bytes(c.length, 0x42); });
        setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
        ASSERT_EQ(open().result, 0);
        const bytes request = with_crc({0x87, 0x00, 0x10});
        link_write(request.data(), static_cast<uint16_t>(request.size()));
        bytes response(10);
        CaptureStdout();
        EXPECT_EQ(link_read(response.data(), 10), 0) << c.length;
        EXPECT_EQ(GetCapturedStdout(), "usb read failed\n");
        usb_close();
    }
}

TEST_F(UsbLink, ModuleThatHangsUpFailsTheTransfer) {
    SimModule module([](const bytes&) { return bytes(); });
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    ASSERT_EQ(open().result, 0);
    const bytes request = with_crc({0x87, 0x3D, 0x10});
    EXPECT_EQ(link_write(request.data(), static_cast<uint16_t>(request.size())), request.size());
    bytes response(14);
    CaptureStdout();
    EXPECT_EQ(link_read(response.data(), 14), 0);
    EXPECT_EQ(GetCapturedStdout(), "usb read failed\n");
    CaptureStdout();
    EXPECT_EQ(link_write(request.data(), static_cast<uint16_t>(request.size())), 0);
    EXPECT_EQ(GetCapturedStdout(), "usb write failed\n");
}

TEST_F(UsbLink, SecondConnectWithoutDisconnectSucceeds) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    ASSERT_EQ(open().result, 0);
    const captured again = open();
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(again.out, "Connecting usb sucessed\n");
    const bytes request = with_crc({0x87, 0x41, 0x10, 0x00});
    link_write(request.data(), static_cast<uint16_t>(request.size()));
    bytes response(10);
    EXPECT_EQ(link_read(response.data(), 10), 10);
    EXPECT_EQ(module.connections(2), 2);
}

TEST_F(UsbLink, AlreadyOpenDeviceIsReportedAndKept) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    ASSERT_EQ(open().result, 0);
    CaptureStdout();
    EXPECT_EQ(usb_device_open(), 0);
    EXPECT_EQ(GetCapturedStdout(), "usb port has been opened\n");
    EXPECT_EQ(module.connections(2), 1);
}

TEST_F(UsbLink, MissingOrMalformedDeviceFailsToConnect) {
    const char* values[] = {nullptr, "", "sim:", "sim:/nonexistent/flint.sock", "1234",
                            "12345:0001", "zz:0001", "1d6b:", ":0002", "1d6b:0002:3", "ffff:fffe"};
    for (const char* value : values) {
        if (value != nullptr) {
            setenv("FLINT_USB_DEVICE", value, 1);
        } else {
            unsetenv("FLINT_USB_DEVICE");
        }
        const captured o = open();
        EXPECT_EQ(o.result, -1) << (value ? value : "unset");
        EXPECT_EQ(o.out, "usb port open failed\n") << (value ? value : "unset");
        EXPECT_EQ(o.err, "Connecting usb failed\n") << (value ? value : "unset");
        EXPECT_EQ(usb_device, nullptr);
    }
}

TEST_F(UsbLink, BaudRateAndTimeoutCallsHaveNoEffectOverUsb) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    ASSERT_EQ(open().result, 0);
    ASSERT_EQ(com_handle, nullptr);
    EXPECT_EQ(link_set_baudrate(921600), 0);
    link_set_timeout(200000);
    uint32_t t = 0;
    link_get_timeout(&t);
    EXPECT_EQ(t, 0u);  // no serial port: the caller's value stays
    EXPECT_TRUE(module.requests().empty());
}

TEST_F(UsbLink, PacketSizeIsReadAtOpen) {
    SimModule module(status_response);
    setenv("FLINT_USB_DEVICE", module.device().c_str(), 1);
    env_set("DATA_SIZE_PER_PACKET", "4096");
    ASSERT_EQ(open().result, 0);
    EXPECT_EQ(packet_size, 4096u);
    env_set("DATA_SIZE_PER_PACKET", "40000");
    const captured o = open();
    EXPECT_EQ(o.result, -1);
    EXPECT_NE(o.err.find("DATA_SIZE_PER_PACKET"), std::string::npos);
    EXPECT_EQ(module.connections(2), 1);  // refused before any device was opened
    env_unset("DATA_SIZE_PER_PACKET");
}

TEST(UsbAccessObject, TransfersWithoutAnOpenDeviceFail) {
    CKvxUsbMP usb;
    unsigned char buf[10] = {};
    EXPECT_FALSE(usb.IsDeviceOpen());
    EXPECT_EQ(usb.MPCmdSend(buf, 10, 0), 0);
    EXPECT_EQ(usb.MPDataRead(buf, 10, 0), 0);
    usb.CloseDevice();
    EXPECT_FALSE(usb.IsDeviceOpen());
}

TEST(ByteLink, UnknownLinkKindMovesNothing) {
    link_kind = 7;
    uint8_t buf[4] = {1, 2, 3, 4};
    CaptureStderr();
    EXPECT_EQ(link_read(buf, 4), 0);
    EXPECT_EQ(link_write(buf, 4), 0);
    EXPECT_EQ(GetCapturedStderr(), "error interface type 7error interface type 7");
    EXPECT_EQ(link_set_baudrate(115200), -1);
    link_kind = LINK_SERIAL;
}

// No link locks the baud rate or starts a GDMA transfer: through every
// table the two calls report their empty slot by name.
TEST(OpsTables, NoLinkLocksTheBaudRateOrStartsGdma) {
    const flash_ops* saved = cur_ops;
    for (const flash_ops* ops : {&hci_ops, &loader_ops, &fcimg_ops, &usb_ops, &swd_ops}) {
        cur_ops = ops;
        const captured c = run_captured([] {
            return ops_call<&flash_ops::lock_baudrate>(0, nullptr) + ops_call<&flash_ops::gdma_begin>(0, nullptr);
        });
        EXPECT_EQ(c.result, 2 * OPS_UNAVAILABLE);
        EXPECT_EQ(c.err, "lock_baudrate is not available on this link\ngdma_begin is not available on this link\n");
    }
    cur_ops = saved;
}

TEST(OpsTables, ProgramModeSelectsTheSerialTable) {
    struct Case {
        uint32_t mode;
        const flash_ops* ops;
    } cases[] = {{HCI_MODE, &hci_ops},         {RAM_PATCH_VENDOR_WRITE_MODE, &loader_ops},
                 {FACTORY_IMAGE_MODE, &fcimg_ops}, {RAM_PATCH_MODE, &loader_ops},
                 {SINGLE_WIRE_UART_MODE, &loader_ops}, {99, &loader_ops}};
    for (const Case& c : cases) EXPECT_EQ(ops_for_program_mode(c.mode), c.ops) << c.mode;
}

TEST(OpsTables, MissingSlotIsReportedByName) {
    CaptureStderr();
    EXPECT_EQ(ops_call_missing("ext_read"), OPS_UNAVAILABLE);
    EXPECT_EQ(GetCapturedStderr(), "ext_read is not available on this link\n");
    EXPECT_NE(OPS_UNAVAILABLE, 0);
}

}  // namespace
