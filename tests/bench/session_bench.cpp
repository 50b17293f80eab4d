// A whole flash session, timed step by step: the shell's commands run in this
// process against the virtual module with paced bytes and modelled flash
// times, and each step's wall time is set against what the wire and the flash
// need at the least (bytes x 10 bits / baud + the module's flash times).
// The session runs three times: plain, with the byte trace (FLINT_TRACE)
// written to a file, and with the run record and live events (FLINT_RECORD,
// FLINT_EVENTS) written, each step a line of the record; the wall times are
// set against the plain run's.
//
//   session_bench [VMODULE]   (default: the vmodule beside this program's folder)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/trace.h"
#include "record/run_record.h"
#include "shell/cmd.h"
#include "vmodule_process.h"

namespace {

constexpr uint32_t kImageBytes = 1024 * 1024;
constexpr uint32_t kPacket = 16384;
constexpr double kFastBaud = 1000000;
constexpr double kSlowBaud = 115200;

double wire(double bytes, double baud) { return bytes * kBitsPerByte / baud; }

// Request and answer bytes of a split loader transfer of `len` bytes: each
// piece carries its data one way and 13 + 10 bytes of framing.
double split_bytes(uint32_t len) {
    constexpr uint32_t kFraming = 13 + 10;
    return len + static_cast<double>((len + kPacket - 1) / kPacket) * kFraming;
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Step {
    std::string line;
    double model_s;
};

struct Run {
    std::vector<double> wall;
    std::vector<double> cpu;
    std::vector<int32_t> results;
    bool started = false;
};

double total(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    std::string vmodule = argc > 1 ? argv[1] : default_vmodule();
    char tmpl[] = "/tmp/flint-session-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    std::string fw = dir + "/fw";
    mkdir(fw.c_str(), 0777);
    write_file(fw + "/KVL4420B_FW_V3.bin", kLoaderBytes, 1);
    std::string image = dir + "/app.bin";
    write_file(image, kImageBytes, 2);

    // The steps need the module's pty: they are built per run.
    const double loader_chunks = (kLoaderBytes + 251) / 252;
    const double loader_wire = wire(kLoaderBytes + loader_chunks * (5 + 8), kSlowBaud);
    const double sectors = kImageBytes / 4096.0;
    char hex_size[16];
    std::snprintf(hex_size, sizeof hex_size, "0x%X", kImageBytes);
    auto make_steps = [&](const std::string& pty) {
        return std::vector<Step>{
            {"connect " + pty, 0},
            {"loadfw --autodetect " + fw + " 1", loader_wire + wire(13 + 7, kSlowBaud) + kLoaderPausesS},
            {"setbaudrate 1000000", wire(20, kSlowBaud) + kBaudPauseS},
            {std::string("pageerase 0x800000 ") + hex_size, wire(23, kFastBaud) + sectors * kSectorEraseS},
            {"program " + image + " 0x800000",
             wire(split_bytes(kImageBytes), kFastBaud) + kImageBytes * kProgramSPerByte},
            {"flashverify " + image + " 0x800000", wire(25, kFastBaud)},
            {"savebin " + dir + "/dump.bin 0x800000 " + hex_size, wire(split_bytes(kImageBytes), kFastBaud)},
            {"disconnect", 0},
        };
    };
    std::vector<Step> steps;

    // One session against a fresh module; the trace goes to `trace_path`
    // when it is not empty.
    auto run_session = [&](const std::string& trace_path, bool recorded) {
        Run run;
        module_process m;
        if (!start_module(vmodule, {"--pace", "--flash-times", "--iflash", dir + "/iflash.bin"}, m)) {
            std::fprintf(stderr, "session_bench: cannot start %s\n", vmodule.c_str());
            return run;
        }
        run.started = true;
        steps = make_steps(m.pty);
        if (trace_path.empty())
            unsetenv("FLINT_TRACE");
        else
            setenv("FLINT_TRACE", trace_path.c_str(), 1);
        trace_stop();  // FLINT_TRACE is read again at the first transfer
        if (recorded) record_begin(argc, argv);

        // The commands' own lines go to /dev/null; the report to the real stdout.
        std::fflush(stdout);
        int saved = dup(1);
        int null_fd = open("/dev/null", O_WRONLY);
        for (const Step& s : steps) {
            dup2(null_fd, 1);
            double c0 = cpu_seconds();
            auto t0 = std::chrono::steady_clock::now();
            if (recorded) record_line_start(run_phase::script, static_cast<int32_t>(run.results.size()), s.line.c_str());
            run.results.push_back(cmd_exec_line(s.line.c_str()));
            if (recorded) record_line_end(run.results.back());
            std::fflush(stdout);
            run.wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            run.cpu.push_back(cpu_seconds() - c0);
            dup2(saved, 1);
        }
        close(null_fd);
        close(saved);
        trace_stop();
        unsetenv("FLINT_TRACE");
        if (recorded) record_end(0);
        stop_module(m);
        return run;
    };

    const Run plain = run_session("", false);
    if (!plain.started) return 1;
    const std::string trace_path = dir + "/session.trace";
    const Run traced = run_session(trace_path, false);
    if (!traced.started) return 1;
    const std::string record_path = dir + "/record.jsonl", events_path = dir + "/events.jsonl";
    setenv("FLINT_RECORD", record_path.c_str(), 1);
    setenv("FLINT_EVENTS", events_path.c_str(), 1);
    const Run recorded = run_session("", true);
    unsetenv("FLINT_RECORD");
    unsetenv("FLINT_EVENTS");
    if (!recorded.started) return 1;

    std::printf("%-44s %8s %8s %6s %s\n", "step", "wall s", "model s", "ratio", "result");
    for (size_t i = 0; i < steps.size(); ++i) {
        std::string name = steps[i].line.substr(0, steps[i].line.find(' '));
        double ratio = steps[i].model_s > 0 && plain.wall[i] > 0 ? steps[i].model_s / plain.wall[i] : 0;
        std::printf("%-44s %8.3f %8.3f %6.2f %d\n", name.c_str(), plain.wall[i], steps[i].model_s, ratio,
                    plain.results[i]);
    }

    // program and flashverify together: the figure a production line pays per image.
    const size_t program_step = 4, verify_step = 5;
    double pv_wall = plain.wall[program_step] + plain.wall[verify_step];
    double pv_model = steps[program_step].model_s + steps[verify_step].model_s;
    double pv_cpu = plain.cpu[program_step] + plain.cpu[verify_step];
    double mib = kImageBytes / (1024.0 * 1024.0);
    std::printf("program + flashverify of %.0f KiB: wall %.3f s, model %.3f s, efficiency %.3f; "
                "flint CPU %.1f ms per MiB\n",
                kImageBytes / 1024.0, pv_wall, pv_model, pv_model / pv_wall, pv_cpu * 1000 / mib);

    // The same session with the byte trace written.
    struct stat trace_stat {};
    stat(trace_path.c_str(), &trace_stat);
    const double traced_pv = traced.wall[program_step] + traced.wall[verify_step];
    std::printf("with FLINT_TRACE (%.1f MB of trace): session wall %.3f s vs %.3f s, ratio %.3f; "
                "program + flashverify %.3f s vs %.3f s, ratio %.3f; flint CPU %.1f ms per MiB\n",
                trace_stat.st_size / 1e6, total(traced.wall), total(plain.wall),
                total(traced.wall) / total(plain.wall), traced_pv, pv_wall, traced_pv / pv_wall,
                (traced.cpu[program_step] + traced.cpu[verify_step]) * 1000 / mib);

    // The same session with the run record and the live events written.
    struct stat events_stat {};
    stat(events_path.c_str(), &events_stat);
    const double recorded_pv = recorded.wall[program_step] + recorded.wall[verify_step];
    std::printf("with FLINT_RECORD and FLINT_EVENTS (%lld bytes of events): session wall %.3f s vs %.3f s, "
                "ratio %.4f (goal <= 1.01); program + flashverify %.3f s vs %.3f s, ratio %.4f; "
                "flint CPU %.1f ms per MiB\n",
                static_cast<long long>(events_stat.st_size), total(recorded.wall), total(plain.wall),
                total(recorded.wall) / total(plain.wall), recorded_pv, pv_wall, recorded_pv / pv_wall,
                (recorded.cpu[program_step] + recorded.cpu[verify_step]) * 1000 / mib);

    std::string rm = "rm -rf " + dir;
    int rc = std::system(rm.c_str());
    (void)rc;
    for (const Run* run : {&plain, &traced, &recorded})
        for (int32_t r : run->results)
            if (r != 0) return 1;
    return 0;
}
