// A scripted UDP peer for byte-exact wire tests: it records every datagram it receives and
// answers through a callback, from its main socket or a second one.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/udp.h"
#include "support/wait_floor.h"

namespace kestrel::test {

using Bytes = std::vector<std::uint8_t>;

class RawPeer {
  public:
    // What to do with one request: the reply bytes (none: stay silent), which socket sends
    // them (0 main, 1 second), a delay, an optional datagram from a foreign address first and
    // an optional extra one after the reply.
    struct Answer {
        std::optional<Bytes> reply;
        int from_socket = 0;
        std::chrono::milliseconds delay{0};
        std::optional<Bytes> foreign_first;
        std::optional<Bytes> then_extra;        // a second datagram right after the reply
        std::optional<Bytes> before_reply;      // a datagram (an old copy) just before the reply
        std::optional<Bytes> other_port_first;  // a datagram from the second socket first
    };
    struct Received {
        Bytes bytes;
        int socket = 0;
    };
    using Script = std::function<Answer(const Bytes& request, int index)>;

    explicit RawPeer(Script script) : script_(std::move(script)) {
        fds_[0] = bind_loopback();
        fds_[1] = bind_loopback();
        foreign_ = bind_loopback("127.0.0.2");
        thread_ = std::thread([this] { run(); });
    }
    ~RawPeer() {
        stop_ = true;
        thread_.join();
        for (int fd : {fds_[0], fds_[1], foreign_})
            close(fd);
    }

    std::uint16_t port(int socket = 0) const { return local_port(fds_[socket]); }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> guard(mutex_);
        return received_;
    }
    // Datagrams the peer has sent so far (replies, copies, foreign ones). A datagram sent on
    // loopback is on the receiving socket when sendto returns.
    int sent() const { return sent_.load(); }
    // Waits until the peer has sent at least n datagrams, or received n requests; false after
    // limit. Tests wait on these instead of sleeping, so a loaded machine cannot outrun them.
    bool wait_sent(int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return wait_until([&] { return sent_.load() >= n; }, limit);
    }
    bool wait_received(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return wait_until([&] { return received().size() >= n; }, limit);
    }

  private:
    void run() {
        int index = 0;
        while (!stop_) {
            pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
            if (poll(p, 2, 10) <= 0) continue;
            for (int s = 0; s < 2; ++s) {
                if (!(p[s].revents & POLLIN)) continue;
                std::uint8_t buf[512];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t got =
                    recvfrom(fds_[s], buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (got < 0) continue;
                Bytes request(buf, buf + got);
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    received_.push_back(Received{request, s});
                }
                const Answer answer = script_(request, index++);
                if (answer.foreign_first) send(foreign_, *answer.foreign_first, from);
                if (answer.delay.count() > 0) std::this_thread::sleep_for(answer.delay);
                if (answer.before_reply) send(fds_[answer.from_socket], *answer.before_reply, from);
                if (answer.other_port_first) send(fds_[1], *answer.other_port_first, from);
                if (answer.reply) send(fds_[answer.from_socket], *answer.reply, from);
                if (answer.then_extra) send(fds_[answer.from_socket], *answer.then_extra, from);
            }
        }
    }
    void send(int fd, const Bytes& bytes, const sockaddr_in& to) {
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        ++sent_;
    }
    template <typename Done>
    static bool wait_until(Done done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    Script script_;
    int fds_[2] = {-1, -1};
    int foreign_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::mutex mutex_;
    std::vector<Received> received_;
    std::thread thread_;
};

inline RawPeer::Answer answer(Bytes reply, int from_socket = 0) {
    RawPeer::Answer a;
    a.reply = std::move(reply);
    a.from_socket = from_socket;
    return a;
}

inline RawPeer::Answer silence() {
    return RawPeer::Answer{};
}

// The acknowledgement a well-behaved device sends: 22 bytes for a read, 18 for a write.
inline Bytes ack_for(const Bytes& request, const Bytes& word = Bytes(8, 0),
                     std::uint8_t ack = 0x88) {
    Bytes reply(request[0] == 0x80 ? 22 : 18, 0);
    reply[1] = ack;
    reply[2] = request[2];
    reply[3] = request[3];
    if (request[0] == 0x80) std::copy(word.begin(), word.end(), reply.begin() + 4);
    return reply;
}

}  // namespace kestrel::test
