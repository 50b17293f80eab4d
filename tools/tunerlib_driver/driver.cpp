// tunerlib_driver LIBRARY: loads the calibration library by name at run time
// and runs its exports from command lines on standard input, one call a
// line, printing each result as a line "= Export result [details]" once the
// call has returned (the library's own log lines come before it). Used by the
// end-to-end tests on Linux and, under Wine, on Windows.
//
//   build | release
//   ports CAPACITY NAMELEN [null|nullcount]  GetComPortInfo (no name array / no count)
//   find GCAP DCAP [nullgolden|nulldut|nullcount] FindDevicePortId
//   open_golden ID | open_dut ID | close_golden | close_dut
//   golden CHANNEL | dut | verify | calibrate PARAM [null] | reboot
//   mac HEX12 LEN | mac null LEN       SetDUTMacAddress
//   hello NLEN | hello null            ReturnLPCWCHAR (buffer pre-filled with '#')
//   sleep MS                           pauses the script
//   together N CALLS / CALLS           two threads at once, each running its
//                                      calls (separated by "+") N times in order
//   env NAME [VALUE]                   sets a variable of the environment ("" without VALUE)
//   Prefix "t " to any call: the result line ends with " ms=N", its wall time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tunerlib/tunerlib.h"

namespace {

struct exports {
    PFN_BuildCalibrateModule build;
    PFN_ReleaseCalibrateModule release;
    PFN_GetComPortInfo ports;
    PFN_FindDevicePortId find;
    PFN_OpenGoldenSamplePort open_golden;
    PFN_OpenDUTPort open_dut;
    PFN_CloseGoldenSamplePort close_golden;
    PFN_CloseDUTPort close_dut;
    PFN_GetGoldenInfo golden;
    PFN_GetDUTInfo dut;
    PFN_VefifyDUTInfo verify;
    PFN_StartDUTCalibrate calibrate;
    PFN_RebootGoldenSample reboot;
    PFN_SetDUTMacAddress mac;
    PFN_ReturnLPCWCHAR hello;
};

template <typename F>
bool find_symbol(void* lib, const char* name, F& fn) {
    fn = reinterpret_cast<F>(plat_library_symbol(lib, name));
    if (fn == nullptr) std::fprintf(stderr, "tunerlib_driver: %s not exported\n", name);
    return fn != nullptr;
}

bool load(void* lib, exports& x) {
    return find_symbol(lib, "BuildCalibrateModule", x.build) &
           find_symbol(lib, "ReleaseCalibrateModule", x.release) &
           find_symbol(lib, "GetComPortInfo", x.ports) & find_symbol(lib, "FindDevicePortId", x.find) &
           find_symbol(lib, "OpenGoldenSamplePort", x.open_golden) &
           find_symbol(lib, "OpenDUTPort", x.open_dut) &
           find_symbol(lib, "CloseGoldenSamplePort", x.close_golden) &
           find_symbol(lib, "CloseDUTPort", x.close_dut) & find_symbol(lib, "GetGoldenInfo", x.golden) &
           find_symbol(lib, "GetDUTInfo", x.dut) & find_symbol(lib, "VefifyDUTInfo", x.verify) &
           find_symbol(lib, "StartDUTCalibrate", x.calibrate) &
           find_symbol(lib, "RebootGoldenSample", x.reboot) &
           find_symbol(lib, "SetDUTMacAddress", x.mac) & find_symbol(lib, "ReturnLPCWCHAR", x.hello);
}

// Wide text as UTF-8 for the output; characters outside ASCII as \uXXXX.
std::string narrow(const wchar_t* w) {
    std::string out;
    for (; *w != L'\0'; ++w) {
        const unsigned long c = static_cast<unsigned long>(*w);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[24];
            std::snprintf(buf, sizeof buf, "\\u%04lX", c);
            out += buf;
        }
    }
    return out;
}

std::string ids(const unsigned char* buf, unsigned n) {
    std::string out;
    for (unsigned k = 0; k < n; ++k) {
        if (k) out += ',';
        out += std::to_string(buf[k]);
    }
    return out.empty() ? "-" : out;
}

unsigned number(const std::string& word) { return static_cast<unsigned>(std::strtoul(word.c_str(), nullptr, 0)); }

std::string run(const exports& x, const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    auto arg = [&](size_t i) -> std::string { return i < w.size() ? w[i] : std::string("0"); };
    if (cmd == "build") return "BuildCalibrateModule " + std::to_string(x.build());
    if (cmd == "release") return "ReleaseCalibrateModule " + std::to_string(x.release());
    if (cmd == "ports") {
        unsigned char count = static_cast<unsigned char>(number(arg(1)));
        const unsigned char name_len = static_cast<unsigned char>(number(arg(2)));
        const bool null_array = arg(3) == "null";
        std::vector<std::vector<wchar_t>> names(256, std::vector<wchar_t>(name_len + 1u, L'#'));
        std::vector<wchar_t*> array;
        for (auto& n : names) {
            n.back() = L'\0';
            array.push_back(n.data());
        }
        const unsigned char before = count;
        const int r = x.ports(arg(3) == "nullcount" ? nullptr : &count, null_array ? nullptr : array.data(), name_len);
        std::string out = "GetComPortInfo " + std::to_string(r) + " n=" + std::to_string(count);
        if (!null_array && before != 0 && name_len != 0) {
            out += " names=";
            for (unsigned k = 0; k < count; ++k) out += (k ? "|" : "") + narrow(names[k].data());
        }
        return out;
    }
    if (cmd == "find") {
        unsigned char gn = static_cast<unsigned char>(number(arg(1)));
        unsigned char dn = static_cast<unsigned char>(number(arg(2)));
        unsigned char g[256], d[256];
        std::memset(g, 0xEE, sizeof g);
        std::memset(d, 0xEE, sizeof d);
        const bool no_count = arg(3) == "nullcount";
        const int r = x.find(arg(3) == "nullgolden" ? nullptr : g, no_count ? nullptr : &gn,
                             arg(3) == "nulldut" ? nullptr : d, no_count ? nullptr : &dn);
        return "FindDevicePortId " + std::to_string(r) + " golden=" + ids(g, r == 0 ? gn : 0) + " gn=" +
               std::to_string(gn) + " dut=" + ids(d, r == 0 ? dn : 0) + " dn=" + std::to_string(dn);
    }
    if (cmd == "open_golden") return "OpenGoldenSamplePort " + std::to_string(x.open_golden(static_cast<unsigned char>(number(arg(1)))));
    if (cmd == "open_dut") return "OpenDUTPort " + std::to_string(x.open_dut(static_cast<unsigned char>(number(arg(1)))));
    if (cmd == "close_golden") return "CloseGoldenSamplePort " + std::to_string(x.close_golden());
    if (cmd == "close_dut") return "CloseDUTPort " + std::to_string(x.close_dut());
    if (cmd == "golden") return "GetGoldenInfo " + std::to_string(x.golden(static_cast<unsigned char>(number(arg(1)))));
    if (cmd == "dut") return "GetDUTInfo " + std::to_string(x.dut());
    if (cmd == "verify") return "VefifyDUTInfo " + std::to_string(x.verify());
    if (cmd == "calibrate") {
        unsigned char result = 0xEE;
        const int r = x.calibrate(static_cast<unsigned char>(number(arg(1))), arg(2) == "null" ? nullptr : &result);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", result);
        return "StartDUTCalibrate " + std::to_string(r) + " result=" + hex;
    }
    if (cmd == "reboot") return "RebootGoldenSample " + std::to_string(x.reboot());
    if (cmd == "mac") {
        unsigned char mac[6] = {0};
        const std::string hex = arg(1);
        for (size_t k = 0; k < 6 && 2 * k + 1 < hex.size(); ++k)
            mac[k] = static_cast<unsigned char>(std::strtoul(hex.substr(2 * k, 2).c_str(), nullptr, 16));
        return "SetDUTMacAddress " +
               std::to_string(x.mac(hex == "null" ? nullptr : mac, static_cast<unsigned char>(number(arg(2)))));
    }
    if (cmd == "hello") {
        std::vector<wchar_t> buf(64, L'#');
        buf.back() = L'\0';
        const int r = x.hello(arg(1) == "null" ? nullptr : buf.data(), number(arg(1)));
        // Shows the terminator as '0' and what stayed untouched as '#'.
        std::string shown;
        for (size_t k = 0; k < 20; ++k) shown += buf[k] == L'\0' ? '0' : static_cast<char>(buf[k]);
        return "ReturnLPCWCHAR " + std::to_string(r) + " buf=" + shown;
    }
    if (cmd == "env") return "env " + std::to_string(plat_set_env(arg(1).c_str(), w.size() > 2 ? w[2].c_str() : ""));
    if (cmd == "sleep") {
        plat_sleep_ms(number(arg(1)));
        return "sleep 0";
    }
    return "unknown " + cmd;
}

// The calls of one side of "together": words split at "+".
std::vector<std::vector<std::string>> calls_of(std::vector<std::string>::const_iterator from,
                                               std::vector<std::string>::const_iterator to) {
    std::vector<std::vector<std::string>> calls(1);
    for (; from != to; ++from) {
        if (*from == "+") calls.emplace_back();
        else calls.back().push_back(*from);
    }
    return calls;
}

// Runs the two sides in two threads at once; the result names the last
// result of each side.
std::string together(const exports& x, const std::vector<std::string>& w) {
    const auto slash = std::find(w.begin(), w.end(), "/");
    if (w.size() < 2 || slash == w.end()) return "together needs N CALLS / CALLS";
    const unsigned times = number(w[1]);
    const auto sides = {calls_of(w.begin() + 2, slash), calls_of(slash + 1, w.end())};
    std::vector<std::string> last(2);
    std::vector<std::thread> threads;
    std::promise<void> go;  // both threads begin their calls at once
    std::shared_future<void> started = go.get_future().share();
    size_t k = 0;
    for (const auto& calls : sides) {
        std::string* out = &last[k++];
        threads.emplace_back([&x, calls, times, out, started] {
            started.wait();
            for (unsigned n = 0; n < times; ++n)
                for (const auto& call : calls)
                    if (!call.empty()) *out = run(x, call);
        });
    }
    go.set_value();
    for (std::thread& t : threads) t.join();
    return "together 0 a=" + last[0] + " b=" + last[1];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tunerlib_driver LIBRARY < script\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    void* lib = plat_load_library(argv[1]);
    if (lib == nullptr) {
        std::fprintf(stderr, "tunerlib_driver: cannot load %s\n", argv[1]);
        return 2;
    }
    exports x{};
    if (!load(lib, x)) return 2;
    char line[1024];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        if (words.empty() || words[0][0] == '#') continue;
        const bool timed = words[0] == "t";
        if (timed) words.erase(words.begin());
        if (words.empty()) continue;
        const auto start = std::chrono::steady_clock::now();
        std::string result = words[0] == "together" ? together(x, words) : run(x, words);
        if (timed) {
            const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            char buf[32];
            std::snprintf(buf, sizeof buf, " ms=%.1f", ms);
            result += buf;
        }
        std::printf("= %s\n", result.c_str());
    }
    return 0;
}
