// The station's status page, served from flint-gang itself: the page (one
// embedded file), /api/status, /api/records, /api/events (server-sent
// events) and, in loop mode, POST /api/start. Nothing else is served.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gang/board.h"

// Where the page is served: --http [ADDRESS:]PORT, --http-token TOKEN.
struct web_settings {
    std::string host = "127.0.0.1";
    int port = 0;           // 0: any free port (the one taken is printed)
    std::string token;      // required for every POST when not "" (and then when host is not loopback)
};

// The default and the largest limit of /api/records.
constexpr int WEB_RECORDS_DEFAULT = 20;
constexpr int WEB_RECORDS_MAX = 100;

// Reads an --http value; "" or the message of the refusal.
std::string web_read_address(const std::string& text, web_settings* out);

// True for an address that only this machine reaches (127.x.x.x, ::1, localhost).
bool web_is_loopback(const std::string& host);

struct web_handlers {
    // POST /api/start: true when the loop takes it (it waits for a start).
    std::function<bool()> start;
    // The last `limit` records as a JSON array, newest first.
    std::function<std::string(int limit)> records;
};

class station_server {
public:
    station_server(station_board& board, web_handlers handlers);
    ~station_server();
    // Binds the address; "" and the server runs in a thread of its own, or
    // the message of the refusal (the address is in use or not this machine's).
    std::string start(const web_settings& settings);
    int port() const { return port_; }
    void stop();

private:
    struct impl;
    std::unique_ptr<impl> impl_;
    int port_ = 0;
};

// The page (gang/web/page.html, built into the program).
extern const char* const WEB_PAGE;
