#include "link/mailbox.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "link/reply_wait.h"
#include "link/transport.h"
#include "platform/format.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {

RegisterWord command_word(std::uint8_t direction, std::uint16_t code, std::uint32_t offset) {
    return RegisterWord{direction,
                        static_cast<std::uint8_t>(code >> 8),
                        static_cast<std::uint8_t>(code & 0xFF),
                        0,
                        static_cast<std::uint8_t>(offset >> 24),
                        static_cast<std::uint8_t>(offset >> 16),
                        static_cast<std::uint8_t>(offset >> 8),
                        static_cast<std::uint8_t>(offset & 0xFF)};
}

namespace {

// The exchanges of one mailbox operation. Keeps the operation's own tally (an exchange repeated
// at a device's new address counts by its repeat), stops sending once the device has been
// silent for kSilentGiveUp exchanges in a row, and after an acknowledged commit command tries
// a silent exchange again where the device moves to.
class Exchanges {
  public:
    explicit Exchanges(std::optional<CommitMove> moves_to = std::nullopt) : moves_to_(moves_to) {}

    bool read(std::uint16_t address, RegisterWord& word) {
        return run(
            [&] {
                const ExchangeResult e = read_reg(address);
                word = e.word;
                last_doubt_ = e.doubt;
                return e.status == ExchangeStatus::Clean;
            },
            [&] { word.fill(0); });
    }
    // The doubt of the last read's reply.
    Doubt last_doubt() const { return last_doubt_; }
    bool write(std::uint16_t address, const RegisterWord& word) {
        return run([&] { return write_reg(address, word); }, [] {});
    }

    bool given_up() const { return given_up_; }
    // From now on a silent exchange is tried again at moves_to (when there is one).
    void arm_follow() { follow_armed_ = moves_to_.has_value(); }
    void task_timed_out() { task_done_ = false; }

    MailboxResult result() const {
        MailboxResult r;
        r.exchanges = exchanges_;
        r.clean = unclean_ == 0 && watch_.anomalies() == 0;
        r.task_done = task_done_;
        r.silent = given_up_;
        r.moved = moved_;
        return r;
    }

  private:
    FullReplyWait full_wait_;  // a handful of exchanges: a slow reply must not end the operation

    template <typename Step, typename Clear>
    bool run(Step exchange, Clear clear) {
        if (given_up_) {
            clear();
            return false;
        }
        ++exchanges_;
        bool clean = exchange();
        if (!clean && follow_armed_ && !moved_ &&
            last_exchange_status() == ExchangeStatus::NoReply) {
            const PeerAddress old = peer_address();
            set_peer_address(moves_to_->addr, moves_to_->port);
            ++exchanges_;
            clean = exchange();
            if (clean) {
                moved_ = true;
            } else {
                set_peer_address(old.addr, ntohs(old.port));
            }
        }
        if (!clean) ++unclean_;
        if (watch_.silent_run() >= kSilentGiveUp) {
            given_up_ = true;
            trace("mailbox : no answer from the device, giving up");
        }
        return clean;
    }

    LinkWatch watch_;
    Doubt last_doubt_ = Doubt::None;
    std::optional<CommitMove> moves_to_;
    int exchanges_ = 0;
    int unclean_ = 0;
    bool task_done_ = true;
    bool given_up_ = false;
    bool follow_armed_ = false;
    bool moved_ = false;
};

bool check_task_done(Exchanges& ex) {
    RegisterWord word{};
    for (int reads = 1;; ++reads) {
        if (ex.given_up()) return false;
        const bool clean = ex.read(HOST_CMD, word);
        bool done = word[0] == kTaskDone;
        if (done && clean && ex.last_doubt() != Doubt::None) {
            // A copy or a late reply of an earlier read may be an earlier task's "done": the
            // flag stands only when a second read agrees.
            RegisterWord again{};
            done = ex.read(HOST_CMD, again) && again[0] == kTaskDone;
        }
        if (!done && !ex.given_up()) sleep_ms(kTaskDoneSleepMs);
        if (reads == kTaskDoneTries) break;
        if (done) return true;
    }
    trace("check_task_done : time out, host busy ! ");
    return false;
}

bool wait_done_clear(Exchanges& ex) {
    RegisterWord word{};
    int reads = 0;
    for (;;) {
        ex.read(HOST_CMD, word);
        const bool still_set = word[0] == kTaskDone;
        if (still_set) sleep_ms(kDoneClearSleepMs);
        ++reads;
        if (reads == kDoneClearTries || !still_set || ex.given_up()) break;
    }
    ex.write(HOST_CTRL, word);
    return reads != kDoneClearTries;
}

void write_chunk(Exchanges& ex, std::uint32_t offset, std::uint16_t code,
                 const RegisterWord& data) {
    const RegisterWord cmd = command_word(kDirToDevice, code, offset);
    ex.write(HOST_DATA, data);
    const bool posted = ex.write(HOST_CMD, cmd);
    if (posted && code == kCodeCommit) ex.arm_follow();
    wait_done_clear(ex);
    if (!check_task_done(ex)) ex.task_timed_out();
    ex.write(HOST_CTRL, cmd);
}

void read_chunk(Exchanges& ex, std::uint32_t offset, std::uint16_t code, RegisterWord& dest) {
    const RegisterWord cmd = command_word(kDirFromDevice, code, offset);
    ex.write(HOST_CMD, cmd);
    wait_done_clear(ex);
    if (!check_task_done(ex)) ex.task_timed_out();
    ex.read(HOST_DATA, dest);
    ex.write(HOST_CTRL, cmd);
}

// Calls fn(code, block offset, buffer position) for each chunk of an n-byte block.
template <typename Fn>
void for_each_chunk(std::uint16_t n, std::uint16_t offset, Fn fn) {
    const std::uint16_t first = (n % 8 == 0) ? 8 : static_cast<std::uint16_t>(n % 8);
    const int further = (n - first) / 8;
    fn(static_cast<std::uint16_t>(kCodeTransfer + first), offset, std::size_t{0});
    for (int i = 0; i < further; ++i) {
        const std::size_t pos = first + 8u * static_cast<std::size_t>(i);
        fn(static_cast<std::uint16_t>(kCodeTransfer + 8),
           static_cast<std::uint16_t>((offset + pos) & 0xFFFF), pos);
    }
}

}  // namespace

bool check_task_done() {
    Exchanges ex;
    return check_task_done(ex);
}

bool wait_done_clear() {
    Exchanges ex;
    return wait_done_clear(ex);
}

MailboxResult mailbox_write_chunk(std::uint32_t offset, std::uint16_t code,
                                  const RegisterWord& data) {
    Exchanges ex;
    write_chunk(ex, offset, code, data);
    return ex.result();
}

MailboxResult mailbox_read_chunk(std::uint32_t offset, std::uint16_t code, RegisterWord& dest) {
    Exchanges ex;
    read_chunk(ex, offset, code, dest);
    const MailboxResult r = ex.result();
    if (!r.ok()) dest.fill(0);
    return r;
}

MailboxResult mailbox_write_block(std::uint16_t n, std::uint16_t offset,
                                  std::span<const std::uint8_t> src) {
    Exchanges ex;
    if (n == 0) return ex.result();
    for_each_chunk(n, offset, [&](std::uint16_t code, std::uint16_t at, std::size_t pos) {
        if (ex.given_up()) return;
        RegisterWord data{};
        const std::size_t count = std::min<std::size_t>(code & 0xFF, n - pos);
        if (pos < src.size()) {
            std::memcpy(data.data(), src.data() + pos, std::min(count, src.size() - pos));
        }
        write_chunk(ex, at, code, data);
    });
    return ex.result();
}

MailboxResult mailbox_read_block(std::uint16_t n, std::uint16_t offset,
                                 std::span<std::uint8_t> dest) {
    Exchanges ex;
    if (n == 0) return ex.result();
    for_each_chunk(n, offset, [&](std::uint16_t code, std::uint16_t at, std::size_t pos) {
        if (ex.given_up()) return;
        RegisterWord data{};
        read_chunk(ex, at, code, data);
        if (pos < dest.size()) {
            std::memcpy(dest.data() + pos, data.data(),
                        std::min<std::size_t>(8, dest.size() - pos));
        }
    });
    const MailboxResult r = ex.result();
    if (!r.ok()) std::fill(dest.begin(), dest.end(), std::uint8_t{0});
    return r;
}

MailboxOwner host_controled_by() {
    Exchanges ex;
    RegisterWord word{};
    int unclear = 0;
    for (int round = 0; round < kOwnershipMaxRounds;) {
        if (!ex.read(HOST_CTRL, word)) {
            if (++unclear < kOwnershipUnknownReads && !ex.given_up()) continue;
            trace("[host_controled_by] no clean answer, owner unknown");
            return MailboxOwner::Unknown;
        }
        unclear = 0;
        if (word[0] == kOwnerUdpCmd) {
            trace("host controled by udp_cmd !");
            return MailboxOwner::UdpCmd;
        }
        if (word[0] != kOwnerMcu) {
            trace("[host_controled_by] error!  rd invalid data!");
            return MailboxOwner::Invalid;
        }
        trace("host controled by mcu!");
        trace("wait.........");
        sleep_ms(kOwnershipSleepMs);
        ++round;
    }
    tracef("[host_controled_by] mcu still holds the mailbox after %d rounds, going on",
           kOwnershipMaxRounds);
    return MailboxOwner::Mcu;
}

MailboxResult mailbox_commit(std::optional<CommitMove> moves_to) {
    Exchanges ex(moves_to);
    write_chunk(ex, 0, kCodeCommit, RegisterWord{});
    if (!ex.given_up()) {
        wait_done_clear(ex);
        sleep_ms(kCommitPauseMs);
    }
    return ex.result();
}

bool reset_device(const RegisterWord& data) {
    const FullReplyWait full_wait;
    const RegisterWord cmd = command_word(kDirToDevice, kCodeReset, 0);
    write_reg(HOST_DATA, data);
    write_reg(HOST_CMD, cmd);
    wait_done_clear();
    write_reg(HOST_CTRL, cmd);
    return true;
}

void close_rtp(int channel) {
    const unsigned base = RTP_CH_BASE + kRtpChannelStride * static_cast<unsigned>(channel);
    tracef("close rtp %d address : %x", channel, base);
    write_reg(static_cast<std::uint16_t>(RTP_CH_CTRL + kRtpChannelStride * channel),
              RegisterWord{});
}

}  // namespace kestrel
