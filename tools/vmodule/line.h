// The module's serial line: a pseudo-terminal whose master end the module
// holds, with the host on the slave. Bytes are taken in at the module's own
// rate (bytes sent while the host's rate differs are lost, as on a real
// line), assembled into HCI packets or loader frames by the module's state,
// and answered in order.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/vmodule/module.h"

// Answers waiting to leave, in order; an answer's follow-up (rate switch,
// reset, state change) runs once its last byte has left.
struct out_segment {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    double not_before = 0;  // flash work still running until then
    answer::then after = answer::then::none;
    uint32_t rate = 0;
    bool logged = false;
};

enum class module_state { hci, loader };

class serial_line {
public:
    serial_line(module_core& core, const vm_options& opt);
    ~serial_line();
    // Creates the pty (and the link to its slave). "" on success, else the reason.
    std::string open();
    const std::string& slave_path() const { return slave_path_; }
    int fd() const { return master_; }
    // inotify descriptor that reports the host opening and closing the slave.
    int watch_fd() const { return watch_; }
    void on_watch();
    bool wants_write() const { return write_blocked_; }

    void on_readable(double now);
    void on_writable() { write_blocked_ = false; }
    // Feeds due input, handles gaps, releases due output.
    void tick(double now);
    // Absolute time of the next thing to do (a large value when idle).
    double next_deadline(double now) const;

private:
    std::string where() const;
    double byte_time() const { return 10.0 / rate_; }
    void feed(uint8_t b, double stamp);
    void feed_hci(uint8_t b);
    void feed_loader(uint8_t b);
    void on_gap();
    void drop(uint8_t b);
    void flush_dropped();
    void queue(answer a, double now);
    void release(double now);
    void begin_segment(out_segment& s);
    size_t bytes_due(const out_segment& s, double now) const;
    void follow_up(const out_segment& s);
    void reset(double now);
    void power_cycle();
    void power_on();
    void save_loader();
    bool input_held() const;
    double gap_limit() const;

    module_core& core_;
    const vm_options& opt_;
    event_log& log_;
    int master_ = -1;
    int slave_ = -1;
    int watch_ = -1;
    int host_opens_ = 0;          // host descriptors open on the slave
    double booting_until_ = 0;    // input is lost while the module restarts
    std::string slave_path_;

    module_state state_ = module_state::hci;
    uint32_t rate_ = kPowerOnRate;
    hci_session session_;

    struct stamped { uint8_t b; double at; };
    std::deque<stamped> in_;      // received, not yet taken in
    double last_arrival_ = 0;     // wire time of the last received byte (pacing)
    std::vector<uint8_t> pkt_;    // packet or frame being assembled
    double last_fed_ = 0;         // when the last byte was taken in
    bool draining_ = false;       // discarding the rest of an unusable frame
    uint8_t drain_status_ = 0;
    uint16_t drain_code_ = 0;
    bool swallow_trailer_ = false;
    std::vector<uint8_t> dropped_;

    std::deque<out_segment> out_;
    double busy_until_ = 0;
    double wire_free_at_ = 0;
    bool write_blocked_ = false;
    double now_ = 0;
};
