// The module's USB side: a SOCK_SEQPACKET Unix socket on which every accepted
// connection is one USB session, one message per request frame and one per
// answer. A USB module always runs the loader.
#pragma once
#include <deque>
#include <string>
#include <vector>

#include "tools/vmodule/module.h"

class usb_server {
public:
    usb_server(module_core& core, const std::string& path) : core_(core), path_(path) {}
    ~usb_server();
    std::string open();  // "" on success, else the reason

    // Descriptors to poll for input: the listener first, then the sessions.
    std::vector<int> fds() const;
    void on_readable(int fd, double now);
    void tick(double now);
    double next_deadline(double now) const;

private:
    struct pending { std::vector<uint8_t> bytes; double at; };
    struct session {
        int fd;
        std::deque<pending> out;
        double busy_until = 0;
    };
    void accept_one();
    void serve(session& s, double now);
    void close_session(size_t i);

    module_core& core_;
    std::string path_;
    int listen_fd_ = -1;
    std::vector<session> sessions_;
};
