// Throughput of the loader protocol against the virtual module with byte
// pacing and modelled flash times: after switching to 1000000 baud, program
// and verify 1 MiB of internal flash. The figure of merit is
//
//     efficiency = (wire time + modelled flash time) / wall time
//
// where the wire time is every byte of every request and answer at 10 bits a
// byte, and the flash time is what the module spends programming (3 us a
// byte, its --flash-times model). 1.0 means the host adds nothing.
//
//   loader_bench [--vmodule PATH] [--rounds N] [--packet-size N]
//
// PATH defaults to $VMODULE, then to vmodule beside the bench's build folder.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/loader.h"
#include "vmodule_process.h"


namespace {

constexpr uint32_t BAUD = 1000000;
constexpr uint32_t BITS_PER_BYTE = 10;
constexpr uint32_t FLASH_BASE = 0x800000;
constexpr uint32_t IMAGE_BYTES = 1024 * 1024;
constexpr double PROGRAM_US_PER_BYTE = 3.0;  // the module's flash model
constexpr uint32_t REQUEST_OVERHEAD = 13;    // program request around its data
constexpr uint32_t REPLY_BYTES = 10;
constexpr uint32_t VERIFY_REQUEST_BYTES = 15;

// Runs f with standard output sent to /dev/null (the per-piece progress lines).
template <typename F>
int32_t quietly(F f) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    const int32_t r = f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return r;
}

double wire_seconds(uint64_t bytes) { return static_cast<double>(bytes) * BITS_PER_BYTE / BAUD; }

uint64_t program_wire_bytes(uint32_t len, uint32_t piece) {
    const uint64_t pieces = len / piece + (len % piece != 0 ? 1 : 0);
    return len + pieces * (REQUEST_OVERHEAD + REPLY_BYTES);
}

bool flash_holds(const std::string& file, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<uint8_t> got(data.size());
    const size_t n = std::fread(got.data(), 1, got.size(), f);
    std::fclose(f);
    return n == got.size() && got == data;
}

}  // namespace

int main(int argc, char** argv) {
    std::string exe = default_vmodule();
    int rounds = 1;
    uint32_t piece = PACKET_SIZE_DEFAULT;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--vmodule") exe = argv[i + 1];
        else if (opt == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--packet-size") piece = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    }
    char iflash[] = "/tmp/loader_bench_iflash_XXXXXX";
    const int fd = mkstemp(iflash);
    if (fd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    close(fd);

    module_process m;
    if (!start_module(exe, {"--pace", "--flash-times", "--iflash", iflash, "--boot", "loader"}, m)) {
        std::fprintf(stderr, "cannot start the virtual module %s\n", exe.c_str());
        stop_module(m);
        unlink(iflash);
        return 1;
    }
    std::vector<uint8_t> image(IMAGE_BYTES);
    for (uint32_t i = 0; i < IMAGE_BYTES; ++i) image[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);

    int failures = 0;
    std::vector<double> efficiencies;
    if (serial_open(m.pty.c_str(), 0) != 0 || loader_set_baudrate(BAUD) != 0) {
        std::fprintf(stderr, "cannot reach the loader at %u baud\n", BAUD);
        failures = 1;
        rounds = 0;
    }
    packet_size = piece;
    const uint64_t wire_bytes =
        program_wire_bytes(IMAGE_BYTES, piece) + VERIFY_REQUEST_BYTES + REPLY_BYTES;
    const double model = wire_seconds(wire_bytes) + IMAGE_BYTES * PROGRAM_US_PER_BYTE / 1e6;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const int32_t r = quietly([&] {
            const int32_t p = loader_program(FLASH_BASE, IMAGE_BYTES, image.data());
            return p != 0 ? p : loader_verify(FLASH_BASE, IMAGE_BYTES, image.data());
        });
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r != 0) {
            std::fprintf(stderr, "round %d: program/verify failed with %d\n", round + 1, r);
            ++failures;
            continue;
        }
        efficiencies.push_back(model / wall);
        std::printf("round %d: wall %.3f s, model %.3f s (wire %.3f s for %llu bytes, flash %.3f s),"
                    " efficiency %.4f\n",
                    round + 1, wall, model, wire_seconds(wire_bytes),
                    static_cast<unsigned long long>(wire_bytes), IMAGE_BYTES * PROGRAM_US_PER_BYTE / 1e6,
                    model / wall);
    }
    serial_close();
    stop_module(m);
    if (!flash_holds(iflash, image) && failures == 0) {
        std::fprintf(stderr, "the module's flash does not hold the image\n");
        failures = 1;
    }
    unlink(iflash);
    if (!efficiencies.empty()) {
        std::sort(efficiencies.begin(), efficiencies.end());
        std::printf("loader program+verify 1 MiB at %u baud, packet size %u: median efficiency %.4f\n",
                    BAUD, piece, efficiencies[efficiencies.size() / 2]);
    }
    return failures == 0 ? 0 : 1;
}
