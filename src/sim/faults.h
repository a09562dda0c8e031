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
    double late_reply = 0;        // the reply leaves late_reply_ms after the request
    double other_port_reply = 0;  // the reply leaves from the second port; the device then
                                  // serves on both
    double foreign_datagram = 0;  // a datagram from another host address arrives first
    double dup_reply = 0;         // the reply leaves twice, the copy dup_gap_us after it
    std::uint32_t late_reply_ms = 60;
    std::uint32_t dup_gap_us = 200;
    // Device variants, not drawn: replies that do not echo the register address in bytes 2-3,
    // and write replies of 22 bytes like the read replies.
    bool no_echo = false;
    bool long_write_replies = false;
    bool faults_on_handshake = false;  // by default the handshake is never disturbed

    bool any() const {
        return lose_request > 0 || lose_reply > 0 || nak > 0 || late_reply > 0 ||
               other_port_reply > 0 || foreign_datagram > 0 || dup_reply > 0;
    }
};

// The decisions for one exchange.
struct FaultDraw {
    bool lose_request = false;
    bool lose_reply = false;
    bool nak = false;
    bool late = false;
    bool other_port = false;
    bool foreign = false;
    bool dup = false;
};

class FaultInjector {
  public:
    explicit FaultInjector(const LinkFaults& faults = {}) { configure(faults); }
    void configure(const LinkFaults& faults);
    const LinkFaults& faults() const { return faults_; }
    FaultDraw draw();

  private:
    bool chance(double p);
    LinkFaults faults_;
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

}  // namespace kestrel::sim
