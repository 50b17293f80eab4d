// flint-gang against one flint alone: the 256 KiB one-shot job (erase,
// program, verify with mode detection) run by flint alone against one
// byte-paced virtual module with flash times, then by flint-gang against 8
// other such modules at once, in the same run. Prints both wall times and their
// ratio (the gang's overhead: ideally 1.0). Then the station database's
// cost: the gang against the same 8 modules (each booting again between
// runs), rounds of the job with the device addresses given by -x and no
// database, and with the records kept in an SQLite file and the addresses
// taken from a pool; both medians and their ratio.
//
//   gang_bench [MODULES]   (default 8; flint, flint-gang and vmodule of this build)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vmodule_process.h"

namespace {

constexpr uint32_t kImageBytes = 256 * 1024;
constexpr int kStationRounds = 5;
// The configuration region the device address goes into (flint -x writes
// it at 0x801000 + 0x400): a block holding one address entry.
constexpr uint32_t kIflashBase = 0x800000;
constexpr uint32_t kIflashBytes = 0x100000;
constexpr uint32_t kRegionAt = 0x801000;
constexpr uint32_t kBlockAt = 0x400;

std::string build_dir() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));  // build/tests
    return dir.substr(0, dir.rfind('/'));
}

// A module's internal flash: erased, with a configuration block that
// holds an address entry (id 0x0033, 6 bytes, full mask).
bool write_iflash(const std::string& path) {
    std::vector<uint8_t> flash(kIflashBytes, 0xFF);
    const std::vector<uint8_t> entry = {0x33, 0x00, 6, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t* region = flash.data() + (kRegionAt - kIflashBase);
    const uint32_t block_size = 6 + static_cast<uint32_t>(entry.size());
    for (int i = 0; i < 4; ++i) region[8 + i] = static_cast<uint8_t>(block_size >> (8 * i));
    uint8_t* block = region + kBlockAt;
    block[4] = static_cast<uint8_t>(entry.size());
    block[5] = 0;
    std::copy(entry.begin(), entry.end(), block + 6);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    return std::fclose(f) == 0 && ok;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool copy_file(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = std::fopen(to.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    char buf[65536];
    size_t n;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0) ok = std::fwrite(buf, 1, n, out) == n;
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    return ok && chmod(to.c_str(), 0755) == 0;
}

// Runs a program in `dir` with its output into `out_path`; its exit status
// and the wall seconds.
int run(const std::string& dir, std::vector<std::string> args, const std::string& out_path, double* seconds) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    std::string cwd_saved(4096, '\0');
    if (getcwd(cwd_saved.data(), cwd_saved.size()) == nullptr) cwd_saved = "/";
    if (chdir(dir.c_str()) != 0) return -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ);
    if (chdir(cwd_saved.c_str()) != 0) return -1;
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 8;
    if (count < 1 || count > 64) return 2;
    const std::string build = build_dir();
    char tmpl[] = "/tmp/flint-gang-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    // A station folder: flint, flint-gang and the loader folder side by side.
    mkdir((dir + "/fw").c_str(), 0777);
    write_file(dir + "/fw/KVL4420B_FW_V3.bin", kLoaderBytes, 1);
    write_file(dir + "/app.bin", kImageBytes, 2);
    if (!copy_file(build + "/flint", dir + "/flint") || !copy_file(build + "/flint-gang", dir + "/flint-gang")) {
        std::fprintf(stderr, "gang_bench: flint and flint-gang of %s are needed\n", build.c_str());
        return 1;
    }

    // Module 0 is flint's alone, modules 1 to `count` the gang's: each run
    // meets modules fresh from power-on, all of them alive at the same time.
    std::vector<module_process> modules(static_cast<size_t>(count) + 1);
    std::string ports;
    for (size_t i = 0; i < modules.size(); ++i) {
        const std::string iflash = dir + "/iflash" + std::to_string(i) + ".bin";
        if (!write_iflash(iflash) ||
            !start_module(default_vmodule(), {"--pace", "--flash-times", "--reset-on-close", "--iflash", iflash},
                          modules[i])) {
            std::fprintf(stderr, "gang_bench: cannot start the virtual module\n");
            return 1;
        }
        if (i > 0) ports += (i > 1 ? "," : "") + modules[i].pty;
    }
    char size_text[16];
    std::snprintf(size_text, sizeof size_text, "0x%X", kImageBytes);
    // Clear of the configuration region at 0x801000.
    const std::vector<std::string> job = {"-e", "-p", "-v", "-A", "0x810000", "-S", size_text, "-F", "app.bin"};

    std::vector<std::string> alone = {dir + "/flint", "-c", modules[0].pty};
    alone.insert(alone.end(), job.begin(), job.end());
    double alone_s = 0;
    const int alone_rc = run(dir, alone, dir + "/alone.out", &alone_s);

    std::vector<std::string> gang = {dir + "/flint-gang", "-c", ports, "--logs", dir + "/logs"};
    gang.insert(gang.end(), job.begin(), job.end());
    double gang_s = 0;
    const int gang_rc = run(dir, gang, dir + "/gang.out", &gang_s);

    // The station database: -x and no database against a pool and an SQLite
    // file, in alternating order.
    std::string addresses;
    for (int i = 1; i <= count; ++i) {
        char text[24];
        std::snprintf(text, sizeof text, "%s00:11:22:33:00:%02X", i > 1 ? "," : "", i);
        addresses += text;
    }
    double unused = 0;
    const std::string db = "sqlite:" + dir + "/station.db";
    run(dir, {dir + "/flint-gang", "pool", "create", "bench", "00:11:22:50:00:00", "00:11:22:50:FF:FF", "--db", db},
        dir + "/pool.out", &unused);
    std::vector<double> plain_s, station_s;
    int station_rc = 0;
    for (int round = 0; round < kStationRounds * 2; ++round) {
        const bool with_db = (round % 2 == 1) == (round / 2 % 2 == 0);
        std::vector<std::string> args = {dir + "/flint-gang", "-c", ports, "--logs", dir + "/logs-" + std::to_string(round)};
        if (with_db) {
            args.insert(args.end(), {"--db", db, "--pool", "bench"});
        } else {
            args.insert(args.end(), {"--db", "none", "-x", addresses});
        }
        args.insert(args.end(), job.begin(), job.end());
        double seconds = 0;
        station_rc |= run(dir, args, dir + "/station-" + std::to_string(round) + ".out", &seconds);
        (with_db ? station_s : plain_s).push_back(seconds);
    }

    for (module_process& m : modules) stop_module(m);
    std::printf("flint-gang of %d modules, %d rounds: -x without a database %.3f s; --pool with an SQLite station "
                "database %.3f s (medians); ratio %.4f\n",
                count, kStationRounds, median(plain_s), median(station_s), median(station_s) / median(plain_s));
    std::printf("one-shot job of %u KiB: flint alone %.3f s (exit %d); flint-gang of %d modules %.3f s (exit %d); "
                "ratio %.3f\n",
                kImageBytes / 1024, alone_s, alone_rc, count, gang_s, gang_rc, gang_s / alone_s);
    if (alone_rc != 0 || gang_rc != 0 || station_rc != 0) {
        std::fprintf(stderr, "gang_bench: a run failed, see %s\n", dir.c_str());
        return 1;
    }
    std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
