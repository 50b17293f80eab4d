// The status page's server: cpp-httplib (Debian's libcpp-httplib-dev,
// header-only) on a thread pool of its own. Every handler reads the board
// under its lock or hands a start to the loop; none touches the file system.
#include "gang/web/server.h"

#include "gang/store/json_text.h"

#include <httplib.h>

#include <cjson/cJSON.h>

#include <cstdlib>
#include <thread>

#include "platform/platform.h"

namespace {

const char* const JSON_TYPE = "application/json";
const char* const EVENTS_TYPE = "text/event-stream";
const char* const PAGE_TYPE = "text/html; charset=utf-8";
const char* const BEARER = "Bearer ";
const char* const LOCALHOST = "localhost";

const char* const ERR_TOKEN = "this station needs its token: send Authorization: Bearer TOKEN";
const char* const ERR_ORIGIN = "a start comes from this station's own page only";
const char* const ERR_NO_LOOP = "flint-gang runs without --loop: there is no next cycle to start";
const char* const ERR_RUNNING = "the station is not waiting for a start (a cycle runs or the loop ends)";
const char* const ERR_LIMIT = "limit must be a whole number from 1 to 100";
const char* const ERR_NOT_FOUND = "not found";

const char* const MSG_ADDRESS = "flint-gang: --http %s: give [ADDRESS:]PORT, the port a number from 0 to 65535\n";

// Threads that serve requests; each open page holds one for its event stream.
constexpr size_t SERVER_THREADS = 16;
// An event stream with nothing to say sends a comment this often (a
// connection that went away is noticed then).
constexpr uint32_t EVENTS_KEEPALIVE_MS = 10000;
// How long an idle kept-alive connection stays open.
constexpr time_t KEEP_ALIVE_S = 2;

std::string json_message(const char* name, const char* text) {
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, name, text);
    std::string out = json_text(o);
    cJSON_Delete(o);
    return out;
}

void reply(httplib::Response& res, int status, const std::string& body, const char* type = JSON_TYPE) {
    res.status = status;
    res.set_content(body, type);
}

void refuse(httplib::Response& res, int status, const char* why) { reply(res, status, json_message("error", why)); }

// Constant-time comparison: the time taken tells nothing about the token.
bool same_secret(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

bool carries_token(const httplib::Request& req, const std::string& token) {
    const std::string auth = req.get_header_value("Authorization");
    const size_t n = std::char_traits<char>::length(BEARER);
    return auth.compare(0, n, BEARER) == 0 && same_secret(auth.substr(n), token);
}

// A browser names the page that sends a POST; only this station's own page
// may start a cycle (another site open in the same browser may not).
bool from_own_page(const httplib::Request& req) {
    if (!req.has_header("Origin")) return true;  // not a browser: the token rule is the guard
    return req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
}

// limit=N of /api/records; 0 when it is no number in range.
int records_limit(const httplib::Request& req) {
    if (!req.has_param("limit")) return WEB_RECORDS_DEFAULT;
    const std::string text = req.get_param_value("limit");
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int n = std::atoi(text.c_str());
    return n >= 1 && n <= WEB_RECORDS_MAX ? n : 0;
}

bool read_port(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = std::atoi(text.c_str());
    return *port <= 65535;
}

}  // namespace

std::string web_read_address(const std::string& text, web_settings* out) {
    std::string host = out->host, port = text;
    if (!text.empty() && text[0] == '[') {  // [IPv6]:PORT
        const size_t close = text.find("]:");
        if (close == std::string::npos) port.clear();
        else host = text.substr(1, close - 1), port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos) {
        const size_t colon = text.rfind(':');
        host = text.substr(0, colon), port = text.substr(colon + 1);
    }
    char message[300];
    std::snprintf(message, sizeof message, MSG_ADDRESS, text.c_str());
    if (host.empty() || text.size() > 200 || !read_port(port, &out->port)) return message;
    out->host = host;
    return "";
}

bool web_is_loopback(const std::string& host) {
    return host == LOCALHOST || host == "::1" || host.compare(0, 4, "127.") == 0;
}

struct station_server::impl {
    station_board& board;
    web_handlers handlers;
    std::string token;
    httplib::Server http;
    std::thread thread;

    impl(station_board& b, web_handlers h) : board(b), handlers(std::move(h)) {}

    void routes();
    void start_request(const httplib::Request& req, httplib::Response& res);
    void event_stream(httplib::Response& res);
};

void station_server::impl::routes() {
    http.Get("/", [](const httplib::Request&, httplib::Response& res) { reply(res, 200, WEB_PAGE, PAGE_TYPE); });
    http.Get("/api/status",
             [this](const httplib::Request&, httplib::Response& res) { reply(res, 200, board.status_json()); });
    http.Get("/api/records", [this](const httplib::Request& req, httplib::Response& res) {
        const int limit = records_limit(req);
        if (limit == 0) return refuse(res, 400, ERR_LIMIT);
        reply(res, 200, handlers.records(limit));
    });
    http.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { event_stream(res); });
    http.Post("/api/start",
              [this](const httplib::Request& req, httplib::Response& res) { start_request(req, res); });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) refuse(res, 404, ERR_NOT_FOUND);
    });
    http.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
}

void station_server::impl::start_request(const httplib::Request& req, httplib::Response& res) {
    if (!token.empty() && !carries_token(req, token)) return refuse(res, 401, ERR_TOKEN);
    if (!from_own_page(req)) return refuse(res, 403, ERR_ORIGIN);
    if (!board.loop()) return refuse(res, 409, ERR_NO_LOOP);
    if (!handlers.start()) return refuse(res, 409, ERR_RUNNING);
    reply(res, 202, "{\"started\":true}");
}

// Every event from now on, one "data:" message each, until the client goes
// or the server stops.
void station_server::impl::event_stream(httplib::Response& res) {
    auto next = std::make_shared<uint64_t>(board.event_end());
    res.set_chunked_content_provider(EVENTS_TYPE, [this, next](size_t, httplib::DataSink& sink) {
        const std::vector<std::string> events = board.events_after(next.get(), EVENTS_KEEPALIVE_MS);
        if (board.events_closed()) {
            sink.done();
            return true;
        }
        std::string text = events.empty() ? std::string(": keep-alive\n\n") : std::string();
        for (const std::string& e : events) text += "data: " + e + "\n\n";
        return sink.write(text.data(), text.size());
    });
}

station_server::station_server(station_board& board, web_handlers handlers)
    : impl_(new impl(board, std::move(handlers))) {}

station_server::~station_server() { stop(); }

std::string station_server::start(const web_settings& settings) {
    impl_->token = settings.token;
    impl_->routes();
    impl_->http.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    impl_->http.set_keep_alive_timeout(KEEP_ALIVE_S);
    impl_->http.set_socket_options([](socket_t s) { plat_listen_socket_options(static_cast<uintptr_t>(s)); });
    const bool any = settings.port == 0;
    port_ = any ? impl_->http.bind_to_any_port(settings.host)
                : (impl_->http.bind_to_port(settings.host, settings.port) ? settings.port : -1);
    if (port_ <= 0) {
        char message[400];
        std::snprintf(message, sizeof message,
                      "flint-gang: cannot serve the status page on %s:%d: the port is in use or the address "
                      "is not this machine's\n",
                      settings.host.c_str(), settings.port);
        return message;
    }
    impl_->thread = std::thread([this] { impl_->http.listen_after_bind(); });
    return "";
}

void station_server::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->board.close_events();
    impl_->http.stop();
    impl_->thread.join();
}
