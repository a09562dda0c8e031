// A bare UDP client for byte-exact tests of the simulated device: it sends request datagrams
// and takes whatever comes back, each datagram with the time it was taken, without the link's
// matching in between.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/udp.h"

namespace kestrel::test {

class RawClient {
  public:
    using Clock = std::chrono::steady_clock;
    struct Reply {
        std::vector<std::uint8_t> bytes;
        Clock::time_point taken;
        // The register named in bytes 2-3 (an echoing device's answer to that register).
        std::uint16_t address() const {
            return bytes.size() >= 4 ? static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]) : 0;
        }
    };

    explicit RawClient(std::uint16_t device_port) : fd_(bind_loopback()) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(device_port);
        inet_aton("127.0.0.1", &to_.sin_addr);
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends a 22-byte read request of the register; returns when it was sent.
    Clock::time_point send_read(std::uint16_t address) {
        std::vector<std::uint8_t> request(22, 0);
        request[0] = 0x80;
        request[2] = static_cast<std::uint8_t>(address >> 8);
        request[3] = static_cast<std::uint8_t>(address);
        return send(request);
    }
    // Sends an 18-byte write request of the register with the word.
    Clock::time_point send_write(std::uint16_t address, const std::vector<std::uint8_t>& word) {
        std::vector<std::uint8_t> request(18, 0);
        request[2] = static_cast<std::uint8_t>(address >> 8);
        request[3] = static_cast<std::uint8_t>(address);
        std::copy(word.begin(), word.begin() + std::min<std::size_t>(word.size(), 8),
                  request.begin() + 4);
        return send(request);
    }
    Clock::time_point send(const std::vector<std::uint8_t>& request) {
        const auto now = Clock::now();
        sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
               sizeof to_);
        return now;
    }

    // The next datagram within `patience`, or none.
    std::optional<Reply> receive(std::chrono::milliseconds patience) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(patience.count())) <= 0) return std::nullopt;
        std::uint8_t buf[512];
        const ssize_t got = recv(fd_, buf, sizeof buf, 0);
        if (got < 0) return std::nullopt;
        return Reply{std::vector<std::uint8_t>(buf, buf + got), Clock::now()};
    }

  private:
    int fd_;
    sockaddr_in to_{};
};

}  // namespace kestrel::test
