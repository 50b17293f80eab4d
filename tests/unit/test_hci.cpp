// HCI-mode vendor commands through the real serial layer on a pseudo-terminal,
// against a small module of the test's own: it keeps a flash image, answers
// reads and programs from it, and records every command packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/flash_ops.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "protocol/hci.h"
#include "capture.h"
#include "pty_peer.h"
#include "link/env.h"

namespace {

using peer::bytes;

constexpr uint32_t SHORT_TIMEOUT_MS = 300;

using peer::cat;
using peer::le32;

// A command packet as the module should see it.
bytes command(uint16_t opcode, const bytes& params) {
    bytes p = {0x01, static_cast<uint8_t>(opcode), static_cast<uint8_t>(opcode >> 8),
               static_cast<uint8_t>(params.size())};
    p.insert(p.end(), params.begin(), params.end());
    return p;
}

// A command-complete event for `opcode` with `status` and return parameters.
bytes event(uint16_t opcode, uint8_t status, const bytes& more = {}) {
    bytes e = {0x04, 0x0E, static_cast<uint8_t>(4 + more.size()), 0x01,
               static_cast<uint8_t>(opcode), static_cast<uint8_t>(opcode >> 8), status};
    e.insert(e.end(), more.begin(), more.end());
    return e;
}

bytes flash_control(uint32_t sub, uint32_t a1, uint32_t a2) {
    return command(0xFC2C, cat({le32(sub), le32(a1), le32(a2)}));
}

const bytes CHUNK_ANSWER = {0x04, 0x0E, 0x05, 0x02, 0x20, 0xFC, 0x00, 0x00};

uint32_t le32_at(const bytes& b, size_t at) { return peer::le32(b, at); }

// The module's ROM side: flash as a byte map (0xFF where never written).
struct rom_module {
    std::map<uint32_t, uint8_t> flash;
    std::set<uint16_t> failing;  // opcodes answered with status 1
    uint8_t probe_status = 0;
    uint32_t flash_id = 0xC8164020;
    int reads = 0;            // read commands answered so far
    int garbled_read = -1;    // this read's data comes back with its bits flipped

    uint8_t at(uint32_t a) const {
        auto it = flash.find(a);
        return it == flash.end() ? 0xFF : it->second;
    }
    void load(uint32_t a, const bytes& b) {
        for (size_t i = 0; i < b.size(); ++i) flash[a + static_cast<uint32_t>(i)] = b[i];
    }
    bytes dump(uint32_t a, uint32_t n) const {
        bytes b(n);
        for (uint32_t i = 0; i < n; ++i) b[i] = at(a + i);
        return b;
    }

    peer::step answer(const bytes& req) {
        const uint16_t op = static_cast<uint16_t>(req[1] | (req[2] << 8));
        const uint8_t status = failing.count(op) != 0 ? 1 : 0;
        switch (op) {
        case 0xFC2D: {
            const uint32_t a = le32_at(req, 4), n = le32_at(req, 8);
            bytes data = dump(a, n);
            if (reads++ == garbled_read)
                for (uint8_t& b : data) b = static_cast<uint8_t>(~b);
            return {event(op, status, cat({le32(0), data}))};
        }
        case 0xFC2E:
            if (status == 0) load(le32_at(req, 4), bytes(req.begin() + 12, req.end()));
            return {event(op, status)};
        case 0xFC2B:
            if (status == 0)
                for (uint32_t i = 0; i < 2048; ++i) flash.erase(le32_at(req, 4) + i);
            return {event(op, status)};
        case 0xFC2C:
            if (le32_at(req, 4) == 0x3009) return {};  // the reset is not answered
            if (le32_at(req, 4) == 0x0006) return {event(op, status, le32(flash_id))};
            return {event(op, status)};
        case 0xFC61:
            return {event(op, probe_status)};
        case 0xFC20: {
            bytes a = CHUNK_ANSWER;
            a[6] = status;
            return {a};
        }
        case 0xFC62:
            return {event(op, status)};
        default:
            return {};  // baud rate, password, no-wait writes: no answer
        }
    }
};

class HciSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link_.ok());
        env_unset("DATA_SIZE_PER_PACKET");
        const captured open = run_captured([&] { return serial_open(link_.path().c_str(), 0); });
        ASSERT_EQ(open.result, 0) << open.err;
        link_.respond_with([this](const bytes& req) { return rom_.answer(req); });
    }
    void TearDown() override { serial_close(); }

    rom_module rom_;
    peer::pty_peer link_{peer::hci_request_length};
};

// ------------------------------------------------------------ event check

TEST(HciCheckEvent, JudgesOnlyTheBytesThatArrived) {
    struct event_case {
        const char* name;
        bytes ev;
        uint32_t len;  // bytes received
        int32_t result;
        const char* err;
    };
    const bytes ok = event(0xFC2C, 0);
    const std::vector<event_case> cases = {
        {"sound event", ok, 7, 0, ""},
        {"wrong type", {0x02, 0x0E, 0x04, 0x01, 0x2C, 0xFC, 0x00}, 7, 1, "Wrong HCI event type 02\n"},
        {"wrong event code", {0x04, 0x0F, 0x04, 0x01, 0x2C, 0xFC, 0x00}, 7, 2, "Wrong HCI opcode 0F\n"},
        {"status fail", event(0xFC2C, 0x12), 7, 3, "HCI Event Status fail.\n"},
        {"nothing received over an old sound event", ok, 0, 1,
         "HCI event incomplete: need 7 bytes, read 0 bytes.\n"},
        {"header only", ok, 3, 1, "HCI event incomplete: need 7 bytes, read 3 bytes.\n"},
        {"fewer than announced", event(0xFC2D, 0, bytes(8, 0)), 10, 1,
         "HCI event incomplete: need 15 bytes, read 10 bytes.\n"},
        {"announces no status", {0x04, 0x0E, 0x02, 0x01, 0x2C, 0x00, 0x00}, 5, 1,
         "HCI event incomplete: need 7 bytes, read 5 bytes.\n"},
    };
    for (const event_case& k : cases) {
        SCOPED_TRACE(k.name);
        const captured c = run_captured([&] { return hci_check_event(k.ev.data(), k.len); });
        EXPECT_EQ(c.result, k.result);
        EXPECT_EQ(c.err, k.err);
    }
}

TEST_F(HciSerial, WrongEventTypeFailsTheAwaitingCommand) {
    link_.script({{{0x02, 0x0E, 0x04, 0x01, 0x2C, 0xFC, 0x00}}});
    const captured c = run_captured([] { return hci_chip_erase(); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "Wrong HCI event type 02\nChip Erase Fail!\n");
    EXPECT_EQ(link_.finish(), std::vector<bytes>{flash_control(0, 0x12345678, 0x5A5A1234)});
}

TEST_F(HciSerial, MissingEventFailsInsteadOfReusingTheLastOne) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    link_.script({{event(0xFC2C, 0)}, {}});
    EXPECT_EQ(run_captured([] { return hci_flash_unlock(); }).result, 0);
    const captured c = run_captured([] { return hci_flash_unlock(); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "HCI event incomplete: need 7 bytes, read 0 bytes.\nFlash Unlock Fail!\n");
}

// ------------------------------------------------------------ read and program

TEST_F(HciSerial, ReadAsksForWholeWordsAndDeliversTheBytesAsked) {
    rom_.load(0x1000, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});
    bytes got(5);
    const captured c = run_captured([&] { return hci_read(0x1001, 5, got.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(got, (bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
    // Read twice: HCI events carry no checksum.
    EXPECT_EQ(link_.finish(), std::vector<bytes>(2, command(0xFC2D, cat({le32(0x1000), le32(8)}))));
}

TEST_F(HciSerial, LongUnalignedReadGoesIn244BytePieces) {
    bytes image(600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    rom_.load(0x3000, image);
    bytes got(500);
    const captured c = run_captured([&] { return hci_read(0x3003, 500, got.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(got, bytes(image.begin() + 3, image.begin() + 503));
    // The span 0x3000..0x31F8 is 504 bytes: 244, 244, 16.
    const std::vector<bytes> once = {command(0xFC2D, cat({le32(0x3000), le32(244)})),
                                     command(0xFC2D, cat({le32(0x30F4), le32(244)})),
                                     command(0xFC2D, cat({le32(0x31E8), le32(16)}))};
    std::vector<bytes> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(link_.finish(), twice);
}

TEST_F(HciSerial, FailedReadPieceReportsItsAddress) {
    rom_.failing.insert(0xFC2D);
    bytes got(5);
    const captured c = run_captured([&] { return hci_read(0x1001, 5, got.data()); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "HCI Event Status fail.\nRead 5 bytes from 0x00001000 fail.\n");
}

TEST_F(HciSerial, ProgramKeepsTheNeighboursOfItsWords) {
    rom_.load(0x2000, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18});
    const bytes data = {0xAA, 0xBB, 0xCC};
    const captured c = run_captured([&] { return hci_program(0x2002, 3, data.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    const bytes merged = {0x11, 0x12, 0xAA, 0xBB, 0xCC, 0x16, 0x17, 0x18};
    EXPECT_EQ(rom_.dump(0x2000, 8), merged);
    // Each word the image shares is read twice: HCI events carry no checksum.
    EXPECT_EQ(link_.finish(),
              (std::vector<bytes>{command(0xFC2D, cat({le32(0x2000), le32(4)})),
                                  command(0xFC2D, cat({le32(0x2000), le32(4)})),
                                  command(0xFC2D, cat({le32(0x2004), le32(4)})),
                                  command(0xFC2D, cat({le32(0x2004), le32(4)})),
                                  command(0xFC2E, cat({le32(0x2000), le32(8), merged}))}));
}

// A neighbour that reads back differently is never written back as a guess,
// and a read whose two readings differ delivers nothing.
TEST_F(HciSerial, NeighboursThatReadBackDifferentlyAreNotWritten) {
    const bytes old = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
    for (int garbled : {1, 3}) {
        SCOPED_TRACE(garbled);
        rom_.load(0x2000, old);
        rom_.reads = 0;
        rom_.garbled_read = garbled;
        const bytes data = {0xAA, 0xBB, 0xCC};
        const captured c = run_captured([&] { return hci_program(0x2002, 3, data.data()); });
        EXPECT_EQ(c.result, 1);
        const uint32_t at = garbled == 1 ? 0x2000 : 0x2005;
        const uint32_t n = garbled == 1 ? 2 : 3;
        char want[160];
        std::snprintf(want, sizeof want,
                      "hci_read: two readings of %u bytes at 0x%08X differ; HCI events carry no "
                      "checksum, so neither is taken\n", n, at);
        EXPECT_EQ(c.err, want);
        EXPECT_EQ(rom_.dump(0x2000, 8), old);
    }
}

TEST_F(HciSerial, AlignedProgramGoesIn244BytePiecesWithoutReadBack) {
    bytes data(500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    const captured c = run_captured([&] { return hci_program(0x4000, 500, data.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(rom_.dump(0x4000, 500), data);
    const std::vector<bytes> seen = link_.finish();
    ASSERT_EQ(seen.size(), 3u);
    const uint32_t want_len[] = {244, 244, 12};
    const uint32_t want_addr[] = {0x4000, 0x40F4, 0x41E8};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen[i][1] | (seen[i][2] << 8), 0xFC2E);
        EXPECT_EQ(le32_at(seen[i], 4), want_addr[i]);
        EXPECT_EQ(le32_at(seen[i], 8), want_len[i]);
        EXPECT_EQ(seen[i][3], want_len[i] + 8);
    }
}

TEST_F(HciSerial, ProgramWritesNothingWhenTheReadBackFails) {
    rom_.failing.insert(0xFC2D);
    const bytes data = {1, 2, 3};
    const captured c = run_captured([&] { return hci_program(0x2002, 3, data.data()); });
    EXPECT_EQ(c.result, 1);
    for (const bytes& req : link_.finish()) EXPECT_NE(req[1], 0x2E);
}

TEST_F(HciSerial, FailedProgramPieceReportsLengthAndAddress) {
    rom_.failing.insert(0xFC2E);
    const bytes data(300, 0x5A);
    const captured c = run_captured([&] { return hci_program(0x4000, 300, data.data()); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "HCI Event Status fail.\nWrite 244 bytes to 0x00004000 fail.\n");
    EXPECT_EQ(link_.finish().size(), 1u);
}

TEST_F(HciSerial, VerifyComparesWhatTheModuleHolds) {
    rom_.load(0x5000, {1, 2, 3, 4, 5});
    const bytes same = {1, 2, 3, 4, 5}, other = {1, 2, 3, 4, 6};
    EXPECT_EQ(run_captured([&] { return hci_verify(0x5000, 5, same.data()); }).result, 0);
    EXPECT_EQ(run_captured([&] { return hci_verify(0x5000, 5, other.data()); }).result, 1);
    rom_.failing.insert(0xFC2D);
    const captured c = run_captured([&] { return hci_verify(0x5000, 5, same.data()); });
    EXPECT_EQ(c.result, -2);
    EXPECT_NE(c.err.find("hci_read error!\n"), std::string::npos);
}

// ------------------------------------------------------------ erase, ID, control

TEST_F(HciSerial, PageEraseCoversEveryStartedPage) {
    const captured c = run_captured([] { return hci_page_erase(0x802000, 2049); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(link_.finish(), (std::vector<bytes>{command(0xFC2B, le32(0x802000)),
                                                  command(0xFC2B, le32(0x802800))}));
}

TEST_F(HciSerial, PageEraseStopsAtTheFailingPage) {
    rom_.failing.insert(0xFC2B);
    const captured c = run_captured([] { return hci_page_erase(0x802000, 8192); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "HCI Event Status fail.\nErase page at 0x00802000 fail.\n");
    EXPECT_EQ(link_.finish().size(), 1u);
}

TEST_F(HciSerial, FlashIdIsTheWhole32BitValue) {
    const captured c = run_captured([] { return int64_t{hci_flash_id()}; });
    EXPECT_EQ(c.result, 0xC8164020);
    rom_.failing.insert(0xFC2C);
    const captured bad = run_captured([] { return int64_t{hci_flash_id()}; });
    EXPECT_EQ(bad.result, 0xFFFFFF);
    EXPECT_EQ(bad.err, "HCI Event Status fail.\nGet Flash ID Fail!\n");
}

TEST_F(HciSerial, PrepareInitialisesLoadsAndUnlocks) {
    const captured c = run_captured([] { return hci_flash_prepare(0, nullptr); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(link_.finish(), (std::vector<bytes>{flash_control(0x300B, 0, 0),
                                                  flash_control(0x3001, 0, 0),
                                                  flash_control(0x1002, 0, 0)}));
}

TEST_F(HciSerial, BaudRatesHaveTheirCodesAndOthersAreRefused) {
    struct baud_case {
        uint32_t baud;
        int32_t result;
        std::vector<bytes> sent;
        const char* err;
    };
    const std::vector<baud_case> cases = {
        {921600, -1, {}, "Baudrate 921600 is not supported\n"},
        {115200, 0, {}, ""},
        {1000000, 0, {command(0xFC17, le32(0x00005004))}, ""},
        {2000000, 0, {command(0xFC17, le32(0x00005002))}, ""},
        {3000000, 0, {command(0xFC17, le32(0x04928001))}, ""},
    };
    for (const baud_case& k : cases) {
        SCOPED_TRACE(k.baud);
        peer::pty_peer module(peer::hci_request_length);
        ASSERT_TRUE(module.ok());
        run_captured([&] { return serial_open(module.path().c_str(), 0); });
        link_set_timeout(SHORT_TIMEOUT_MS);
        const captured c = run_captured([&] { return hci_set_baudrate(k.baud); });
        EXPECT_EQ(c.result, k.result);
        EXPECT_EQ(c.err, k.err);
        EXPECT_EQ(module.finish(), k.sent);
        // A switched host side has its port set up anew (5000 ms read time-out).
        uint32_t ms = 0;
        link_get_timeout(&ms);
        EXPECT_EQ(ms, k.sent.empty() ? SHORT_TIMEOUT_MS : COM_READ_CONSTANT_MS);
        serial_close();
    }
}

// The commands that await nothing are followed at once by the next one, whose
// purge must not drop them on their way out.
TEST_F(HciSerial, ControlCommandsSendTheirPackets) {
    const uint8_t password[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    struct control_case {
        const char* name;
        std::function<int64_t()> call;
        bytes sent;
        const char* out;
    };
    const std::vector<control_case> cases = {
        {"vendor write", [] { return hci_vendor_write(0x40000010, 0x12345678); },
         command(0xFC62, cat({{0x20}, le32(0x40000010), le32(0x12345678)})), "Vendor Write OK!\n"},
        {"vendor write, no wait", [] { return hci_vendor_write_nowait(0x40000014, 1); },
         command(0xFC62, cat({{0x20}, le32(0x40000014), le32(1)})), ""},
        {"debug password", [&] { return hci_send_debug_password(password); },
         command(0xFD60, bytes(password, password + 16)), "Send debug password successfully\n"},
        {"watchdog reset", [] { return hci_wdg_reset(0); }, flash_control(0x3009, 3, 0x5A5A1234),
         "WDG_Reset OK\n"},
        {"chip erase", [] { return hci_chip_erase(); }, flash_control(0, 0x12345678, 0x5A5A1234),
         "Chip Erase Done!\n"},
    };
    for (const control_case& k : cases) {
        SCOPED_TRACE(k.name);
        const captured c = run_captured(k.call);
        EXPECT_EQ(c.result, 0) << c.err;
        EXPECT_EQ(c.out, k.out);
    }
    const std::vector<bytes> seen = link_.finish();
    ASSERT_EQ(seen.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(seen[i], cases[i].sent) << cases[i].name;
}

TEST_F(HciSerial, VendorWriteFailure) {
    rom_.failing.insert(0xFC62);
    const captured c = run_captured([] { return hci_vendor_write(0x40000010, 1); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err, "HCI Event Status fail.\nVendor Write Fail!\n");
}

// ------------------------------------------------------------ mode probe

TEST_F(HciSerial, ModeProbeTellsRamPatchFromFactoryImage) {
    struct probe_case {
        const char* name;
        uint8_t status;
        bytes header;  // 12 bytes at the factory image address
        int32_t result;
        uint32_t mode;
        const char* err;
    };
    const bytes factory = {0, 0, 0, 0, 0x8F, 0x27, 0, 0, 0, 0, 0, 0};
    const bytes other = {0, 0, 0, 0, 0x8E, 0x27, 0, 0, 0, 0, 0, 0};
    const std::vector<probe_case> cases = {
        {"answers the probe", 0, {}, 0, RAM_PATCH_VENDOR_WRITE_MODE, ""},
        {"factory image", 0x0C, factory, 0, FACTORY_IMAGE_MODE, ""},
        {"another image", 0x0C, other, -1, 99, "Factory Image ID error\n"},
        {"unknown answer", 0x05, {}, -1, 99,
         "Cannot auto-detect device type, please use -M option manually\n"},
    };
    for (const probe_case& k : cases) {
        SCOPED_TRACE(k.name);
        rom_.probe_status = k.status;
        rom_.load(FACTORY_IMAGE_ADDR, k.header);
        uint32_t mode = 99;
        const captured c = run_captured([&] { return hci_detect_mode(&mode); });
        EXPECT_EQ(c.result, k.result);
        EXPECT_EQ(mode, k.mode);
        EXPECT_EQ(c.err, k.err);
    }
    const std::vector<bytes> seen = link_.finish();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], command(0xFC61, {0x00, 0x50, 0x01, 0x04, 0x00}));
    EXPECT_EQ(seen[2], command(0xFC2D, cat({le32(FACTORY_IMAGE_ADDR), le32(12)})));
}

TEST_F(HciSerial, ModeProbeWithoutAnswerFails) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    link_.respond_with(nullptr);
    uint32_t mode = 99;
    const captured c = run_captured([&] { return hci_detect_mode(&mode); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(mode, 99u);
    EXPECT_EQ(c.err,
              "HCI event incomplete: need 7 bytes, read 0 bytes.\n"
              "Cannot auto-detect device type, please use -M option manually\n");
}

// A status byte 0 means mode 1 only inside a whole Command Complete event:
// anything else would name a mode the module never reported.
TEST_F(HciSerial, ModeProbeTakesTheStatusOnlyFromAWholeCommandCompleteEvent) {
    struct answer_case {
        const char* name;
        bytes answer;
        const char* first_err;
    };
    const std::vector<answer_case> cases = {
        {"not an event packet", {0x02, 0x0E, 0x04, 0x01, 0x61, 0xFC, 0x00}, "Wrong HCI event type 02\n"},
        {"another event", {0x04, 0x0F, 0x04, 0x01, 0x61, 0xFC, 0x00}, "Wrong HCI opcode 0F\n"},
        {"cut short", {0x04, 0x0E, 0x08, 0x01, 0x61, 0xFC, 0x00}, "HCI event incomplete: need 11 bytes, read 7 bytes.\n"},
    };
    link_set_timeout(SHORT_TIMEOUT_MS);
    for (const answer_case& k : cases) {
        SCOPED_TRACE(k.name);
        link_.respond_with([&](const bytes&) { return peer::step{k.answer, 0, false}; });
        uint32_t mode = 99;
        const captured c = run_captured([&] { return hci_detect_mode(&mode); });
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(mode, 99u);
        EXPECT_EQ(c.err, std::string(k.first_err) +
                             "Cannot auto-detect device type, please use -M option manually\n");
        link_purge();
    }
}

// ------------------------------------------------------------ loader download

TEST_F(HciSerial, LoaderGoesIn252ByteChunksWithTheirIndex) {
    for (uint32_t size : {504u, 505u}) {
        SCOPED_TRACE(size);
        peer::pty_peer module(peer::hci_request_length);
        ASSERT_TRUE(module.ok());
        module.respond_with([this](const bytes& req) { return rom_.answer(req); });
        run_captured([&] { return serial_open(module.path().c_str(), 0); });
        bytes image(size);
        for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i ^ 0x5A);
        const captured c = run_captured([&] { return hci_download_loader(size, image.data()); });
        EXPECT_EQ(c.result, 0) << c.err;
        const size_t chunks = (size + 251) / 252;
        EXPECT_EQ(c.out, [&] {
            std::string s;
            for (size_t i = 0; i < chunks; ++i)
                s += "send write command!\ndump recv bytes: 04 0E 05 02 20 FC 00 00\n";
            return s;
        }());
        const std::vector<bytes> seen = module.finish();
        ASSERT_EQ(seen.size(), chunks);
        for (size_t i = 0; i < chunks; ++i) {
            const size_t from = i * 252, n = std::min<size_t>(252, size - from);
            bytes params = {static_cast<uint8_t>(i)};
            params.insert(params.end(), image.begin() + static_cast<long>(from),
                          image.begin() + static_cast<long>(from + n));
            EXPECT_EQ(seen[i], command(0xFC20, params)) << "chunk " << i;
        }
        serial_close();
    }
}

TEST_F(HciSerial, LoaderAnswerIsFoundBehindJunkAndFailuresEndTheDownload) {
    struct answer_case {
        const char* name;
        bytes answer;
        int32_t result;
        std::string dumps;
        const char* err;
    };
    bytes bad_status = CHUNK_ANSWER;
    bad_status[6] = 0x01;
    const std::vector<answer_case> cases = {
        {"junk in front", cat({{0xAA, 0x55}, CHUNK_ANSWER}), 0,
         "dump recv bytes: AA 55 04 0E 05 02 20 FC\ndump recv bytes: 00 00\n", ""},
        {"start split over two reads", cat({{1, 2, 3, 4, 5, 6}, CHUNK_ANSWER}), 0,
         "dump recv bytes: 01 02 03 04 05 06 04 0E\ndump recv bytes: 05 02 20 FC 00 00\n", ""},
        {"no event in 20 reads", bytes(160, 0x11), 2, "", "read 0 effective HCI evt packet bytes!\n"},
        {"answer stops part way", {0x04, 0x0E, 0x05, 0x02, 0x20}, 1,
         "dump recv bytes: 04 0E 05 02 20\n", "recv timeout! need 8 bytes, read 5 bytes\n"},
        {"no answer", {}, 1, "dump recv bytes:\n", "recv timeout! need 8 bytes, read 0 bytes\n"},
        {"status fail", bad_status, 3, "dump recv bytes: 04 0E 05 02 20 FC 01 00\n",
         "HCI Event Status fail.\n"},
    };
    link_.respond_with(nullptr);
    link_set_timeout(SHORT_TIMEOUT_MS);
    const bytes image(10, 0x42);
    for (const answer_case& k : cases) {
        SCOPED_TRACE(k.name);
        link_.script({{k.answer}});
        const captured c = run_captured([&] { return hci_download_loader(10, image.data()); });
        EXPECT_EQ(c.result, k.result);
        EXPECT_EQ(c.err, k.err);
        if (!k.dumps.empty()) {
            EXPECT_EQ(c.out, "send write command!\n" + k.dumps);
        }
    }
}

TEST_F(HciSerial, LoaderTooLargeForTheChunkIndexIsRefusedBeforeSending) {
    const bytes image(HCI_LOADER_MAX_BYTES + 1, 0);
    const captured c = run_captured([&] {
        return hci_download_loader(static_cast<uint32_t>(image.size()), image.data());
    });
    EXPECT_EQ(c.result, -1);
    EXPECT_NE(c.err.find("64261"), std::string::npos) << c.err;
    EXPECT_TRUE(link_.finish().empty());
}

// ------------------------------------------------------------ factory image

TEST_F(HciSerial, FactoryImageIsErasedAndProgrammedAtItsAddress) {
    bytes image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3);
    rom_.load(FACTORY_IMAGE_ADDR, bytes(300, 0x00));
    const captured c = run_captured([&] { return hci_download_fc_image(300, image.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(rom_.dump(FACTORY_IMAGE_ADDR, 300), image);
    const std::vector<bytes> seen = link_.finish();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], flash_control(0x300B, 0, 0));
    EXPECT_EQ(seen[1], flash_control(0x3001, 0, 0));
    EXPECT_EQ(seen[2], flash_control(0x1002, 0, 0));
    EXPECT_EQ(seen[3], command(0xFC2B, le32(FACTORY_IMAGE_ADDR)));
    EXPECT_EQ(le32_at(seen[4], 4), FACTORY_IMAGE_ADDR);
    EXPECT_EQ(le32_at(seen[5], 4), FACTORY_IMAGE_ADDR + 244);
}

TEST_F(HciSerial, FactoryImageStopsWhenTheEraseFails) {
    rom_.failing = {0xFC2C, 0xFC2B};  // a failed init does not stop it; the erase does
    const bytes image(10, 1);
    const captured c = run_captured([&] { return hci_download_fc_image(10, image.data()); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.err,
              "HCI Event Status fail.\nFlash Init Fail!\n"
              "HCI Event Status fail.\nErase page at 0x00804000 fail.\n"
              "downloading FC image: erase fail\n");
}

}  // namespace
