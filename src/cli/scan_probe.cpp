#include "cli/scan_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string_view>

#include "cli/interrupt.h"

namespace kestrel::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kHello[] = "serconnectokornot";  // sent with its NUL
constexpr std::size_t kReplyMax = 100;

class Socket {
  public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in to(std::uint32_t host_order, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host_order);
    a.sin_port = htons(port);
    return a;
}

bool send_to(int fd, std::uint32_t address, std::uint16_t port, const char* data, std::size_t n) {
    const sockaddr_in a = to(address, port);
    return ::sendto(fd, data, n, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(n);
}

// Takes every datagram waiting; the addresses whose reply says "connectok" leave `waiting`.
void take_replies(int fd, std::map<std::uint32_t, Clock::time_point>& waiting,
                  std::vector<std::uint32_t>& answered) {
    char buf[kReplyMax];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        const std::uint32_t source = ntohl(from.sin_addr.s_addr);
        const auto it = waiting.find(source);
        if (it == waiting.end()) continue;
        const std::string_view raw(buf, static_cast<std::size_t>(n));
        const std::string_view text = raw.substr(0, raw.find('\0'));
        if (text.empty()) continue;
        if (text.front() == 'q') (void)send_to(fd, source, ntohs(from.sin_port), "q", 2);
        const auto at = text.find("connectok");
        if (at == std::string_view::npos || at == 0) continue;
        answered.push_back(source);
        waiting.erase(it);
    }
}

}  // namespace

Result<std::vector<std::uint32_t>> probe_handshakes(
    const AddressRange& range, const ProbeOptions& options,
    const std::function<void(std::uint64_t)>& on_probe) {
    const Socket socket;
    if (socket.fd() < 0) {
        return Status::failure(StatusCode::SystemError,
                               std::string("can't open a UDP socket: ") + std::strerror(errno));
    }
    std::vector<std::uint32_t> answered;
    std::map<std::uint32_t, Clock::time_point> waiting;  // address -> its deadline
    std::uint64_t next = 0;
    std::uint64_t done = 0;
    const auto limit = std::chrono::milliseconds(options.timeout_ms);
    while ((next < range.count || !waiting.empty()) && interrupt_count() == 0) {
        while (next < range.count && waiting.size() < static_cast<std::size_t>(options.jobs)) {
            const std::uint32_t address = range.at(next++);
            if (send_to(socket.fd(), address, options.port, kHello, sizeof kHello)) {
                waiting[address] = Clock::now() + limit;
            } else if (on_probe) {
                on_probe(++done);
            }
        }
        auto soonest = Clock::time_point::max();
        for (const auto& [address, deadline] : waiting)
            soonest = std::min(soonest, deadline);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now());
        pollfd p{socket.fd(), POLLIN, 0};
        (void)::poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 100)));
        const std::size_t before = waiting.size();
        take_replies(socket.fd(), waiting, answered);
        const auto now = Clock::now();
        std::erase_if(waiting, [now](const auto& entry) { return entry.second <= now; });
        done += before - waiting.size();
        if (on_probe && before != waiting.size()) on_probe(done);
    }
    std::sort(answered.begin(), answered.end());
    return answered;
}

}  // namespace kestrel::cli
