// Link faults the simulator injects, each drawn per exchange from a seeded generator so that a
// run can be repeated exactly.
#pragma once

#include <cstdint>
#include <random>

namespace kestrel::sim {

struct LinkFaults {
    std::uint64_t seed = 1;
    double lose_request = 0;      // the request is dropped unseen: no effect, no reply
    double lose_reply = 0;        // the request takes effect, the reply is dropped
    double nak = 0;               // the reply's acknowledgement byte is 00h instead of 88h
    double late_reply = 0;        // the reply leaves late, after a delay drawn in
                                  // [late_reply_ms, late_reply_max_ms]
    double late_next = 0;         // of the late replies, the share held until the next
                                  // request arrives (sent just before that request's reply),
                                  // or until their delay if no request comes
    double other_port_reply = 0;  // the reply leaves from the second port; the device then
                                  // serves on both
    double foreign_datagram = 0;  // a datagram from another host address arrives first
    double dup_reply = 0;         // the reply leaves twice, the copy dup_gap_us after it
    double dup_request = 0;       // the request arrives twice, the copy dup_gap_us after it:
                                  // the device acts on it and answers it twice
    std::uint32_t late_reply_ms = 60;
    std::uint32_t late_reply_max_ms = 0;  // 0 or below late_reply_ms: always late_reply_ms
    std::uint32_t dup_gap_us = 200;
    // Not drawn: the device's service latency, added to every reply. Replies keep their order.
    std::uint32_t reply_delay_us = 0;
    // Not faults (nothing is lost or duplicated): a share of replies held up by a delay drawn
    // in (0, reply_jitter_max_ms], later replies leaving behind them in order; the network's
    // delay on every datagram each way, many in flight, order kept; and the device's receive
    // queue: with rx_queue > 0 it serves one request at a time, each for reply_delay_us, and
    // drops a request that finds rx_queue others waiting.
    double reply_jitter = 0;
    std::uint32_t reply_jitter_max_ms = 0;
    std::uint32_t link_delay_us = 0;
    std::uint32_t rx_queue = 0;
    // Device variants, not drawn: replies that do not echo the register address in bytes 2-3,
    // and write replies of 22 bytes like the read replies.
    bool no_echo = false;
    bool long_write_replies = false;
    bool faults_on_handshake = false;  // by default the handshake is never disturbed

    bool any() const {
        return lose_request > 0 || lose_reply > 0 || nak > 0 || late_reply > 0 ||
               other_port_reply > 0 || foreign_datagram > 0 || dup_reply > 0 || dup_request > 0;
    }
};

// The decisions for one exchange.
struct FaultDraw {
    bool lose_request = false;
    bool lose_reply = false;
    bool nak = false;
    bool late = false;
    bool late_next = false;     // the late reply waits for the next request
    std::uint32_t late_ms = 0;  // the late reply's delay
    bool other_port = false;
    bool foreign = false;
    bool dup = false;
    bool dup_request = false;
    std::uint32_t jitter_us = 0;  // the reply is held this long (not a fault)
};

// Sets the late delay from "MS" (always MS) or "MIN-MAX" (drawn uniformly, MIN <= MAX), in
// milliseconds. False, with faults unchanged, for any other text.
bool parse_late_delay(const char* text, LinkFaults& faults);

class FaultInjector {
  public:
    explicit FaultInjector(const LinkFaults& faults = {}) { configure(faults); }
    void configure(const LinkFaults& faults);
    const LinkFaults& faults() const { return faults_; }
    FaultDraw draw();

  private:
    bool chance(double p);
    std::uint32_t late_delay_ms();
    std::uint32_t jitter_us();
    LinkFaults faults_;
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

}  // namespace kestrel::sim
