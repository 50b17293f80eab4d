// The loader protocol through the real serial layer on a pseudo-terminal
// (and through the USB access object's "sim:" backend): a scripted module on
// the far side records every request byte for byte and answers as told.
#include <gtest/gtest.h>

#include <algorithm>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/crc16.h"
#include "link/flash_ops.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "protocol/loader.h"
#include "protocol/loader_frame.h"
#include "capture.h"
#include "pty_peer.h"
#include "link/env.h"

namespace {

using peer::bytes;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr uint32_t SHORT_TIMEOUT_MS = 300;  // base read time-out for timing cases
constexpr int LATE_MS = 1200;               // an answer after the short time-out

using peer::cat;
using peer::le32;

void append_crc(bytes& f) {
    const uint16_t crc = crc16(0, f.data(), static_cast<uint32_t>(f.size()));
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
}

// A request frame as the module should see it.
bytes request(uint16_t code, const bytes& payload = {}) {
    bytes f = {0x87, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    append_crc(f);
    return f;
}

// A response frame: 3 header bytes, status, 4 bytes, data, CRC.
bytes reply(uint8_t status, const bytes& data = {}) {
    bytes f = {0x87, 0x00, 0x10, status, 0, 0, 0, 0};
    f.insert(f.end(), data.begin(), data.end());
    append_crc(f);
    return f;
}

bytes with_crc_value(bytes f, uint16_t crc) {
    f[f.size() - 2] = static_cast<uint8_t>(crc);
    f[f.size() - 1] = static_cast<uint8_t>(crc >> 8);
    return f;
}

bytes first(const bytes& b, size_t n) { return bytes(b.begin(), b.begin() + static_cast<long>(n)); }

bytes pattern(size_t n, uint8_t seed = 1) {
    bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8) + seed);
    return v;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

uint32_t read_timeout() {
    uint32_t ms = 0;
    link_get_timeout(&ms);
    return ms;
}

// The serial link to a scripted module on a pseudo-terminal.
class LoaderSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module_.ok());
        env_unset("DATA_SIZE_PER_PACKET");
        const captured open = run_captured([&] { return serial_open(module_.path().c_str(), 0); });
        ASSERT_EQ(open.result, 0) << open.err;
    }
    void TearDown() override {
        serial_close();
        packet_size = PACKET_SIZE_DEFAULT;
    }

    peer::pty_peer module_{peer::loader_request_length};
};

// ------------------------------------------------------------ split transfers

TEST_F(LoaderSerial, ReadOf40000BytesGoesAsThreePiecesAtTheirAddresses) {
    const uint32_t addr = 0x00810000;
    const bytes data = pattern(40000);
    module_.script({{reply(0, first(data, 16384))},
                    {reply(0, bytes(data.begin() + 16384, data.begin() + 32768))},
                    {reply(0, bytes(data.begin() + 32768, data.end()))}});
    bytes got(40000);
    const captured c = run_captured([&] { return loader_read(addr, 40000, got.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(c.out, repeat("send read command!\n", 3));
    EXPECT_EQ(got, data);
    const std::vector<bytes> want = {request(0x1033, cat({le32(addr), le32(16384)})),
                                     request(0x1033, cat({le32(addr + 16384), le32(16384)})),
                                     request(0x1033, cat({le32(addr + 32768), le32(7232)}))};
    EXPECT_EQ(module_.finish(), want);
}

TEST_F(LoaderSerial, ProgramSendsEachPieceWithItsBytes) {
    const uint32_t addr = 0x00802000;
    const bytes data = pattern(10000, 9);
    packet_size = 4096;
    module_.script({{reply(0)}, {reply(0)}, {reply(0)}});
    const captured c = run_captured([&] { return loader_program(addr, 10000, data.data()); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(c.out, repeat("send write command!\n", 3));
    const std::vector<bytes> want = {
        request(0x1032, cat({le32(addr), le32(4096), first(data, 4096)})),
        request(0x1032, cat({le32(addr + 4096), le32(4096),
                             bytes(data.begin() + 4096, data.begin() + 8192)})),
        request(0x1032, cat({le32(addr + 8192), le32(1808), bytes(data.begin() + 8192, data.end())}))};
    EXPECT_EQ(module_.finish(), want);
}

TEST_F(LoaderSerial, ZeroLengthTransfersSendNothing) {
    uint8_t byte = 0;
    const captured c = run_captured([&] {
        return loader_read(0x800000, 0, &byte) + loader_program(0x800000, 0, &byte) +
               loader_ext_read(0, 0, &byte) + loader_ext_program(0, 0, &byte);
    });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, "");
    EXPECT_TRUE(module_.finish().empty());
}

TEST_F(LoaderSerial, ShortResponseEndsTheTransferWithoutFurtherPieces) {
    const bytes data = pattern(40000);
    module_.script({{first(reply(0), 6)}});
    const captured c = run_captured([&] { return loader_program(0x800000, 40000, data.data()); });
    EXPECT_EQ(c.result, 2);
    EXPECT_EQ(c.err, "recv timeout! need 10 bytes, read 6 bytes.\n");
    EXPECT_EQ(c.out, "send write command!\n");
    EXPECT_EQ(module_.finish().size(), 1u);
}

TEST_F(LoaderSerial, BadCrcFailsWithTheReceivedValueFirst) {
    const bytes good = peer::with_echoed_code(request(0x1030), reply(0));
    const uint16_t computed = static_cast<uint16_t>(good[8] | (good[9] << 8));
    module_.script({{with_crc_value(good, 0xBEEF)}});
    const captured c = run_captured([&] { return loader_sector_erase(0x800000, 4096); });
    EXPECT_EQ(c.result, -1);
    char want[64];
    std::snprintf(want, sizeof want, "crc16 error! read beef != cacled %04x\n", computed);
    EXPECT_EQ(c.err, want);
}

TEST_F(LoaderSerial, BadCrcInAReadPieceStopsTheRead) {
    const bytes data = pattern(16384);
    module_.script({{with_crc_value(reply(0, data), 0x0000)}});
    bytes got(40000);
    const captured c = run_captured([&] { return loader_ext_read(0, 40000, got.data()); });
    EXPECT_EQ(c.result, -1);
    EXPECT_NE(c.err.find("crc16 error! read 0000 != cacled "), std::string::npos) << c.err;
    EXPECT_EQ(module_.finish().size(), 1u);
}

TEST_F(LoaderSerial, UnusablePacketSizeOrPayloadIsRefusedBeforeSending) {
    bytes buf(40000);
    packet_size = 0;
    const captured zero = run_captured([&] { return loader_read(0, 16, buf.data()); });
    packet_size = FRAME_BUFFER_SIZE;  // its request would not fit the frame buffer
    const captured big = run_captured([&] { return loader_ext_program(0, 16, buf.data()); });
    packet_size = PACKET_SIZE_DEFAULT;
    const captured efuse = run_captured([&] { return loader_efuse_burn(buf.data(), 40000); });
    for (const captured& c : {zero, big, efuse}) {
        EXPECT_EQ(c.result, -1);
        EXPECT_FALSE(c.err.empty());
    }
    EXPECT_TRUE(module_.finish().empty());
}

// ------------------------------------------------------- status by operation

struct op_case {
    const char* name;
    std::function<int64_t()> call;
    bytes request;      // the whole frame the module must see
    uint16_t reply_len;
    std::string out;    // printed before sending
    std::string error;  // the status message with status 200
    int64_t result;     // for a non-zero status
};

const bytes FOUR = {0xDE, 0xAD, 0xBE, 0xEF};

std::vector<op_case> op_cases() {
    static uint8_t sink[16];
    const uint32_t a = 0x00802000;
    const uint16_t four_crc = crc16(0, FOUR.data(), 4);
    char crc_line[32];
    std::snprintf(crc_line, sizeof crc_line, "crc16 = %04X\n", four_crc);
    const bytes addr_size = cat({le32(a), le32(4096)});
    const bytes addr_mib = cat({le32(a), le32(0x100000)});
    return {
        {"get_prop", [] { return loader_get_prop(); }, request(0x1000), 54, "",
         "Get Property Error: 200\n", -1},
        {"set_baudrate", [] { return loader_set_baudrate(1000000); },
         request(0x1010, cat({le32(1000000), {0xFF}})), 10, "send set baudrate command!\n",
         "Set Baudrate Error: 200\n", 1},
        {"sector_erase", [a] { return loader_sector_erase(a, 4096); }, request(0x1030, addr_size),
         10, "send erase command!\n", "Sector Erase Error: 200\n", 1},
        {"chip_erase", [] { return loader_chip_erase(); }, request(0x1031), 10,
         "send chip erase command!\nset timeout to 200000\n", "Chip Erase Error: 200\n", -1},
        {"program", [a] { return loader_program(a, 4, FOUR.data()); },
         request(0x1032, cat({le32(a), le32(4), FOUR})), 10, "send write command!\n",
         "Program Error: 200\n", 1},
        {"read", [a] { return loader_read(a, 4, sink); }, request(0x1033, cat({le32(a), le32(4)})),
         14, "send read command!\n", "Flash Read Error: 200\n", -1},
        {"block64_erase", [a] { return loader_block64_erase(a, 4096); },
         request(0x1035, addr_size), 10, "send erase command!\n", "Block64 Erase Error: 200\n", -1},
        {"flash_id", [] { return int64_t{loader_flash_id()}; }, request(0x103D), 14, "",
         "Read Flash ID Error: 200\n", 0xFFFFFF},
        {"reboot", [] { return loader_reboot(3); }, request(0x1041, {3}), 10, "",
         "Reboot Error: 200\n", 1},
        {"verify", [a] { return loader_verify(a, 4, FOUR.data()); },
         request(0x1050, cat({le32(a), le32(4),
                              {static_cast<uint8_t>(four_crc), static_cast<uint8_t>(four_crc >> 8)}})),
         10, crc_line, "Flash Verify Error: 200\n", 1},
        {"efuse_burn", [] { return loader_efuse_burn(FOUR.data(), 4); },
         request(0x1061, cat({le32(4), FOUR})), 10, "", "eFuse Burn Error: 200\n", 1},
        {"ext_block32_erase", [a] { return loader_ext_block32_erase(a, 0x100000); },
         request(0x1036, addr_mib), 10, "send erase command!\n",
         "Ext Flash Block32 Erase Error: 200\n", -1},
        {"ext_block64_erase", [a] { return loader_ext_block64_erase(a, 0x100000); },
         request(0x1037, addr_mib), 10, "send ext be64 erase command!\n",
         "Ext Block64 Erase Error: 200\n", -1},
        {"ext_sector_erase", [a] { return loader_ext_sector_erase(a, 0x100000); },
         request(0x1038, addr_mib), 10, "send ext erase command!\n",
         "Ext Flash Sector Erase: 200\n", -1},
        {"ext_chip_erase", [] { return loader_ext_chip_erase(); }, request(0x1039), 10,
         "send ext chip erase command!\n", "Ext Chip Erase Error: 200\n", -1},
        {"ext_program", [a] { return loader_ext_program(a, 4, FOUR.data()); },
         request(0x103A, cat({le32(a), le32(4), FOUR})), 10, "send ext write command!\n",
         "Ext Program Error: 200\n", -1},
        {"ext_read", [a] { return loader_ext_read(a, 4, sink); },
         request(0x103B, cat({le32(a), le32(4)})), 14, "send ext read command!\n",
         "Flash Read Error: 200\n", -1},
        {"ext_flash_id", [] { return int64_t{loader_ext_flash_id()}; }, request(0x103C), 14, "",
         "Read Ext Flash ID Error: 200\n", 0xFFFFFF},
        {"ext_verify", [a] { return loader_ext_verify(a, 4, 0x1234); },
         request(0x1051, cat({le32(a), le32(4), {0x34, 0x12}})), 10, "",
         "Ext Flash Verify Error: 200\n", -1},
    };
}

TEST_F(LoaderSerial, EveryOperationSendsItsFrameAndReportsAStatusAsItsRowSays) {
    for (const op_case& op : op_cases()) {
        SCOPED_TRACE(op.name);
        peer::pty_peer module(peer::loader_request_length);
        ASSERT_TRUE(module.ok());
        run_captured([&] { return serial_open(module.path().c_str(), 0); });
        const bytes body(op.reply_len - 10, 0);
        module.script({{reply(200, body)}, {reply(0, body)}});
        const captured bad = run_captured(op.call);
        EXPECT_EQ(bad.result, op.result);
        EXPECT_EQ(bad.out, op.out);
        EXPECT_EQ(bad.err, op.error);
        const captured good = run_captured(op.call);
        EXPECT_EQ(good.err, "");
        EXPECT_EQ(good.result, 0);  // flash IDs: the zero bytes of the answer
        const std::vector<bytes> seen = module.finish();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], op.request);
        serial_close();
    }
}

TEST_F(LoaderSerial, LateAnswerIsAwaitedAndDroppedBeforeTheNextRequest) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    // The erase is answered after its time-out; the program's answer follows.
    module_.script({{reply(0), SHORT_TIMEOUT_MS + 300}, {reply(0)}});
    const captured erase = run_captured([] { return loader_sector_erase(0x802000, 4096); });
    EXPECT_EQ(erase.result, 2);
    EXPECT_EQ(link_late_bytes, 10u);
    const captured program = run_captured([] { return loader_program(0x802000, 4, FOUR.data()); });
    EXPECT_EQ(program.result, 0) << program.err;
    EXPECT_EQ(link_late_bytes, 0u);
    const std::vector<bytes> seen = module_.finish();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], request(0x1032, cat({le32(0x802000), le32(4), FOUR})));
}

TEST_F(LoaderSerial, StaleAnswerWithAnotherCodeFailsTheRequest) {
    peer::step stale{peer::with_echoed_code(request(0x1030), reply(0))};
    stale.echo_code = false;
    module_.script({stale});
    const captured c = run_captured([] { return loader_program(0x802000, 4, FOUR.data()); });
    EXPECT_EQ(c.result, 2);
    EXPECT_EQ(c.err, "answer to another request (code 1030) while waiting for the answer to 1032\n");
    // Its own answer is still owed: the link is out of step.
    EXPECT_EQ(link_late_bytes, 10u);
}

// ------------------------------------------------- the tables' slots

// Every slot of the loader tables, called through the table, must send its
// own command: slots of one signature (the erases, reads and programs, the
// flash IDs) could be swapped without a compiler noticing.
struct slot_case {
    const char* slot;
    std::function<bool(const flash_ops&)> filled;
    std::function<int64_t(const flash_ops&)> call;
    uint16_t code;       // the command code of the first request on the wire
    uint16_t reply_len;  // 0: the first request is an HCI command, left unanswered
};

#define SLOT_CASE(slot, call, code, reply_len)                                  \
    slot_case {                                                                 \
        #slot, [](const flash_ops& t) { return t.slot != nullptr; },            \
            [](const flash_ops& t) { return int64_t{t.slot call}; }, code, reply_len \
    }

std::vector<slot_case> slot_cases() {
    static uint8_t sink[16];
    constexpr uint32_t a = 0x00802000;
    return {
        SLOT_CASE(download_fw, (4, FOUR.data()), 0, 0),
        SLOT_CASE(get_prop, (), 0x1000, 54),
        SLOT_CASE(set_baudrate, (115200), 0x1010, 10),
        SLOT_CASE(page_erase, (a, 4096), 0x1030, 10),
        SLOT_CASE(chip_erase, (), 0x1031, 10),
        SLOT_CASE(program, (a, 4, FOUR.data()), 0x1032, 10),
        SLOT_CASE(read, (a, 4, sink), 0x1033, 14),
        SLOT_CASE(block64_erase, (a, 4096), 0x1035, 10),
        SLOT_CASE(flash_id, (), 0x103D, 14),
        SLOT_CASE(ext_block32_erase, (a, 4096), 0x1036, 10),
        SLOT_CASE(ext_block64_erase, (a, 4096), 0x1037, 10),
        SLOT_CASE(ext_sector_erase, (a, 4096), 0x1038, 10),
        SLOT_CASE(ext_chip_erase, (), 0x1039, 10),
        SLOT_CASE(ext_program, (a, 4, FOUR.data()), 0x103A, 10),
        SLOT_CASE(ext_read, (a, 4, sink), 0x103B, 14),
        SLOT_CASE(ext_flash_id, (), 0x103C, 14),
        SLOT_CASE(verify, (a, 4, FOUR.data()), 0x1050, 10),
        SLOT_CASE(ext_verify, (a, 4, 0x1234), 0x1051, 10),
        SLOT_CASE(efuse_burn, (FOUR.data(), 4), 0x1061, 10),
        SLOT_CASE(reboot, (3), 0x1041, 10),
    };
}

#undef SLOT_CASE

uint16_t code_on_wire(const bytes& request) {
    return static_cast<uint16_t>(request.at(1) | (request.at(2) << 8));
}

// The loader download starts with a chunk, the factory image download with
// the flash init of the HCI flash control command.
constexpr uint16_t HCI_LOADER_CHUNK = 0xFC20;
constexpr uint16_t HCI_FLASH_CONTROL = 0xFC2C;

TEST(OpsTables, EverySerialLoaderSlotSendsItsOwnCommand) {
    struct table_case {
        const char* name;
        const flash_ops* table;
        uint16_t download_code;
    } tables[] = {{"loader_ops", &loader_ops, HCI_LOADER_CHUNK},
                  {"fcimg_ops", &fcimg_ops, HCI_FLASH_CONTROL}};
    for (const table_case& t : tables) {
        for (const slot_case& s : slot_cases()) {
            SCOPED_TRACE(std::string(t.name) + "." + s.slot);
            ASSERT_TRUE(s.filled(*t.table));
            peer::pty_peer module(peer::loader_request_length);
            ASSERT_TRUE(module.ok());
            run_captured([&] { return serial_open(module.path().c_str(), 0); });
            if (s.reply_len != 0) module.script({{reply(0, bytes(s.reply_len - 10, 0))}});
            else link_set_timeout(100);
            run_captured([&] { return s.call(*t.table); });
            const std::vector<bytes> seen = module.finish();
            serial_close();
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(code_on_wire(seen[0]), s.reply_len != 0 ? s.code : t.download_code);
        }
    }
}

// ------------------------------------------------------------ time-outs

struct stretch_case {
    const char* name;
    std::function<int32_t()> erase;
    uint32_t base_ms;
    const char* line;  // "" when the time-out must stay
};

TEST_F(LoaderSerial, SizeBasedEraseStretchesOnlyToALongerTimeoutAndRestores) {
    const std::vector<stretch_case> cases = {
        {"4 KiB needs no stretch", [] { return loader_sector_erase(0, 4096); }, 5000, ""},
        {"1 MiB takes 12 s", [] { return loader_sector_erase(0, 1048576); }, 5000,
         "set timeout to 12000\n"},
        {"equal is not greater", [] { return loader_sector_erase(0, 1048576); }, 12000, ""},
        {"a longer one stays", [] { return loader_sector_erase(0, 1048576); }, 20000, ""},
        {"block64 as sector", [] { return loader_block64_erase(0, 1048576); }, 5000,
         "set timeout to 12000\n"},
        {"largest before the wrap", [] { return loader_sector_erase(0, 21474836); }, 5000,
         "set timeout to 255000\n"},
        {"32-bit product wraps", [] { return loader_sector_erase(0, 21474837); }, 5000, ""},
    };
    for (const stretch_case& s : cases) {
        SCOPED_TRACE(s.name);
        link_set_timeout(s.base_ms);
        module_.script({{reply(0)}});
        const captured c = run_captured(s.erase);
        EXPECT_EQ(c.result, 0) << c.err;
        EXPECT_EQ(c.out, std::string("send erase command!\n") + s.line);
        EXPECT_EQ(read_timeout(), s.base_ms);
    }
}

TEST_F(LoaderSerial, EraseStretchIsInForceWhileTheAnswerIsAwaited) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    module_.script({{reply(0), LATE_MS}});
    const captured stretched = run_captured([] { return loader_sector_erase(0, 1048576); });
    EXPECT_EQ(stretched.result, 0) << stretched.err;
    EXPECT_EQ(read_timeout(), SHORT_TIMEOUT_MS);

    module_.script({{reply(0), LATE_MS}});
    const captured plain = run_captured([] { return loader_sector_erase(0, 4096); });
    EXPECT_EQ(plain.result, 2);
    EXPECT_EQ(plain.err, "recv timeout! need 10 bytes, read 0 bytes.\n");
}

TEST_F(LoaderSerial, ChipEraseWaitsUpTo200SecondsAndRestoresEvenWithoutAnAnswer) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    module_.script({{reply(0), LATE_MS}});
    const captured late = run_captured([] { return loader_chip_erase(); });
    EXPECT_EQ(late.result, 0) << late.err;
    EXPECT_EQ(late.out, "send chip erase command!\nset timeout to 200000\n");
    EXPECT_EQ(read_timeout(), SHORT_TIMEOUT_MS);

    // An answer that stops part way: the read ends on the gap between bytes.
    module_.script({{first(reply(0), 6)}});
    const captured cut = run_captured([] { return loader_chip_erase(); });
    EXPECT_EQ(cut.result, 2);
    EXPECT_EQ(cut.err, "recv timeout! need 10 bytes, read 6 bytes.\n");
    EXPECT_EQ(read_timeout(), SHORT_TIMEOUT_MS);

    link_set_timeout(200000);
    module_.script({{reply(0)}});
    const captured already = run_captured([] { return loader_chip_erase(); });
    EXPECT_EQ(already.out, "send chip erase command!\n");
    EXPECT_EQ(read_timeout(), 200000u);
}

TEST_F(LoaderSerial, ExternalErasesNeverStretch) {
    const std::vector<std::function<int32_t()>> erases = {
        [] { return loader_ext_block32_erase(0, 0x1000000); },
        [] { return loader_ext_block64_erase(0, 0x1000000); },
        [] { return loader_ext_sector_erase(0, 0x1000000); },
        [] { return loader_ext_chip_erase(); },
    };
    link_set_timeout(SHORT_TIMEOUT_MS);
    for (size_t i = 0; i < erases.size(); ++i) {
        SCOPED_TRACE(i);
        module_.script({{reply(0), LATE_MS}});
        const captured c = run_captured(erases[i]);
        EXPECT_EQ(c.result, 2);
        EXPECT_EQ(c.out.find("set timeout"), std::string::npos) << c.out;
        EXPECT_EQ(c.err, "recv timeout! need 10 bytes, read 0 bytes.\n");
        // Let the late answer arrive before the next request purges the line.
        std::this_thread::sleep_for(std::chrono::milliseconds(LATE_MS));
    }
}

// ------------------------------------------------------------ flash ID

TEST_F(LoaderSerial, FlashIdIsThe24BitValueAndAShortAnswerFails) {
    const bytes id = {0x20, 0x40, 0x16, 0xC8};
    struct id_case {
        const char* name;
        bytes answer;
        uint32_t want;
        std::string err;
    };
    const std::vector<id_case> cases = {
        {"sound answer", reply(0, id), 0x164020, ""},
        {"CRC is not checked", with_crc_value(reply(0, id), 0x1111), 0x164020, ""},
        {"short answer", first(reply(0, id), 6), 0xFFFFFF,
         "recv timeout! need 14 bytes, read 6 bytes.\n"},
        {"no answer", {}, 0xFFFFFF, "recv timeout! need 14 bytes, read 0 bytes.\n"},
    };
    link_set_timeout(SHORT_TIMEOUT_MS);
    for (auto op : {loader_flash_id, loader_ext_flash_id}) {
        for (const id_case& k : cases) {
            SCOPED_TRACE(k.name);
            // The previous answer's ID bytes are still in the frame buffer.
            module_.script({{reply(0, id)}, {k.answer}});
            run_captured([&] { return int64_t{op()}; });
            const captured c = run_captured([&] { return int64_t{op()}; });
            EXPECT_EQ(c.result, k.want);
            EXPECT_EQ(c.err, k.err);
        }
    }
}

// ------------------------------------------------------------ the others

TEST_F(LoaderSerial, PropertyPrintsTheRecordWithTheNameBoundedToItsField) {
    const bytes record = cat({le32(0x20000000), le32(65536), le32(0x00800000), le32(0x80000),
                              le32(0x60000000), le32(0xFFFFFFFF), le32(0x8A01),
                              bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L',
                                     'M', 'N', 'O', 'P'})});
    module_.script({{reply(0, record)}});
    const captured c = run_captured([] { return loader_get_prop(); });
    EXPECT_EQ(c.result, 0) << c.err;
    EXPECT_EQ(c.out,
              "ID:\n\t  8A01 - ABCDEFGHIJKLMNOP\n"
              "Avail RAM for SWD:\n\tStart(HEX): 20000000, Size:    65536 bytes\n"
              "Internal Flash:\n\tStart(HEX):   800000, Size:   524288 bytes\n"
              "External Flash:\n\tStart(HEX): 60000000, Size:       -1 bytes\n");
}

TEST_F(LoaderSerial, ShortPropertyAnswerFailsItsCrc) {
    module_.script({{first(reply(0, bytes(44, 0x41)), 20)}});
    const captured c = run_captured([] { return loader_get_prop(); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err.rfind("crc16 error! read ", 0), 0u) << c.err;
    EXPECT_EQ(c.out, "");
}

TEST_F(LoaderSerial, VerifyOfAnEmptyRangeSendsLengthAndCrcZero) {
    module_.script({{reply(0)}});
    const captured c = run_captured([] { return loader_verify(0x802000, 0, nullptr); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, "crc16 = 0000\n");
    EXPECT_EQ(module_.finish(),
              std::vector<bytes>{request(0x1050, cat({le32(0x802000), le32(0), {0, 0}}))});
}

TEST_F(LoaderSerial, SetBaudrateSwitchesTheHostOnlyAfterASoundAnswer) {
    link_set_timeout(SHORT_TIMEOUT_MS);
    module_.script({{with_crc_value(reply(0), 0x0101)}});
    const captured bad = run_captured([] { return loader_set_baudrate(1000000); });
    EXPECT_EQ(bad.result, -1);
    EXPECT_EQ(bad.out, "send set baudrate command!\n");
    EXPECT_EQ(read_timeout(), SHORT_TIMEOUT_MS);  // no reconfiguration happened

    module_.script({{reply(0)}});
    const captured good = run_captured([] { return loader_set_baudrate(1000000); });
    EXPECT_EQ(good.result, 0) << good.err;
    EXPECT_EQ(good.out, "send set baudrate command!\nset baudrate command ok!\n");
    EXPECT_EQ(read_timeout(), COM_READ_CONSTANT_MS);  // the port was set up anew
}

TEST_F(LoaderSerial, RebootChecksTheCountButNotTheCrc) {
    module_.script({{with_crc_value(reply(0), 0x4242)}, {first(reply(0), 4)}});
    const captured unchecked = run_captured([] { return loader_reboot(3); });
    EXPECT_EQ(unchecked.result, 0);
    EXPECT_EQ(unchecked.err, "");
    const captured cut = run_captured([] { return loader_reboot(3); });
    EXPECT_EQ(cut.result, 2);
    EXPECT_EQ(cut.err, "recv timeout! need 10 bytes, read 4 bytes.\n");
}

// ------------------------------------------------------------ over USB

class LoaderUsb : public ::testing::Test {
protected:
    static std::string socket_path() {
        const char* tmp = std::getenv("FLINT_TEST_TMP");
        std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
        std::system(("mkdir -p '" + dir + "'").c_str());
        return dir + "/loader-usb-" + std::to_string(getpid()) + ".sock";
    }
    void SetUp() override {
        ASSERT_TRUE(module_.ok());
        env_unset("DATA_SIZE_PER_PACKET");
        setenv("FLINT_USB_DEVICE", module_.device().c_str(), 1);
        const captured open = run_captured([] { return usb_ops.open("usb", 0); });
        ASSERT_EQ(open.result, 0) << open.out << open.err;
    }
    void TearDown() override {
        usb_ops.close();
        unsetenv("FLINT_USB_DEVICE");
        link_kind = LINK_SERIAL;
    }

    peer::seqpacket_peer module_{socket_path()};
};

TEST_F(LoaderUsb, ReadSplitsAsOverTheSerialPort) {
    const bytes data = pattern(40000, 5);
    module_.script({{reply(0, first(data, 16384))},
                    {reply(0, bytes(data.begin() + 16384, data.begin() + 32768))},
                    {reply(0, bytes(data.begin() + 32768, data.end()))}});
    bytes got(40000);
    const captured c = run_captured([&] { return usb_ops.read(0x1000, 40000, got.data()); });
    EXPECT_EQ(c.result, 0) << c.out << c.err;
    EXPECT_EQ(got, data);
    const std::vector<bytes> want = {request(0x1033, cat({le32(0x1000), le32(16384)})),
                                     request(0x1033, cat({le32(0x1000 + 16384), le32(16384)})),
                                     request(0x1033, cat({le32(0x1000 + 32768), le32(7232)}))};
    EXPECT_EQ(module_.finish(), want);
}

TEST_F(LoaderUsb, TimeoutStretchPrintsItsLineToNoEffect) {
    module_.script({{reply(0)}, {reply(0)}});
    const captured sector = run_captured([] { return usb_ops.page_erase(0, 1048576); });
    EXPECT_EQ(sector.result, 0) << sector.err;
    EXPECT_EQ(sector.out, "send erase command!\nset timeout to 12000\n");
    const captured chip = run_captured([] { return usb_ops.chip_erase(); });
    EXPECT_EQ(chip.result, 0) << chip.err;
    EXPECT_EQ(chip.out, "send chip erase command!\nset timeout to 200000\n");
    EXPECT_EQ(module_.finish(), (std::vector<bytes>{request(0x1030, cat({le32(0), le32(1048576)})),
                                                    request(0x1031)}));
}

TEST_F(LoaderUsb, ResponseOfTheWrongLengthIsAShortRead) {
    module_.script({{first(reply(0), 6)}});
    const captured c = run_captured([] { return usb_ops.verify(0, 4, FOUR.data()); });
    EXPECT_EQ(c.result, 2);
    EXPECT_EQ(c.err, "recv timeout! need 10 bytes, read 0 bytes.\n");
}

TEST_F(LoaderUsb, FlashIdAndStatusResultsAsOverSerial) {
    module_.script({{reply(0, {0x20, 0x40, 0x16, 0x00})}, {reply(9)}});
    const captured id = run_captured([] { return int64_t{usb_ops.flash_id()}; });
    EXPECT_EQ(id.result, 0x164020);
    const captured prog = run_captured([] { return usb_ops.program(0, 4, FOUR.data()); });
    EXPECT_EQ(prog.result, 1);
    EXPECT_EQ(prog.err, "Program Error: 9\n");
}

TEST_F(LoaderUsb, EveryUsbSlotSendsItsOwnCommandAndTheRestAreEmpty) {
    const std::vector<std::string> empty = {"download_fw",       "get_prop",
                                            "set_baudrate",      "ext_block32_erase",
                                            "ext_block64_erase", "ext_sector_erase",
                                            "ext_chip_erase",    "ext_program",
                                            "ext_read",          "ext_verify"};
    size_t called = 0;
    for (const slot_case& s : slot_cases()) {
        SCOPED_TRACE(s.slot);
        const bool is_empty = std::find(empty.begin(), empty.end(), s.slot) != empty.end();
        ASSERT_EQ(s.filled(usb_ops), !is_empty);
        if (is_empty) continue;
        module_.script({{reply(0, bytes(s.reply_len - 10, 0))}});
        const captured c = run_captured([&] { return s.call(usb_ops); });
        EXPECT_EQ(c.err, "");
        ++called;
    }
    const std::vector<bytes> seen = module_.finish();
    ASSERT_EQ(seen.size(), called);
    size_t i = 0;
    for (const slot_case& s : slot_cases()) {
        if (!s.filled(usb_ops)) continue;
        EXPECT_EQ(code_on_wire(seen[i++]), s.code) << s.slot;
    }
}

// An answer that carries the marker and another request's code answers an
// earlier request late: it is not taken as this request's answer.
TEST_F(LoaderUsb, AnswerToAnotherRequestIsNotThisRequestsAnswer) {
    peer::step stale{peer::with_echoed_code(request(0x1030), reply(0))};
    stale.echo_code = false;
    module_.script({stale});
    const captured c = run_captured([] { return usb_ops.program(0x802000, 4, FOUR.data()); });
    EXPECT_EQ(c.result, 2);
    EXPECT_EQ(c.err, "answer to another request (code 1030) while waiting for the answer to 1032\n");
}

}  // namespace
