// How long the link waits for a reply: the described 50 ms until the device has answered, then
// the smoothed round trip plus four times its variation (RFC 6298), at least the slowest reply
// of the recent past with a margin, and never below a LAN floor or above 50 ms. A time-out
// doubles the next wait (back-off) until a clean round trip is measured again; replies that may
// be another request's are not measured (Karn). Owned by the link state, under the link lock.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel {

inline constexpr std::uint32_t kFirstWaitUs = 50000;  // the described receive time-out
inline constexpr std::uint32_t kMaxWaitUs = 50000;
inline constexpr std::uint32_t kMinWaitUs = 4000;  // the floor: a LAN, a busy host, 3 ms of jitter
// A reply slower than the device's recent round trips and than this is asked for again.
inline constexpr std::uint32_t kMinNudgeUs = 250;

// The floor in force (kMinWaitUs unless changed; tests that pin exact traffic on a loaded
// machine raise it). Returns the previous value. Any thread.
std::uint32_t set_reply_wait_floor_us(std::uint32_t us);

// The nudge's floor in force (kMinNudgeUs unless changed, at most kMaxWaitUs). Returns the
// previous value. Any thread.
std::uint32_t set_reply_nudge_floor_us(std::uint32_t us);

// Whether exchanges ask again for a slow reply (see nudge_us); on unless a test of the wait
// itself turns it off. Returns the previous setting. Any thread.
bool set_reply_nudges(bool on);
[[nodiscard]] bool reply_nudges();

// While one lives, the exchanges of its thread wait the described 50 ms for their reply: for
// short sequences a stray would end as failed (the mailbox, the reset), where a reply a loaded
// host was slow to see must not count as lost. Nests; lives on one thread.
class FullReplyWait {
  public:
    FullReplyWait();
    ~FullReplyWait();
    FullReplyWait(const FullReplyWait&) = delete;
    FullReplyWait& operator=(const FullReplyWait&) = delete;
};

// True on a thread inside a FullReplyWait.
[[nodiscard]] bool full_reply_wait();

class ReplyWait {
  public:
    // The wait for the next reply, in microseconds.
    [[nodiscard]] std::uint32_t wait_us() const;

    // How long a reply may take before the link asks for it again (the wait's estimate, at
    // least the nudge's floor in force); 0 before the first measurement.
    [[nodiscard]] std::uint32_t nudge_us() const;

    // A round trip of an unambiguous reply (by the kernel's arrival stamp).
    void measured(std::uint32_t rtt_us);

    // A reply that came after its wait took rtt_us: the recent peak covers it from now on (the
    // smoothed round trip and the back-off are left alone).
    void came_late(std::uint64_t rtt_us);

    // The exchange got no reply within its wait.
    void timed_out();

    // The smoothed round trip (0 before the first measurement).
    [[nodiscard]] std::uint32_t smoothed_us() const { return srtt_us_; }

  private:
    // The smoothed round trip plus four times its variation, or the recent peak with a margin.
    [[nodiscard]] std::uint64_t estimate_us() const;

    // The slowest round trip in each of the last few blocks of measurements.
    static constexpr int kPeakBlocks = 4;
    static constexpr int kPeakBlockSize = 256;

    bool measured_ = false;
    std::uint32_t srtt_us_ = 0;
    std::uint32_t rttvar_us_ = 0;
    int backoff_ = 0;  // time-outs since the last measurement, at most a few doublings
    std::array<std::uint32_t, kPeakBlocks> peaks_{};
    int peak_block_ = 0;
    int in_block_ = 0;
};

}  // namespace kestrel
