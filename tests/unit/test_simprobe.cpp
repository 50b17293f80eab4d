// The simulated probe's target model and settings: a loader starts only as
// the SWD download leaves the CPU, and serves the mailbox as flint expects;
// faults are read as written and a wrong one is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/le.h"
#include "tools/simprobe/config.h"
#include "tools/simprobe/target.h"

namespace {

constexpr uint32_t RAM = 0x00200000;
constexpr uint32_t MAILBOX = RAM + 0x2000;
constexpr uint32_t FLASH = 0x800000;

struct Target {
    std::vector<std::string> notes;
    sim_target t{FLASH, 0x10000, 0, [this](const std::string& n) { notes.push_back(n); }};

    // Halt, write the image, set the registers, run: the SWD download.
    void download(uint32_t pc, uint32_t msp, uint32_t first_word = 0xE7FEE7FE) {
        uint8_t image[8] = {};
        le32_put(image, first_word);
        t.halt();
        t.write(RAM, sizeof image, image);
        t.write_reg(sim_target::REG_MSP, msp);
        t.write_reg(sim_target::REG_PSP, msp);
        t.write_reg(sim_target::REG_PC, pc);
        t.go();
    }

    // One mailbox request; the status word read back afterwards.
    uint32_t request(uint32_t command, uint32_t addr, uint32_t len, const std::vector<uint8_t>& data = {}) {
        std::vector<uint8_t> box(12 + data.size());
        le32_put(box.data(), command);
        le32_put(box.data() + 4, addr);
        le32_put(box.data() + 8, len);
        std::copy(data.begin(), data.end(), box.begin() + 12);
        t.halt();
        t.write(MAILBOX, static_cast<uint32_t>(box.size()), box.data());
        t.go();
        uint8_t status[4];
        t.read(MAILBOX, 4, status);
        return le32_get(status);
    }
};

TEST(SimTarget, TheLoaderStartsOnlyWhereTheDownloadLeavesTheCpu) {
    struct row {
        const char* name;
        uint32_t pc, msp, first_word;
        bool starts;
    } rows[] = {
        {"as downloaded", RAM, RAM + 0x10000, 0xE7FEE7FE, true},
        {"pc inside the block", RAM + 4, RAM + 0x10000, 0xE7FEE7FE, false},
        {"stack elsewhere", RAM, RAM + 0x8000, 0xE7FEE7FE, false},
        {"no image", RAM, RAM + 0x10000, 0, false},
    };
    for (const row& r : rows) {
        Target x;
        x.download(r.pc, r.msp, r.first_word);
        EXPECT_EQ(x.t.loader_running(), r.starts) << r.name;
        // Without a loader the request stays, and its command reads back as a failure.
        EXPECT_EQ(x.request(5, 0, 0), r.starts ? 0u : 5u) << r.name;
    }
}

TEST(SimTarget, RegistersAreWrittenOnlyWhileHalted) {
    Target x;
    EXPECT_FALSE(x.t.write_reg(sim_target::REG_PC, 1));
    x.t.halt();
    EXPECT_TRUE(x.t.write_reg(sim_target::REG_PC, 1));
    EXPECT_EQ(x.t.write(0x30000000, 4, reinterpret_cast<const uint8_t*>("abcd")), -1);
    EXPECT_EQ(x.t.write(RAM + 0xFFFE, 4, reinterpret_cast<const uint8_t*>("abcd")), -1);
}

TEST(SimTarget, MailboxRequests) {
    Target x;
    x.download(RAM, RAM + 0x10000);
    std::vector<uint8_t>& flash = x.t.flash();

    EXPECT_EQ(x.request(3, FLASH + 0x10, 4, {0x0F, 0xF0, 0x00, 0xFF}), 0u);
    EXPECT_EQ(x.request(3, FLASH + 0x10, 4, {0xF1, 0x1F, 0xFF, 0x00}), 0u);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x10, flash.begin() + 0x14),
              (std::vector<uint8_t>{0x01, 0x10, 0x00, 0x00}));  // bits only go from 1 to 0

    EXPECT_EQ(x.request(2, FLASH + 0x10, 2), 0u);
    uint8_t got[2];
    x.t.read(MAILBOX + 12, 2, got);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(got[1], 0x10);

    flash.assign(flash.size(), 0);
    EXPECT_EQ(x.request(4, FLASH + 0x1FFF, 2), 0u);  // touches pages 1 and 2
    EXPECT_EQ(flash[0xFFF], 0x00);
    EXPECT_EQ(flash[0x1000], 0xFF);
    EXPECT_EQ(flash[0x2FFF], 0xFF);
    EXPECT_EQ(flash[0x3000], 0x00);

    EXPECT_EQ(x.request(2, FLASH, 0xC001), sim_target::STATUS_REFUSED);
    EXPECT_EQ(x.request(2, FLASH + 0xFFFF, 2), sim_target::STATUS_REFUSED);
    EXPECT_EQ(x.request(4, FLASH - 0x1000, 0x1000), sim_target::STATUS_REFUSED);
    EXPECT_EQ(x.request(5, 0, 0), 0u);
    EXPECT_EQ(flash[0], 0xFF);
    EXPECT_EQ(flash[0xFFFF], 0xFF);
}

TEST(SimProbeConfig, FaultsAndRefusedSettings) {
    struct row {
        const char* faults;
        bool refused;
    } rows[] = {
        {"halt-refused, short-write=4,status=5,reg-refused=17", false},
        {"", false},
        {"bogus", true},
        {"short-write=0", true},
        {"status=x", true},
        {"halt-refused=1", true},
    };
    for (const row& r : rows) {
        setenv("SIMPROBE_FAULT", r.faults, 1);
        const simprobe_config c = simprobe_read_config();
        EXPECT_EQ(!c.error.empty(), r.refused) << r.faults << ": " << c.error;
    }
    setenv("SIMPROBE_FAULT", "halt-refused, short-write=4,status=5,reg-refused=17", 1);
    const simprobe_config c = simprobe_read_config();
    EXPECT_TRUE(c.faults.halt_refused);
    EXPECT_FALSE(c.faults.no_probe);
    EXPECT_EQ(c.faults.short_write, 4u);
    EXPECT_EQ(c.faults.status, 5u);
    EXPECT_EQ(c.faults.reg_refused, 17);
    unsetenv("SIMPROBE_FAULT");
}

}  // namespace
