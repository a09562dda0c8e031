#include "link/mailbox.h"

#include <algorithm>
#include <cstring>

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

bool check_task_done() {
    RegisterWord word{};
    for (int reads = 1;; ++reads) {
        read_reg(HOST_CMD, word);
        const bool done = word[0] == 0x01;
        if (!done) sleep_ms(kTaskDoneSleepMs);
        if (reads == kTaskDoneTries) break;
        if (done) return true;
    }
    trace("check_task_done : time out, host busy ! ");
    return false;
}

bool wait_done_clear() {
    RegisterWord word{};
    int reads = 0;
    for (;;) {
        read_reg(HOST_CMD, word);
        const bool still_set = word[0] == 0x01;
        if (still_set) sleep_ms(kDoneClearSleepMs);
        ++reads;
        if (reads == kDoneClearTries || !still_set) break;
    }
    write_reg(HOST_CTRL, word);
    return reads != kDoneClearTries;
}

bool mailbox_write_chunk(std::uint32_t offset, std::uint16_t code, const RegisterWord& data) {
    const RegisterWord cmd = command_word(kDirToDevice, code, offset);
    write_reg(HOST_DATA, data);
    write_reg(HOST_CMD, cmd);
    wait_done_clear();
    check_task_done();
    write_reg(HOST_CTRL, cmd);
    return true;
}

bool mailbox_read_chunk(std::uint32_t offset, std::uint16_t code, RegisterWord& dest) {
    const RegisterWord cmd = command_word(kDirFromDevice, code, offset);
    write_reg(HOST_CMD, cmd);
    wait_done_clear();
    check_task_done();
    read_reg(HOST_DATA, dest);
    write_reg(HOST_CTRL, cmd);
    return true;
}

namespace {

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

void mailbox_write_block(std::uint16_t n, std::uint16_t offset, std::span<const std::uint8_t> src) {
    if (n == 0) return;
    for_each_chunk(n, offset, [&](std::uint16_t code, std::uint16_t at, std::size_t pos) {
        RegisterWord data{};
        const std::size_t count = std::min<std::size_t>(code & 0xFF, n - pos);
        if (pos < src.size()) {
            std::memcpy(data.data(), src.data() + pos, std::min(count, src.size() - pos));
        }
        mailbox_write_chunk(at, code, data);
    });
}

void mailbox_read_block(std::uint16_t n, std::uint16_t offset, std::span<std::uint8_t> dest) {
    if (n == 0) return;
    for_each_chunk(n, offset, [&](std::uint16_t code, std::uint16_t at, std::size_t pos) {
        RegisterWord data{};
        mailbox_read_chunk(at, code, data);
        if (pos < dest.size()) {
            std::memcpy(dest.data() + pos, data.data(),
                        std::min<std::size_t>(8, dest.size() - pos));
        }
    });
}

bool host_controled_by() {
    RegisterWord word{};
    for (int round = 0; round < kOwnershipMaxRounds; ++round) {
        read_reg(HOST_CTRL, word);
        if (word[0] == 0x00) {
            trace("host controled by udp_cmd !");
            return true;
        }
        if (word[0] != 0x01) {
            trace("[host_controled_by] error!  rd invalid data!");
            return false;
        }
        trace("host controled by mcu!");
        trace("wait.........");
        sleep_ms(kOwnershipSleepMs);
    }
    tracef("[host_controled_by] mcu still holds the mailbox after %d rounds, going on",
           kOwnershipMaxRounds);
    return false;
}

void mailbox_commit() {
    mailbox_write_chunk(0, kCodeCommit, RegisterWord{});
    wait_done_clear();
    sleep_ms(kCommitPauseMs);
}

bool reset_device(const RegisterWord& data) {
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
