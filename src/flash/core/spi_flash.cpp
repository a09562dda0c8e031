#include "flash/core/spi_flash.h"

#include <array>

#include "link/transport.h"
#include "link/window.h"
#include "platform/sleep.h"
#include "platform/trace.h"
#include "protocol/host_regs.h"

namespace kestrel {
namespace {

constexpr int kAccessReadTries = 3;

// Counts e in tally: not acknowledged (no fitting reply, a NAK), or acknowledged with a doubt.
ExchangeResult tallied(ExchangeResult e, LinkTally* tally, const char* trace_text) {
    if (e.status != ExchangeStatus::Clean) trace(trace_text);
    if (tally) {
        ++tally->exchanges;
        if (!e.acknowledged()) {
            ++tally->unacknowledged;
        } else if (!e.trusted()) {
            ++tally->doubtful;
        }
    }
    return e;
}

RegisterWord control(const std::array<std::uint8_t, 2>& ctrl) {
    return RegisterWord{ctrl[0], ctrl[1]};
}

// One instruction byte in a phase of its own: start, send 1, end.
bool send_instruction(std::uint8_t cmd, LinkTally* tally) {
    const bool cmd_acked = spi_put(SPI_CMD, RegisterWord{cmd}, tally).acknowledged();
    const bool ctrl_acked = spi_put(SPI_CTRL, control(kCtrlSendOne), tally).acknowledged();
    return cmd_acked && ctrl_acked;
}

// One status poll as one window of requests in flight: Read Status, its phase, the read of
// SPI_CTRL, and a read of HOST_CTRL whose reply, in order behind the others, shows nothing is
// still on its way. Sure only when the run came whole and in order and the poll's own three
// exchanges were trusted; then `status` is the chip's and the link is in step.
struct WindowedPoll {
    bool sure = false;
    std::uint8_t status = 0;
};

WindowedPoll poll_status_windowed(LinkTally* tally) {
    const std::array<WindowRequest, 4> requests{{
        {ExchangeKind::Write, SPI_CMD, RegisterWord{kCmdReadStatus}, {}},
        {ExchangeKind::Write, SPI_CTRL, control(kCtrlReadStatus), {}},
        {ExchangeKind::Read, SPI_CTRL, {}, {}},
        {ExchangeKind::Read, HOST_CTRL, {}, {}},
    }};
    std::array<ExchangeResult, 4> results{};
    const WindowRun run = exchange_window(requests, results);
    bool trusted = !run.broken;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const bool read = requests[i].kind == ExchangeKind::Read;
        (void)tallied(results[i], i < 3 ? tally : nullptr,
                      read ? "READ Reg32, ACK error! " : "WRITE Reg32, ACK error! ");
        // The probe's word is always the same: only its place in the run counts.
        trusted = trusted && (i < 3 ? results[i].trusted() : results[i].acknowledged());
    }
    return {trusted, results[2].word[0]};
}

// A page-load word the device took exactly once, as far as the link can tell.
bool loaded(const ExchangeResult& e) {
    return e.status == ExchangeStatus::Clean && e.doubt != Doubt::Owed;
}

// A load given up after a stray may hold a word the device took twice, which moves every later
// one, and the chip programs what it latched once the next transaction releases it. A page latch
// wraps at 256 bytes: a page of FFh words behind the last real one leaves only FFh in it, which
// programs no bit. Words lost or taken twice change nothing, so the flush goes on until a page of
// them was acknowledged after the last stray (or the link keeps failing; the read-back then
// judges).
void flush_load() {
    constexpr int kFlushWords = static_cast<int>(kPageSize / 8);
    constexpr int kFlushMaxSends = 3 * kFlushWords;
    RegisterWord erased{};
    erased.fill(0xFF);
    int acknowledged = 0;
    for (int sent = 0; sent < kFlushMaxSends && acknowledged < kFlushWords; ++sent) {
        const ExchangeResult e = spi_put(SPI_PP_DATA, erased, nullptr);
        // A stray may be a real word taken again late, landed among the FFh: a page of them
        // must follow it.
        if (e.strays.any()) acknowledged = 0;
        acknowledged += e.acknowledged() ? 1 : 0;
    }
}

}  // namespace

ExchangeResult spi_put(std::uint16_t reg, const RegisterWord& word, LinkTally* tally) {
    return tallied(write_exchange(reg, word), tally, "WRITE Reg32, ACK error! ");
}

ExchangeResult spi_get(std::uint16_t reg, LinkTally* tally, ReadKeys keys) {
    return tallied(read_exchange(reg, keys), tally, "READ Reg32, ACK error! ");
}

bool spi_read_id(FlashId& id, LinkTally* tally) {
    (void)spi_put(SPI_INIT, RegisterWord{kSpiInitWord}, tally);
    send_instruction(kCmdReleasePowerDown, tally);
    (void)spi_put(SPI_CMD, RegisterWord{kCmdReadId}, tally);
    (void)spi_put(SPI_CTRL, control(kCtrlReadId), tally);
    const ExchangeResult reply = spi_get(SPI_CTRL, tally);
    id = {reply.word[0], reply.word[1], reply.word[2]};
    return true;
}

void spi_chip_erase_send(LinkTally* tally) {
    send_instruction(kCmdWriteEnable, tally);
    send_instruction(kCmdChipErase, tally);
}

bool spi_chip_erase(LinkTally* tally) {
    spi_chip_erase_send(tally);
    sleep_ms(kEraseSleepMs);
    return true;
}

void spi_sector_erase(std::uint32_t address, LinkTally* tally) {
    send_instruction(kCmdWriteEnable, tally);
    const FlashAddress at = flash_address(address);
    (void)spi_put(SPI_CMD, RegisterWord{kCmdSectorErase, at[0], at[1], at[2]}, tally);
    (void)spi_put(SPI_CTRL, control(kCtrlSendFour), tally);
}

int spi_read_page(const FlashAddress& address, std::span<std::uint8_t, kPageSize> dest,
                  LinkTally* tally) {
    (void)spi_put(SPI_CMD, RegisterWord{kCmdReadData, address[0], address[1], address[2]}, tally);
    for (std::size_t chunk = 0; chunk < kPageReadChunks; ++chunk) {
        const auto& phase = chunk == 0                     ? kCtrlReadFirst
                            : chunk + 1 == kPageReadChunks ? kCtrlReadLast
                                                           : kCtrlReadNext;
        (void)spi_put(SPI_CTRL, control(phase), tally);
        const ExchangeResult e = spi_get(SPI_CTRL, tally);
        std::copy(e.word.begin(), e.word.end(),
                  dest.begin() + static_cast<std::ptrdiff_t>(chunk * 8));
    }
    return 1;
}

int spi_program_page(const FlashAddress& address, std::span<const std::uint8_t, kPageSize> page,
                     LinkTally* tally) {
    // Each data word takes the next place in the page: a word the device never got, or got
    // twice, shifts every later one. The load stops at the first word in doubt, before the
    // tail starts the program.
    bool ok = send_instruction(kCmdWriteEnable, tally);
    bool strays = false;
    const auto load = [&](std::uint16_t reg, const RegisterWord& word) {
        const ExchangeResult e = spi_put(reg, word, tally);
        strays = strays || e.strays.any() || e.status == ExchangeStatus::Anomalous;
        return loaded(e);
    };
    ok = ok && load(SPI_PP_HEAD, RegisterWord{kCmdPageProgram, address[0], address[1], address[2],
                                              page[0], page[1], page[2], page[3]});
    for (std::size_t i = 0; i < kPageDataWords && ok; ++i) {
        RegisterWord data{};
        std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(kPageHeadBytes + 8 * i), 8,
                    data.begin());
        ok = load(SPI_PP_DATA, data);
    }
    const bool in_step = ok && confirm_in_step();
    if (!in_step) {
        if (ok && tally) ++tally->unacknowledged;
        // A stray, or the probe failed (the link out of step): a word the device took twice may
        // have landed. (On a link that makes copies one may land unseen even behind a time-out;
        // flushing every such load cost more than the rare sector repair it saves.)
        if (strays || ok) flush_load();
        return kProgramAbandoned;
    }
    RegisterWord tail{};
    std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(kPageSize - kPageTailBytes),
                kPageTailBytes, tail.begin());
    (void)spi_put(SPI_PP_TAIL, tail, tally);

    // The polls settle their own doubts: a busy status is polled again whatever it was, and a
    // "ready" stands only once sure or read alike twice, and confirmed in step. Only their lost
    // replies reach the tally (strays reach the caller's LinkWatch).
    LinkTally polls_tally;
    int polls = 0;
    bool busy = true;
    while (busy && polls < kProgramMaxPolls) {
        if (link_silent_run() >= kDeviceGoneSilentRun) return kProgramAbandoned;  // gone
        // With requests in flight a poll and its probe cost one round trip; one that is not
        // sure is made again one exchange at a time.
        if (link_window_in_use()) {
            const WindowedPoll poll = poll_status_windowed(&polls_tally);
            if (poll.sure) {
                busy = (poll.status & kStatusBusy) != 0;
                ++polls;
                continue;
            }
        }
        std::uint8_t status = 0;
        const bool trusted = spi_read_status(status, &polls_tally);
        busy = !trusted || (status & kStatusBusy) != 0;
        // "Ready" is believed only when no stray reply could have said it.
        if (!busy && !confirm_in_step()) {
            busy = true;
            if (tally) ++tally->doubtful;
        }
        ++polls;
    }
    if (tally) {
        tally->exchanges += polls_tally.exchanges;
        tally->unacknowledged += polls_tally.unacknowledged;
    }
    if (polls >= kProgramMaxPolls) {
        trace("write 16 bit---------------------------------------------register");
        return 0;
    }
    return 1;
}

bool spi_program_piece(std::uint32_t address, std::span<const std::uint8_t, kPieceBytes> bytes,
                       LinkTally* tally) {
    const FlashAddress at = flash_address(address);
    const bool enabled = send_instruction(kCmdWriteEnable, tally);
    const ExchangeResult head = spi_put(
        SPI_PP_HEAD,
        RegisterWord{kCmdPageProgram, at[0], at[1], at[2], bytes[0], bytes[1], bytes[2], bytes[3]},
        tally);
    return enabled && head.acknowledged();
}

void spi_write_enable(LinkTally* tally) {
    send_instruction(kCmdWriteEnable, tally);
}

void spi_write_disable(LinkTally* tally) {
    send_instruction(kCmdWriteDisable, tally);
}

namespace {

// One Read Status Register: whether its three steps were acknowledged and surely happened.
struct StatusRead {
    bool acknowledged = false;
    bool sure = false;  // no step may have been stale, nothing stray around
    std::uint8_t status = 0;
};

StatusRead read_status_once(LinkTally* tally) {
    const ExchangeResult cmd = spi_put(SPI_CMD, RegisterWord{kCmdReadStatus}, tally);
    const ExchangeResult ctrl = spi_put(SPI_CTRL, control(kCtrlReadStatus), tally);
    const ExchangeResult read = spi_get(SPI_CTRL, tally);
    StatusRead r;
    r.status = read.word[0];
    r.acknowledged = cmd.acknowledged() && ctrl.acknowledged() && read.acknowledged();
    r.sure = cmd.trusted() && ctrl.trusted() && read.trusted();
    return r;
}

}  // namespace

bool spi_read_status(std::uint8_t& status, LinkTally* tally) {
    const StatusRead first = read_status_once(tally);
    status = first.status;
    // A busy status is busy whatever came late. A "ready" after a step that may not have
    // happened may be the last status read, still in SPI_CTRL; one that only reads like a
    // recent reply (a copy could stand in for it) stands once a second read agrees.
    if (!first.acknowledged) return false;
    if ((status & kStatusBusy) != 0 || first.sure) return true;
    const StatusRead again = read_status_once(tally);
    status = again.status;
    return again.acknowledged && (again.status & kStatusBusy) == 0;
}

void spi_set_access_bit(LinkTally* tally) {
    RegisterWord word{};
    for (int attempt = 0; attempt < kAccessReadTries; ++attempt) {
        const ExchangeResult e = spi_get(SPI_ACCESS, tally);
        word = e.word;
        if (e.status == ExchangeStatus::Clean) break;
    }
    word[0] |= kAccessBit;
    (void)spi_put(SPI_ACCESS, word, tally);
}

}  // namespace kestrel
