// The USB access object's simulated device: the virtual module behind a
// message socket, one message per request and one per response.
#include "common/timing.h"
#include "link/kvx_usb_backend.h"
#include "platform/platform.h"

namespace {

class sim_backend : public kvx_usb_backend {
public:
    explicit sim_backend(int sock) : sock_(sock) {}
    ~sim_backend() override { plat_msgsock_close(sock_); }
    sim_backend(const sim_backend&) = delete;
    sim_backend& operator=(const sim_backend&) = delete;

    bool send(const uint8_t* data, uint32_t n) override {
        return plat_msgsock_send(sock_, data, n) == 0;
    }

    // A response of any other length than n is a failure; a longer one is
    // cut at n by the socket and reported with its real length.
    bool receive(uint8_t* data, uint32_t n) override {
        const int32_t got = plat_msgsock_recv(sock_, data, n, KVX_USB_TRANSFER_TIMEOUT_MS);
        return got >= 0 && static_cast<uint32_t>(got) == n;
    }

private:
    int sock_;
};

}  // namespace

std::unique_ptr<kvx_usb_backend> kvx_usb_open_sim(const char* path) {
    const int sock = plat_msgsock_connect(path);
    if (sock < 0) return nullptr;
    return std::make_unique<sim_backend>(sock);
}
