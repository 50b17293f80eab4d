// The serial port layer and the serial side of the byte link, through the real
// POSIX port code on a pseudo-terminal: the test plays the module on the
// master side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asm/termbits.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "platform/posix/serial_names.h"
#include "link/env.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using clock_type = std::chrono::steady_clock;

int64_t ms_since(clock_type::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

// A pseudo-terminal pair: the code under test opens the slave by its path,
// the test reads and writes the master.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            path_ = ptsname(master_);
        }
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Everything the slave side wrote, waiting up to `wait_ms` for the first byte.
    std::string receive(int wait_ms = 2000) const {
        std::string got;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, got.empty() ? wait_ms : 100) > 0) {
            char buf[256];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    // The far end goes away, as an unplugged adapter does.
    void hang_up() {
        close(master_);
        master_ = -1;
    }

    // The slave's line settings as the kernel holds them.
    bool line(termios2* tio) const { return ioctl(master_, TCGETS2, tio) == 0; }

private:
    int master_ = -1;
    std::string path_;
};

// Opens the pty slave as serial_open does and closes it at the end.
class SerialPort : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty_.path().empty());
        port_ = com_open(pty_.path().c_str());
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(com_configure(port_, 115200), 0);
    }
    void TearDown() override { com_close(port_); }

    uint32_t read_into(std::vector<uint8_t>* buf) {
        return com_read(port_, buf->data(), static_cast<uint32_t>(buf->size()));
    }

    Pty pty_;
    plat_serial_handle port_ = nullptr;
};

TEST_F(SerialPort, ReadOfBytesAlreadyThereReturnsAtOnce) {
    pty_.send("0123456789");
    usleep(50 * 1000);  // let the bytes cross the pty
    std::vector<uint8_t> buf(10);
    const auto start = clock_type::now();
    ASSERT_EQ(read_into(&buf), 10u);
    EXPECT_LT(ms_since(start), 500);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "0123456789");
}

TEST_F(SerialPort, ReadEndsOneIntervalAfterTheLastByte) {
    std::vector<uint8_t> buf(10);
    pty_.send("abc");
    const auto start = clock_type::now();
    ASSERT_EQ(read_into(&buf), 3u);
    const int64_t took = ms_since(start);
    EXPECT_GE(took, COM_READ_INTERVAL_MS - 50);
    EXPECT_LT(took, COM_READ_CONSTANT_MS - 1000);  // the gap ended it, not the total limit
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "abc");
}

TEST_F(SerialPort, SilentLineReturnsNothingAfterTheTotalLimit) {
    ASSERT_EQ(com_set_timeouts(port_, 200), 0);
    std::vector<uint8_t> buf(10);
    const auto start = clock_type::now();
    EXPECT_EQ(read_into(&buf), 0u);
    const int64_t took = ms_since(start);
    EXPECT_GE(took, 200);  // 200 + 10 x 1 ms
    EXPECT_LT(took, 3000);
}

TEST_F(SerialPort, ZeroReadTimeoutIsANearImmediatePoll) {
    ASSERT_EQ(com_set_timeouts(port_, 0), 0);
    std::vector<uint8_t> buf(10);
    auto start = clock_type::now();
    EXPECT_EQ(read_into(&buf), 0u);
    EXPECT_LT(ms_since(start), 500);
    pty_.send("xy");
    usleep(50 * 1000);
    start = clock_type::now();
    EXPECT_EQ(read_into(&buf), 2u);
    EXPECT_LT(ms_since(start), 500);
}

TEST_F(SerialPort, HungUpLineEndsTheReadWithoutWaitingOut) {
    pty_.send("ab");
    usleep(50 * 1000);
    pty_.hang_up();
    std::vector<uint8_t> buf(10);
    const auto start = clock_type::now();
    const uint32_t got = read_into(&buf);
    EXPECT_LE(got, 2u);
    EXPECT_LT(ms_since(start), COM_READ_INTERVAL_MS / 2);  // neither the gap nor the total limit
    EXPECT_EQ(com_write(port_, buf.data(), 4), 0u);
}

TEST_F(SerialPort, EveryBaudRateChangeRestoresTheDefaultReadTimeout) {
    const uint32_t rates[] = {9600, 115200, 921600, 1000000, 2000000, 123457};
    for (uint32_t rate : rates) {
        ASSERT_EQ(com_set_timeouts(port_, 200000), 0);
        ASSERT_EQ(com_configure(port_, rate), 0) << rate;
        uint32_t t = 0;
        ASSERT_EQ(com_get_read_timeout(port_, &t), 0);
        EXPECT_EQ(t, COM_READ_CONSTANT_MS) << rate;
        termios2 tio{};
        ASSERT_TRUE(pty_.line(&tio));
        EXPECT_EQ(tio.c_ospeed, rate);
    }
}

TEST_F(SerialPort, LineIsRaw8N1WithoutFlowControl) {
    ASSERT_EQ(com_configure(port_, 921600), 0);
    termios2 tio{};
    ASSERT_TRUE(pty_.line(&tio));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    // Bytes that a cooked line would change cross unchanged in both directions.
    const std::string binary("\r\n\x11\x13\x03\x00\xff", 7);
    pty_.send(binary);
    std::vector<uint8_t> buf(binary.size());
    ASSERT_EQ(read_into(&buf), binary.size());
    EXPECT_EQ(std::string(buf.begin(), buf.end()), binary);
    ASSERT_EQ(com_write(port_, buf.data(), static_cast<uint32_t>(buf.size())), binary.size());
    EXPECT_EQ(pty_.receive(), binary);
}

TEST_F(SerialPort, TimeoutSetsReadBackTheirReadConstant) {
    struct Case {
        uint32_t set;
        uint32_t read_back;
    } cases[] = {{200, 200}, {200000, 200000}, {0, 1}, {5000, 5000}};
    for (const Case& c : cases) {
        ASSERT_EQ(com_set_timeouts(port_, c.set), 0);
        uint32_t t = 12345;
        ASSERT_EQ(com_get_read_timeout(port_, &t), 0);
        EXPECT_EQ(t, c.read_back) << c.set;
    }
}

TEST_F(SerialPort, PurgeDiscardsBytesNobodyAskedFor) {
    pty_.send("stale bytes");
    usleep(50 * 1000);
    EXPECT_EQ(com_purge(port_), 0);
    pty_.send("fresh");
    std::vector<uint8_t> buf(5);
    ASSERT_EQ(read_into(&buf), 5u);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "fresh");
}

// A port in use is not shared: a second open fails (also for a program with
// root rights, which the tty's exclusive mode alone lets through) until the
// first is closed.
TEST_F(SerialPort, OpenPortIsNotShared) {
    CaptureStderr();
    EXPECT_EQ(com_open(pty_.path().c_str()), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    com_close(port_);
    port_ = com_open(pty_.path().c_str());
    EXPECT_NE(port_, nullptr);
}

TEST(SerialPortHandle, AbsentHandleFailsQuietly) {
    uint8_t buf[4] = {};
    uint32_t t = 777;
    EXPECT_EQ(com_configure(nullptr, 115200), -1);
    EXPECT_EQ(com_set_timeouts(nullptr, 5000), -1);
    EXPECT_EQ(com_get_read_timeout(nullptr, &t), -1);
    EXPECT_EQ(t, 777u);
    EXPECT_EQ(com_read(nullptr, buf, 4), 0u);
    EXPECT_EQ(com_write(nullptr, buf, 4), 0u);
    EXPECT_EQ(com_purge(nullptr), 0);
    EXPECT_EQ(com_close(nullptr), 0);
}

TEST(SerialPortNames, MapToDevicePaths) {
    struct Case {
        const char* name;
        const char* path;  // "" names no port
    } cases[] = {
        {"COM1", "/dev/ttyS0"},       {"com3", "/dev/ttyS2"},      {"Com32", "/dev/ttyS31"},
        {"COM33", "/dev/ttyUSB0"},    {"COM64", "/dev/ttyUSB31"},  {"cOm65", "/dev/ttyACM0"},
        {"COM96", "/dev/ttyACM31"},   {"/dev/pts/7", "/dev/pts/7"},
        {"/dev/serial/by-id/usb-KVX_Module_0001-if00", "/dev/serial/by-id/usb-KVX_Module_0001-if00"},
        {"COM0", ""},   {"COM97", ""},  {"COM007", ""}, {"COM07", ""}, {"COM", ""},
        {"COM3x", ""},  {"COM-1", ""},  {"COM+3", ""},  {"ttyUSB0", ""}, {"usb", ""},
        {"\\\\.\\COM3", ""}, {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(posix_serial_device_path(c.name), c.path) << c.name;
}

TEST(SerialPortNames, NamesThatNameNoPortDoNotOpen) {
    const char* names[] = {"COM0", "COM97", "nonsense", "", "/dev/flint-no-such-port"};
    for (const char* name : names) {
        CaptureStderr();
        EXPECT_EQ(com_open(name), nullptr) << name;
        EXPECT_EQ(GetCapturedStderr(), "") << name;
    }
}

TEST(SerialPortNames, OverlongNameIsRefusedNotCut) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    // Pad the real path with extra slashes: cut to 127 characters it would
    // still name the pty, so only a refusal keeps it closed.
    std::string longest = pty.path();
    longest.insert(0, COM_NAME_MAX - longest.size(), '/');
    ASSERT_EQ(longest.size(), COM_NAME_MAX);
    plat_serial_handle port = com_open(longest.c_str());
    EXPECT_NE(port, nullptr);
    com_close(port);

    const std::string too_long = "/" + longest;
    CaptureStderr();
    EXPECT_EQ(com_open(too_long.c_str()), nullptr);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("too long"), std::string::npos) << err;
    EXPECT_NE(err.find("127"), std::string::npos) << err;
}

// serial_open / serial_close with their connecting line.
class SerialOpen : public testing::Test {
protected:
    void SetUp() override {
        env_unset("DATA_SIZE_PER_PACKET");
        ASSERT_FALSE(pty_.path().empty());
    }
    void TearDown() override {
        serial_close();
        env_unset("DATA_SIZE_PER_PACKET");
        packet_size = PACKET_SIZE_DEFAULT;
    }

    captured open(const std::string& name, uint32_t baud) {
        return run_captured([&] { return serial_open(name.c_str(), baud); });
    }

    Pty pty_;
};

TEST_F(SerialOpen, ReportsEachOutcomeOnItsConnectingLine) {
    const std::string missing = "/dev/flint-no-such-port";
    struct Case {
        std::string name;
        uint32_t baud;
        int32_t result;
        std::string out;
        std::string err;
    } cases[] = {
        {pty_.path(), 0, 0, "Connecting " + pty_.path() + " at 115200 OK...\n", ""},
        {pty_.path(), 921600, 0, "Connecting " + pty_.path() + " at 921600 OK...\n", ""},
        // A failed open is the same one line, on standard output too.
        {missing, 0, 1, "Connecting " + missing + " at 115200 Fail...\n", ""},
        {missing, 2000000, -1, "Connecting " + missing + " at 2000000 Fail...\n", ""},
        {"COM0", 0, 1, "Connecting COM0 at 115200 Fail...\n", ""},
    };
    for (const Case& c : cases) {
        const captured o = open(c.name, c.baud);
        EXPECT_EQ(o.result, c.result) << c.name << " " << c.baud;
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(link_kind, LINK_SERIAL);
        EXPECT_EQ(com_handle != nullptr, c.result == 0);
        uint32_t t = 0;
        if (c.result == 0) {
            link_get_timeout(&t);
            EXPECT_EQ(t, COM_READ_CONSTANT_MS);
        }
        EXPECT_EQ(serial_close(), 0);
        EXPECT_EQ(com_handle, nullptr);
    }
}

TEST_F(SerialOpen, SecondOpenReplacesTheFirstPort) {
    Pty other;
    ASSERT_EQ(open(pty_.path(), 0).result, 0);
    ASSERT_EQ(open(other.path(), 0).result, 0);
    uint8_t ping[] = {'p'};
    link_write(ping, 1);
    EXPECT_EQ(other.receive(), "p");
    // The first port was closed, not left open behind the new one: its
    // master sees the slave side hung up.
    pollfd p{pty_.master(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
}

TEST_F(SerialOpen, ByteLinkPurgesBeforeEachRequest) {
    ASSERT_EQ(open(pty_.path(), 0).result, 0);
    pty_.send("unasked");
    usleep(50 * 1000);
    const uint8_t request[] = {0x87, 0x00, 0x10, 0x55, 0xAA};
    EXPECT_EQ(link_write(request, sizeof request), sizeof request);
    EXPECT_EQ(pty_.receive(), std::string(reinterpret_cast<const char*>(request), sizeof request));
    pty_.send("answer");
    uint8_t buf[6] = {};
    EXPECT_EQ(link_read(buf, sizeof buf), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "answer");
}

TEST_F(SerialOpen, ByteLinkTimeoutCallsActOnThePort) {
    ASSERT_EQ(open(pty_.path(), 0).result, 0);
    link_set_timeout(200000);
    uint32_t t = 0;
    link_get_timeout(&t);
    EXPECT_EQ(t, 200000u);
    EXPECT_EQ(link_set_baudrate(921600), 0);
    link_get_timeout(&t);
    EXPECT_EQ(t, COM_READ_CONSTANT_MS);
    termios2 tio{};
    ASSERT_TRUE(pty_.line(&tio));
    EXPECT_EQ(tio.c_ospeed, 921600u);
}

TEST_F(SerialOpen, PacketSizeIsReadAtEachOpen) {
    struct Case {
        const char* value;  // nullptr: unset
        uint32_t size;
    } cases[] = {
        {"4096", 4096},  {nullptr, PACKET_SIZE_DEFAULT}, {"  +512 bytes", 512}, {"32768", 32768},
        {"1", 1},        {"\t64x", 64},
    };
    for (const Case& c : cases) {
        if (c.value != nullptr) {
            env_set("DATA_SIZE_PER_PACKET", c.value);
        } else {
            env_unset("DATA_SIZE_PER_PACKET");
        }
        packet_size = 7;
        EXPECT_EQ(open(pty_.path(), 0).result, 0) << (c.value ? c.value : "unset");
        EXPECT_EQ(packet_size, c.size) << (c.value ? c.value : "unset");
        serial_close();
    }
}

TEST_F(SerialOpen, UnusablePacketSizeIsRefusedBeforeThePortIsTouched) {
    const char* values[] = {"0", "-4096", "abc", "", "32769", "65536", "99999999999999999999999"};
    for (const char* value : values) {
        env_set("DATA_SIZE_PER_PACKET", value);
        packet_size = 4096;
        link_kind = LINK_USB;
        const captured o = open(pty_.path(), 921600);
        EXPECT_EQ(o.result, -1) << value;
        EXPECT_EQ(o.out, "") << value;
        EXPECT_NE(o.err.find("DATA_SIZE_PER_PACKET"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("1 to 32768"), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("Connecting"), std::string::npos) << o.err;
        EXPECT_EQ(com_handle, nullptr) << value;
        EXPECT_EQ(packet_size, 4096u) << value;
        EXPECT_EQ(link_kind, LINK_USB) << value;
    }
    link_kind = LINK_SERIAL;
}

}  // namespace
