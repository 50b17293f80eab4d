// simgolden: simulated golden samples and devices under test (DUTs) for the
// calibration library, one per pseudo-terminal, with injected faults.
//
//   simgolden [--pace] [--log FILE] MODULE...
//
// Prints "simgolden ready: PTY..." (one slave path per MODULE, in order) once
// every module listens, and runs until SIGTERM or SIGINT. See the project's
// README.md ("Dry run with simulated modules").
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "common/crc16.h"

namespace {

const char USAGE[] =
    "usage: simgolden [--pace] [--log FILE] MODULE...\n"
    "  MODULE: ROLE[,payload=N][,result=N][,split-delay=MS][,split-gap=MS][,fault=OP:KIND[:COUNT[:SKIP]]]...\n"
    "  ROLE:   golden | dut | dut2 | silent | a role byte (e.g. 0x13)\n"
    "  OP:     identify golden dut verify calibrate reboot mac any\n"
    "  KIND:   type badcrc crcswap status=N split=A[/B] len=N short=N silence\n"
    "          hangup hangup-after=N\n";

constexpr uint8_t PACKET_TYPE = 0x87;
constexpr uint8_t WRONG_TYPE = 0x78;
constexpr uint8_t ROLE_GOLDEN = 0x12;
constexpr uint8_t ROLE_DUT = 0x11;
constexpr uint8_t ROLE_DUT2 = 0x21;
constexpr int ROLE_SILENT = -1;
constexpr size_t REQUEST_MIN = 5;
constexpr size_t REQUEST_MAX = 4096;
constexpr double BYTE_S = 10.0 / 115200;  // one byte at 115200 8N1
constexpr double SPLIT_GAP_S = 0.25;      // default pause between the pieces of a split reply
constexpr double REQUEST_GAP_S = 0.1;     // bytes that pause this long without a frame are dropped
constexpr size_t DEFAULT_PAYLOAD = 16;

struct op_name {
    const char* name;
    int code;
};
const op_name OPS[] = {{"identify", 0x16}, {"golden", 0x12}, {"dut", 0x13},  {"verify", 0x14},
                       {"calibrate", 0x15}, {"reboot", 0x17}, {"mac", 0x18}, {"any", -1}};

enum class kind { type, badcrc, crcswap, status, split, len, shortened, silence, hangup, hangup_after };
// As the fault option names them, in the order of `kind`.
const char* const KIND_NAMES[] = {"type", "badcrc", "crcswap", "status", "split", "len",
                                  "short", "silence", "hangup", "hangup-after"};

struct fault {
    int op = -1;
    kind k = kind::badcrc;
    uint32_t a = 0, b = 0;  // value, or the split offsets
    uint32_t count = 1;     // 0: every matching request after skip
    uint32_t skip = 0;
    uint32_t seen = 0;
};

struct module_options {
    int role = ROLE_GOLDEN;
    size_t payload = DEFAULT_PAYLOAD;
    int result = -1;  // -1: computed from the request
    double split_delay_s = 0;  // a split reply's first piece leaves this late
    double split_gap_s = SPLIT_GAP_S;
    std::vector<fault> faults;
};

struct options {
    bool pace = false;
    std::string log;
    std::vector<module_options> modules;
};

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

bool parse_number(const std::string& s, uint32_t& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(s.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || n > 0xFFFFFFFFul) return false;
    v = static_cast<uint32_t>(n);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        const size_t next = s.find(sep, at);
        out.push_back(s.substr(at, next - at));
        if (next == std::string::npos) return out;
        at = next + 1;
    }
}

bool parse_fault(const std::string& text, fault& f) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 4) return false;
    bool known = false;
    for (const op_name& o : OPS)
        if (parts[0] == o.name) f.op = o.code, known = true;
    if (!known) return false;
    const std::string& k = parts[1];
    const size_t eq = k.find('=');
    const std::string name = k.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : k.substr(eq + 1);
    const bool needs_value = name == "status" || name == "split" || name == "len" || name == "short" ||
                             name == "hangup-after";
    if (needs_value == value.empty()) return false;
    if (name == "type") f.k = kind::type;
    else if (name == "badcrc") f.k = kind::badcrc;
    else if (name == "crcswap") f.k = kind::crcswap;
    else if (name == "silence") f.k = kind::silence;
    else if (name == "hangup") f.k = kind::hangup;
    else if (name == "status") f.k = kind::status;
    else if (name == "len") f.k = kind::len;
    else if (name == "short") f.k = kind::shortened;
    else if (name == "hangup-after") f.k = kind::hangup_after;
    else if (name == "split") f.k = kind::split;
    else return false;
    if (f.k == kind::split) {
        const std::vector<std::string> at = split(value, '/');
        if (at.size() > 2 || !parse_number(at[0], f.a)) return false;
        if (at.size() == 2 && (!parse_number(at[1], f.b) || f.b <= f.a)) return false;
    } else if (needs_value && !parse_number(value, f.a)) {
        return false;
    }
    if (parts.size() > 2 && !parse_number(parts[2], f.count)) return false;
    if (parts.size() > 3 && !parse_number(parts[3], f.skip)) return false;
    return true;
}

bool parse_module(const std::string& text, module_options& m) {
    const std::vector<std::string> items = split(text, ',');
    const std::string& role = items[0];
    uint32_t v = 0;
    if (role == "golden") m.role = ROLE_GOLDEN;
    else if (role == "dut") m.role = ROLE_DUT;
    else if (role == "dut2") m.role = ROLE_DUT2;
    else if (role == "silent") m.role = ROLE_SILENT;
    else if (parse_number(role, v) && v <= 0xFF) m.role = static_cast<int>(v);
    else return false;
    for (size_t i = 1; i < items.size(); ++i) {
        const std::string& it = items[i];
        if (it.rfind("payload=", 0) == 0) {
            if (!parse_number(it.substr(8), v) || v > 246) return false;
            m.payload = v;
        } else if (it.rfind("result=", 0) == 0) {
            if (!parse_number(it.substr(7), v) || v > 0xFF) return false;
            m.result = static_cast<int>(v);
        } else if (it.rfind("split-delay=", 0) == 0) {
            if (!parse_number(it.substr(12), v)) return false;
            m.split_delay_s = v / 1000.0;
        } else if (it.rfind("split-gap=", 0) == 0) {
            if (!parse_number(it.substr(10), v)) return false;
            m.split_gap_s = v / 1000.0;
        } else if (it.rfind("fault=", 0) == 0) {
            fault f;
            if (!parse_fault(it.substr(6), f)) return false;
            m.faults.push_back(f);
        } else {
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------------ one module

std::string hex(const std::vector<uint8_t>& b) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        out += buf;
    }
    return out;
}

class module {
public:
    module(size_t index, const module_options& m, const options& o) : index_(index), m_(m), o_(o) {}

    // Opens the pseudo-terminal and makes it this process's controlling
    // terminal (the caller leads its own session). "" or the reason.
    std::string open_line() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return "posix_openpt failed";
        char name[256];
        if (ptsname_r(master_, name, sizeof name) != 0) return "ptsname failed";
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_CLOEXEC);
        if (slave_ < 0) return "cannot open " + path_;
        ioctl(slave_, TIOCSCTTY, 0);
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        return "";
    }
    const std::string& path() const { return path_; }

    void run() {
        note("listening on " + path_);
        while (!g_stop) {
            const double now = now_s();
            release(now);
            if (!in_.empty() && now - last_in_ >= REQUEST_GAP_S) {
                log("rx", in_);
                note("incomplete request dropped");
                in_.clear();
            }
            double wake = now + 1.0;
            if (!out_.empty()) wake = std::min(wake, next_out_);
            if (!in_.empty()) wake = std::min(wake, last_in_ + REQUEST_GAP_S);
            int ms = static_cast<int>(std::ceil((wake - now_s()) * 1000));
            if (ms < 0) ms = 0;
            if (master_ < 0) {
                poll(nullptr, 0, 1000);
                continue;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, ms) > 0 && (p.revents & POLLIN)) take_in();
        }
    }

private:
    void log(const char* dir, const std::vector<uint8_t>& b) { line(std::string(dir) + " " + hex(b)); }
    void note(const std::string& text) { line("-- " + text); }
    void line(const std::string& text) {
        if (o_.log.empty()) return;
        const std::string l = std::to_string(index_) + " " + text + "\n";
        const int fd = ::open(o_.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        (void)!write(fd, l.data(), l.size());
        close(fd);
    }

    void take_in() {
        uint8_t buf[REQUEST_MAX];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return;  // EIO while the host has the line closed
        const double now = now_s();
        for (ssize_t i = 0; i < n; ++i) {
            if (in_.empty() && buf[i] != PACKET_TYPE) {
                note("byte " + hex({buf[i]}) + " outside a request dropped");
                continue;
            }
            in_.push_back(buf[i]);
        }
        last_in_ = now;
        // A request has no length field: it ends where its CRC matches.
        if (in_.size() >= REQUEST_MIN &&
            crc16(0, in_.data(), static_cast<uint32_t>(in_.size() - 2)) ==
                static_cast<uint16_t>(in_[in_.size() - 2] | in_[in_.size() - 1] << 8)) {
            std::vector<uint8_t> req;
            req.swap(in_);
            log("rx", req);
            // The request is on the wire for its own length at the line rate.
            answer(req, o_.pace ? now + static_cast<double>(req.size()) * BYTE_S : now);
        } else if (in_.size() > REQUEST_MAX) {
            note("overlong request dropped");
            in_.clear();
        }
    }

    std::vector<uint8_t> payload_for(const std::vector<uint8_t>& req) {
        const uint8_t op = req[1];
        const std::vector<uint8_t> params(req.begin() + 3, req.end() - 2);
        std::vector<uint8_t> p;
        switch (op) {
        case 0x16:
            p.push_back(static_cast<uint8_t>(m_.role));
            break;
        case 0x12:  // golden data: the channel and DUT type, then a pattern
            for (size_t k = 0; k < m_.payload; ++k) {
                const uint8_t v = k == 0 ? params[0] : k == 1 ? params[1]
                                                              : static_cast<uint8_t>(params[0] * 7 + k * 13);
                p.push_back(v);
            }
            break;
        case 0x13:  // DUT data: its own pattern mixed with what the golden sample sent
            for (size_t k = 0; k < m_.payload; ++k)
                p.push_back(static_cast<uint8_t>((k < params.size() ? params[k] : 0) ^ (0x5A + k)));
            break;
        case 0x14:  // verify data: the DUT's data transformed
            for (size_t k = 0; k < params.size(); ++k) p.push_back(static_cast<uint8_t>(params[k] ^ 0xA5));
            break;
        case 0x15: {  // calibration result
            uint8_t sum = 0;
            for (uint8_t b : params) sum = static_cast<uint8_t>(sum + b);
            p.push_back(m_.result >= 0 ? static_cast<uint8_t>(m_.result) : sum);
            break;
        }
        default:  // reboot, set MAC: no data
            break;
        }
        return p;
    }

    bool serves(uint8_t op) const {
        if (op == 0x16) return true;
        if (m_.role == ROLE_GOLDEN) return op == 0x12 || op == 0x14 || op == 0x17;
        if (m_.role == ROLE_DUT || m_.role == ROLE_DUT2) return op == 0x13 || op == 0x15 || op == 0x18;
        return false;
    }

    void answer(const std::vector<uint8_t>& req, double start) {
        if (m_.role == ROLE_SILENT) return;
        const uint8_t op = req[1];
        uint8_t status = serves(op) ? 0 : 1;
        std::vector<uint8_t> payload = serves(op) ? payload_for(req) : std::vector<uint8_t>();
        bool bad_type = false, badcrc = false, crcswap = false, silence = false, hangup = false;
        int hangup_after = -1, shortened = -1;
        int64_t declared = -1;
        std::vector<size_t> cuts;
        std::string applied;  // the faults met, for the log
        for (fault& f : m_.faults) {
            if (f.op != -1 && f.op != op) continue;
            const uint32_t seen = f.seen++;
            if (seen < f.skip || (f.count != 0 && seen >= f.skip + f.count)) continue;
            applied += std::string(" ") + KIND_NAMES[static_cast<int>(f.k)];
            switch (f.k) {
            case kind::type: bad_type = true; break;
            case kind::badcrc: badcrc = true; break;
            case kind::crcswap: crcswap = true; break;
            case kind::status: status = static_cast<uint8_t>(f.a); break;
            case kind::len: declared = f.a; break;
            case kind::shortened: shortened = static_cast<int>(f.a); break;
            case kind::silence: silence = true; break;
            case kind::hangup: hangup = true; break;
            case kind::hangup_after: hangup_after = static_cast<int>(f.a); break;
            case kind::split:
                cuts.push_back(f.a);
                if (f.b) cuts.push_back(f.b);
                break;
            }
        }
        if (hangup) return hang_up();
        if (silence) return note("silent (fault)");
        std::vector<uint8_t> r = {bad_type ? WRONG_TYPE : PACKET_TYPE, op, 0x11, status};
        const uint32_t len = declared >= 0 ? static_cast<uint32_t>(declared) : static_cast<uint32_t>(payload.size());
        for (int s = 0; s < 32; s += 8) r.push_back(static_cast<uint8_t>(len >> s));
        r.insert(r.end(), payload.begin(), payload.end());
        uint16_t crc = crc16(0, r.data(), static_cast<uint32_t>(r.size()));
        if (badcrc) crc ^= 0x0001;
        r.push_back(static_cast<uint8_t>(crcswap ? crc >> 8 : crc & 0xFF));
        r.push_back(static_cast<uint8_t>(crcswap ? crc & 0xFF : crc >> 8));
        if (shortened >= 0 && static_cast<size_t>(shortened) < r.size()) r.resize(static_cast<size_t>(shortened));
        if (hangup_after >= 0 && static_cast<size_t>(hangup_after) < r.size()) r.resize(static_cast<size_t>(hangup_after));
        // The reply as decided when the request came, and the faults it met:
        // "-- reply HEX", then " fault KIND..." when there were any.
        note("reply " + hex(r) + (applied.empty() ? "" : " fault" + applied));
        // Pieces: the reply's bytes from each cut on leave a pause later.
        size_t from = 0;
        double at = cuts.empty() ? start : start + m_.split_delay_s;
        cuts.push_back(r.size());
        for (size_t cut : cuts) {
            if (cut > r.size()) cut = r.size();
            if (cut <= from) continue;
            out_.push_back({std::vector<uint8_t>(r.begin() + static_cast<long>(from), r.begin() + static_cast<long>(cut)), at, 0});
            from = cut;
            at += m_.split_gap_s;
        }
        if (hangup_after >= 0) out_.push_back({{}, at, 0, true});
        if (!out_.empty()) next_out_ = out_.front().at;
    }

    void hang_up() {
        note("hang up (fault)");
        if (master_ >= 0) close(master_);
        master_ = -1;
        out_.clear();
    }

    struct piece {
        std::vector<uint8_t> bytes;
        double at;     // when its first byte leaves
        size_t sent;
        bool hangup = false;
    };

    // Writes what is due; paced at the line rate with --pace.
    void release(double now) {
        while (!out_.empty() && master_ >= 0) {
            piece& p = out_.front();
            if (now < p.at) {
                next_out_ = p.at;
                return;
            }
            if (p.hangup) {
                out_.pop_front();
                return hang_up();
            }
            size_t due = p.bytes.size() - p.sent;
            if (o_.pace) {
                const size_t by_time = static_cast<size_t>((now - p.at) / BYTE_S) + 1;
                due = std::min(due, by_time > p.sent ? by_time - p.sent : 0);
            }
            if (due > 0) {
                const ssize_t w = write(master_, p.bytes.data() + p.sent, due);
                if (w > 0) {
                    if (p.sent == 0) log("tx", p.bytes);
                    p.sent += static_cast<size_t>(w);
                }
            }
            if (p.sent < p.bytes.size()) {
                next_out_ = o_.pace ? p.at + static_cast<double>(p.sent) * BYTE_S : now + 0.001;
                return;
            }
            out_.pop_front();
        }
    }

    size_t index_;
    module_options m_;  // its own copy: the fault counters change
    const options& o_;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::vector<uint8_t> in_;
    double last_in_ = 0;
    std::deque<piece> out_;
    double next_out_ = 0;
};

// Runs one module in a child of its own session; writes its slave path (or
// an error text starting with '!') and a newline to `report`.
pid_t start_module(size_t index, const module_options& m, const options& o, int report) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setsid();
    signal(SIGHUP, SIG_IGN);
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    module mod(index, m, o);
    const std::string why = mod.open_line();
    const std::string line = (why.empty() ? mod.path() : "!" + why) + "\n";
    (void)!write(report, line.data(), line.size());
    close(report);
    if (!why.empty()) _exit(1);
    mod.run();
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pace") {
            o.pace = true;
        } else if (a == "--log" && i + 1 < argc) {
            o.log = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else {
            module_options m;
            if (!parse_module(a, m)) {
                std::fprintf(stderr, "simgolden: bad module '%s'\n%s", a.c_str(), USAGE);
                return 2;
            }
            o.modules.push_back(m);
        }
    }
    if (o.modules.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    signal(SIGPIPE, SIG_IGN);
    std::vector<pid_t> children;
    std::string ready = "simgolden ready:";
    bool ok = true;
    for (size_t i = 0; i < o.modules.size(); ++i) {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        const pid_t pid = start_module(i, o.modules[i], o, fds[1]);
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
        close(fds[0]);
        if (pid > 0) children.push_back(pid);
        if (pid < 0 || line.empty() || line[0] == '!') {
            std::fprintf(stderr, "simgolden: module %zu: %s\n", i, line.empty() ? "did not start" : line.c_str() + 1);
            ok = false;
            break;
        }
        ready += " " + line;
    }
    if (ok) {
        std::printf("%s\n", ready.c_str());
        std::fflush(stdout);
        while (!g_stop) pause();
    }
    for (pid_t pid : children) kill(pid, SIGTERM);
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    return ok ? 0 : 1;
}
