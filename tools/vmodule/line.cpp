#include "tools/vmodule/line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/vmodule/host_rate.h"

namespace {

constexpr uint8_t kHciCommand = 0x01;
constexpr size_t kHciHeader = 4;          // type, opcode (2), parameter length
constexpr uint8_t kRawTriggerTrailer = 0xAA;
constexpr double kHciGapS = 0.1;          // a packet that pauses this long is dropped
constexpr double kLoaderGapS = 0.5;       // a frame that pauses this long is refused
constexpr double kDrainGapS = 0.05;       // quiet time that ends an unusable frame
constexpr double kBootS = 0.05;           // restart time after a reset, input lost meanwhile
constexpr size_t kReadChunk = 65536;
constexpr double kIdle = 1e9;

std::string sys_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

serial_line::serial_line(module_core& core, const vm_options& opt)
    : core_(core), opt_(opt), log_(core.log()) {
    state_ = opt.boot == boot_state::loader ? module_state::loader : module_state::hci;
}

serial_line::~serial_line() {
    if (!opt_.pty_link.empty()) unlink(opt_.pty_link.c_str());
    if (watch_ >= 0) close(watch_);
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

// The slave is held open here so that the line survives the host closing and
// reopening it, and made the controlling terminal (the caller runs setsid first).
std::string serial_line::open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return sys_error("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return sys_error("grantpt/unlockpt");
    char name[256];
    if (ptsname_r(master_, name, sizeof name) != 0) return sys_error("ptsname");
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_CLOEXEC);
    if (slave_ < 0) return sys_error("open pty slave");
    ioctl(slave_, TIOCSCTTY, 0);  // fails harmlessly when it is already ours
    struct termios t {};
    if (tcgetattr(slave_, &t) != 0) return sys_error("tcgetattr");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) return sys_error("tcsetattr");
    int fl = fcntl(master_, F_GETFL);
    if (fl < 0 || fcntl(master_, F_SETFL, fl | O_NONBLOCK) != 0) return sys_error("fcntl");
    if (!opt_.pty_link.empty()) {
        unlink(opt_.pty_link.c_str());
        if (symlink(name, opt_.pty_link.c_str()) != 0) return sys_error("symlink");
    }
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        return sys_error("inotify");
    log_.note(where(), "power on, pty " + slave_path_);
    return "";
}

// The host's opens and closes of the slave. Once the last host descriptor is
// closed, exclusive mode (TIOCEXCL, which the tty keeps while this process
// holds the slave) is cleared so that the host can open the line again.
void serial_line::on_watch() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(watch_, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_OPEN) {
                ++host_opens_;
                log_.note(where(), "host opened the line");
            }
            if (!(ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))) continue;
            if (host_opens_ > 0) --host_opens_;
            log_.note(where(), "host closed the line");
            if (host_opens_ > 0) continue;
            ioctl(slave_, TIOCNXCL);
            if (opt_.reset_on_close) power_cycle();
        }
    }
}

std::string serial_line::where() const {
    return std::string(state_ == module_state::hci ? "hci " : "loader ") + std::to_string(rate_);
}

// ------------------------------------------------------------------ input

void serial_line::on_readable(double now) {
    uint8_t buf[kReadChunk];
    for (;;) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return;  // EAGAIN, or EIO while nobody else has the slave open
        if (now < booting_until_) {
            log_.bytes("rx", where(), buf, static_cast<size_t>(n));
            log_.note(where(), std::to_string(n) + " bytes lost: the module is restarting");
            continue;
        }
        uint32_t host = opt_.follow_rate ? host_rate(master_) : rate_;
        if (host != 0 && host != rate_) {
            log_.bytes("rx", where(), buf, static_cast<size_t>(n));
            log_.note(where(), "host sends at " + std::to_string(host) + ": " + std::to_string(n) +
                                   " bytes lost as garbage");
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            double at = now;
            if (opt_.pace) {
                at = std::max(now, last_arrival_) + byte_time();
                last_arrival_ = at;
            }
            in_.push_back({buf[i], at});
        }
    }
}

bool serial_line::input_held() const {
    for (const out_segment& s : out_)
        if (s.after != answer::then::none) return true;
    return false;
}

double serial_line::gap_limit() const {
    if (draining_) return kDrainGapS;
    return state_ == module_state::hci ? kHciGapS : kLoaderGapS;
}

void serial_line::feed(uint8_t b, double stamp) {
    last_fed_ = stamp;
    if (swallow_trailer_) {
        swallow_trailer_ = false;
        if (b == kRawTriggerTrailer) {
            log_.note(where(), "trigger trailer aa taken");
            return;
        }
    }
    if (draining_) {
        dropped_.push_back(b);
        return;
    }
    if (state_ == module_state::hci)
        feed_hci(b);
    else
        feed_loader(b);
}

void serial_line::drop(uint8_t b) { dropped_.push_back(b); }

void serial_line::flush_dropped() {
    if (dropped_.empty()) return;
    log_.bytes("rx", where(), dropped_.data(), dropped_.size());
    log_.note(where(), std::to_string(dropped_.size()) + " bytes discarded");
    dropped_.clear();
}

void serial_line::feed_hci(uint8_t b) {
    if (pkt_.empty() && b != kHciCommand) return drop(b);
    flush_dropped();
    pkt_.push_back(b);
    if (pkt_.size() < kHciHeader || pkt_.size() < kHciHeader + pkt_[3]) return;
    log_.bytes("rx", where(), pkt_.data(), pkt_.size());
    std::vector<uint8_t> p;
    p.swap(pkt_);
    answer a = core_.hci_command(session_, p.data(), p.size(), where());
    if (a.swallow_trailer) swallow_trailer_ = true;
    queue(std::move(a), now_);
}

void serial_line::feed_loader(uint8_t b) {
    if (pkt_.empty() && b != kLoaderMarker) return drop(b);
    flush_dropped();
    pkt_.push_back(b);
    long need = loader_frame_length(pkt_.data(), pkt_.size());
    if (need == kUnknownCode || need == kTooLong) {
        // The frame's end cannot be known: take the rest of it as it comes, answer after a pause.
        log_.bytes("rx", where(), pkt_.data(), pkt_.size());
        drain_code_ = static_cast<uint16_t>(pkt_[1] | pkt_[2] << 8);
        drain_status_ = need == kUnknownCode ? loader_status::unknown_command : loader_status::bad_length;
        draining_ = true;
        pkt_.clear();
        return;
    }
    if (need == 0 || pkt_.size() < static_cast<size_t>(need)) return;
    log_.bytes("rx", where(), pkt_.data(), pkt_.size());
    std::vector<uint8_t> f;
    f.swap(pkt_);
    queue(core_.loader_request(f.data(), f.size(), where()), now_);
}

void serial_line::on_gap() {
    flush_dropped();
    if (draining_) {
        draining_ = false;
        queue(core_.loader_refusal(drain_code_, drain_status_, where()), now_);
        return;
    }
    if (pkt_.empty()) return;
    log_.bytes("rx", where(), pkt_.data(), pkt_.size());
    if (state_ == module_state::hci) {
        log_.note(where(), "incomplete HCI packet discarded");
    } else {
        uint16_t c = pkt_.size() >= 3 ? static_cast<uint16_t>(pkt_[1] | pkt_[2] << 8) : 0;
        log_.note(where(), "incomplete loader frame");
        queue(core_.loader_refusal(c, loader_status::bad_length, where()), now_);
    }
    pkt_.clear();
}

// ------------------------------------------------------------------ output

void serial_line::queue(answer a, double now) {
    if (!a.has && a.after == answer::then::none) return;
    out_segment s;
    s.bytes = std::move(a.bytes);
    double start = std::max(now, busy_until_);
    busy_until_ = start + a.busy_s;
    s.not_before = busy_until_;
    s.after = a.after;
    s.rate = a.rate;
    out_.push_back(std::move(s));
    release(now);
}

// First release of an answer: logged as sent; a host listening at another
// rate receives it as garbage.
void serial_line::begin_segment(out_segment& s) {
    s.logged = true;
    if (s.after == answer::then::enter_loader) save_loader();  // saved before the host hears back
    if (s.bytes.empty()) return;
    log_.bytes("tx", where(), s.bytes.data(), s.bytes.size());
    uint32_t host = opt_.follow_rate ? host_rate(master_) : rate_;
    if (host != 0 && host != rate_) {
        log_.note(where(), "host listens at " + std::to_string(host) + ": the answer arrives as garbage");
        std::fill(s.bytes.begin(), s.bytes.end(), 0);
    }
    wire_free_at_ = std::max(wire_free_at_, s.not_before);
}

// Bytes of the segment that have reached the far end by `now`.
size_t serial_line::bytes_due(const out_segment& s, double now) const {
    size_t left = s.bytes.size() - s.pos;
    if (!opt_.pace || left == 0) return left;
    double on_wire = now - std::max(wire_free_at_, s.not_before);
    size_t due = on_wire > 0 ? static_cast<size_t>(std::floor(on_wire / byte_time())) : 0;
    return due < left ? due : left;
}

// Writes what is due of the front segments; runs each one's follow-up once it is out.
void serial_line::release(double now) {
    while (!out_.empty()) {
        out_segment& s = out_.front();
        if (now < s.not_before) return;
        if (!s.logged) begin_segment(s);
        size_t n = bytes_due(s, now);
        if (n) {
            ssize_t w = write(master_, s.bytes.data() + s.pos, n);
            if (w < 0) {
                write_blocked_ = errno == EAGAIN;
                return;
            }
            s.pos += static_cast<size_t>(w);
            if (opt_.pace) wire_free_at_ = std::max(wire_free_at_, s.not_before) + static_cast<double>(w) * byte_time();
            if (static_cast<size_t>(w) < n) write_blocked_ = true;
        }
        if (s.pos < s.bytes.size()) return;
        out_segment done = std::move(s);
        out_.pop_front();
        follow_up(done);
    }
}

void serial_line::follow_up(const out_segment& s) {
    switch (s.after) {
    case answer::then::none:
        break;
    case answer::then::switch_rate:
        log_.note(where(), "rate switched to " + std::to_string(s.rate));
        rate_ = s.rate;
        break;
    case answer::then::enter_loader:
        state_ = module_state::loader;
        pkt_.clear();
        log_.note(where(), "loader started (" + std::to_string(session_.loader.size()) + " bytes, crc16 " +
                               hex16(crc16_range(session_.loader.data(), static_cast<uint32_t>(session_.loader.size()))) + ")");
        break;
    case answer::then::reset:
        reset(now_);
        break;
    }
}

// Keeps a copy of the started loader for the user (--loader-file).
void serial_line::save_loader() {
    if (opt_.loader_file.empty()) return;
    FILE* f = std::fopen(opt_.loader_file.c_str(), "wb");
    bool ok = f && std::fwrite(session_.loader.data(), 1, session_.loader.size(), f) == session_.loader.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) log_.note(where(), "cannot write " + opt_.loader_file + ": " + std::strerror(errno));
}

// Watchdog reset or reboot: the RAM is lost; the ROM starts the factory
// image when flash holds one (it speaks the loader protocol), else waits in HCI.
void serial_line::reset(double now) {
    power_on();
    state_ = core_.factory_image_present() ? module_state::loader : module_state::hci;
    booting_until_ = now + kBootS;
    log_.note(where(), state_ == module_state::loader ? "restart: factory image runs" : "restart: ROM in HCI");
}

// Off and on again while no host holds the line: the module has booted by the
// time a host opens it, and no answer of the last host's session is left on
// the line. What the host side has written stays: the next host may have
// opened the line and sent its first request already (root is not kept out
// by the exclusive mode), before this module has even seen the close.
void serial_line::power_cycle() {
    log_.note(where(), "power off");
    tcflush(slave_, TCIFLUSH);
    out_.clear();
    busy_until_ = 0;
    write_blocked_ = false;
    power_on();
    booting_until_ = 0;
}

// Everything held in RAM is lost, input not yet taken in included.
void serial_line::power_on() {
    session_ = hci_session{};
    rate_ = kPowerOnRate;
    state_ = opt_.boot == boot_state::loader ? module_state::loader : module_state::hci;
    in_.clear();
    pkt_.clear();
    dropped_.clear();
    draining_ = false;
    swallow_trailer_ = false;
}

// ------------------------------------------------------------------ timing

void serial_line::tick(double now) {
    now_ = now;
    release(now);
    while (!in_.empty() && in_.front().at <= now && !input_held()) {
        stamped s = in_.front();
        in_.pop_front();
        now_ = s.at;
        feed(s.b, s.at);
        now_ = now;
        release(now);
    }
    if ((!pkt_.empty() || draining_ || !dropped_.empty()) && in_.empty() && now - last_fed_ >= gap_limit()) on_gap();
    if (in_.empty()) flush_dropped();
    release(now);
}

double serial_line::next_deadline(double now) const {
    double t = kIdle + now;
    if (!in_.empty() && !input_held()) t = std::min(t, in_.front().at);
    if ((!pkt_.empty() || draining_) && in_.empty()) t = std::min(t, last_fed_ + gap_limit());
    if (!out_.empty() && !write_blocked_) {
        const out_segment& s = out_.front();
        double at = s.not_before;
        if (opt_.pace && s.pos < s.bytes.size()) at = std::max(at, std::max(wire_free_at_, s.not_before) + byte_time());
        t = std::min(t, at);
    }
    return t;
}
