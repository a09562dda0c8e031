#include "flash/core/spi_flash.h"

#include "link/transport.h"
#include "platform/sleep.h"
#include "platform/ticks.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr int kAccessReadTries = 3;

bool count(LinkTally* tally, bool acked) {
    if (tally) {
        ++tally->exchanges;
        if (!acked) ++tally->unacknowledged;
        if (acked && last_reply_may_be_stale()) ++tally->maybe_stale;
    }
    return acked;
}

bool put(std::uint16_t address, const RegisterWord& word, LinkTally* tally) {
    return count(tally, write_reg(address, word));
}

bool get(std::uint16_t address, RegisterWord& word, LinkTally* tally) {
    return count(tally, read_reg(address, word));
}

// A read of SPI_CTRL, which gives the same bytes until the next phase: when the reply may be a
// late one of an earlier read, it is read again, and only two equal replies stand.
// A caller that proves the bytes by a whole second read passes unproven instead: it gets
// whether the bytes want that (the reply could have been a copy of the last SPI_CTRL reply, see
// last_reply_copy_possible, or a late one, which can come twice and so agree with a read made
// right after to check it), and nothing is read again here.
bool get_ctrl_checked(RegisterWord& word, LinkTally* tally, bool* unproven = nullptr) {
    const bool acked = get(SPI_CTRL, word, tally);
    if (unproven) {
        *unproven = acked && (last_reply_copy_possible() || last_reply_may_be_stale());
        return acked;
    }
    if (!acked) return false;
    if (!last_reply_may_be_stale()) return true;
    RegisterWord again{};
    if (!get(SPI_CTRL, again, tally)) return false;
    if (again == word) return true;
    trace("SPI_CTRL read again differs: a late reply was taken, reading over");
    if (tally) ++tally->unacknowledged;
    return false;
}

// A write whose acknowledgement may be an earlier write's (see last_reply_may_be_stale) may
// not have happened: where that would go unseen (a Read Data phase, a status read), it counts
// as not acknowledged.
bool put_sure(std::uint16_t address, const RegisterWord& word, LinkTally* tally) {
    if (!put(address, word, tally)) return false;
    if (!last_reply_may_be_stale()) return true;
    if (tally) ++tally->unacknowledged;
    return false;
}

// A page-load word: not taken as loaded when its acknowledgement may be the late reply of an
// earlier word that timed out (or, as pace says, a copy of one). A reply that only came slowly still counts (and marks the tally,
// so the page is read back after its program).
bool put_load(std::uint16_t address, const RegisterWord& word, LoadPace pace, LinkTally* tally) {
    if (!put(address, word, tally)) return false;
    const bool late = last_reply_may_be_late();
    const bool paced_out = !late && pace == LoadPace::Prompt && last_reply_may_be_copy();
    if (!late && !paced_out) return true;
    if (tally) {
        ++tally->unacknowledged;
        if (paced_out) ++tally->paced_out;
    }
    return false;
}

RegisterWord instruction(std::uint8_t cmd) {
    return RegisterWord{cmd};
}

RegisterWord control(const std::array<std::uint8_t, 2>& ctrl) {
    return RegisterWord{ctrl[0], ctrl[1]};
}

// One instruction byte in a phase of its own: start, send 1, end.
bool send_instruction(std::uint8_t cmd, LinkTally* tally) {
    const bool cmd_acked = put(SPI_CMD, instruction(cmd), tally);
    const bool ctrl_acked = put(SPI_CTRL, control(kCtrlSendOne), tally);
    return cmd_acked && ctrl_acked;
}

}  // namespace

bool spi_read_id(FlashId& id, LinkTally* tally) {
    put(SPI_INIT, RegisterWord{kSpiInitWord}, tally);
    send_instruction(kCmdReleasePowerDown, tally);
    put(SPI_CMD, instruction(kCmdReadId), tally);
    put(SPI_CTRL, control(kCtrlReadId), tally);
    RegisterWord reply{};
    get(SPI_CTRL, reply, tally);
    id = {reply[0], reply[1], reply[2]};
    return true;
}

bool spi_chip_erase(LinkTally* tally) {
    send_instruction(kCmdWriteEnable, tally);
    send_instruction(kCmdChipErase, tally);
    sleep_ms(kEraseSleepMs);
    return true;
}

int spi_read_page(const FlashAddress& address, std::span<std::uint8_t, kPageSize> dest,
                  LinkTally* tally) {
    spi_read_chunks(address, 0, dest, false, tally);
    return 1;
}

std::size_t spi_read_chunks(const FlashAddress& address, std::size_t first,
                            std::span<std::uint8_t, kPageSize> dest, bool stop_at_fault,
                            LinkTally* tally) {
    std::size_t first_fault = kPageReadChunks;
    const std::uint32_t start =
        ((std::uint32_t{address[0]} << 16) | (address[1] << 8) | address[2]) +
        static_cast<std::uint32_t>(first * 8);
    const FlashAddress from = flash_address(start);
    bool acked = put_sure(SPI_CMD, RegisterWord{kCmdReadData, from[0], from[1], from[2]}, tally);
    RegisterWord previous{};
    for (std::size_t chunk = first; chunk < kPageReadChunks; ++chunk) {
        const bool last = chunk + 1 == kPageReadChunks;
        bool phase_doubtful = false;
        if (chunk == first) {
            acked &= put_sure(SPI_CTRL, control(last ? kCtrlReadOnly : kCtrlReadFirst), tally);
        } else {
            acked = put(SPI_CTRL, control(last ? kCtrlReadLast : kCtrlReadNext), tally);
            phase_doubtful = acked && last_reply_may_be_stale();
        }
        RegisterWord word{};
        bool unproven = false;
        acked &= get_ctrl_checked(word, tally, &unproven);
        // A receive phase that did not happen leaves SPI_CTRL as it was: the same bytes again
        // after a phase whose acknowledgement may have been an earlier one's.
        if (acked && phase_doubtful && word == previous) {
            trace("SPI_CTRL unchanged after a doubtful receive phase, reading over");
            if (tally) ++tally->unacknowledged;
            acked = false;
        } else if (acked && unproven && tally) {
            // The same bytes as SPI_CTRL's last reply (the chunk before, or before the first
            // chunk, the last read of an earlier transaction): the flash may hold them twice,
            // or a copy of that reply, or of the last phase's acknowledgement, stood in for a
            // lost request, however promptly it came. Or a reply that may have come late, and
            // whose copy may have answered the read made to check it.
            ++tally->unproven;
        }
        previous = word;
        std::copy(word.begin(), word.end(), dest.begin() + static_cast<std::ptrdiff_t>(chunk * 8));
        if (!acked && first_fault == kPageReadChunks) {
            first_fault = chunk;
            if (stop_at_fault) break;
        }
    }
    return first_fault;
}

int spi_program_page(const FlashAddress& address, std::span<const std::uint8_t, kPageSize> page,
                     LinkTally* tally, LoadPace pace) {
    bool loaded = send_instruction(kCmdWriteEnable, tally);
    loaded &= put_load(SPI_PP_HEAD,
                       RegisterWord{kCmdPageProgram, address[0], address[1], address[2], page[0],
                                    page[1], page[2], page[3]},
                       pace, tally);
    // Each data word takes the next place in the page: the late acknowledgement of an earlier
    // word may stand for a word the device never got, and every word after it would land one
    // place early. The load stops there, before the chip holds any misplaced byte.
    for (std::size_t i = 0; i < kPageDataWords && loaded; ++i) {
        RegisterWord data{};
        std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(kPageHeadBytes + 8 * i), 8,
                    data.begin());
        loaded &= put_load(SPI_PP_DATA, data, pace, tally);
    }
    // The tail starts the program: it goes out only over a load the device took word for word.
    if (!loaded || !confirm_in_step()) {
        if (loaded && tally) ++tally->unacknowledged;
        return kProgramAbandoned;
    }
    RegisterWord tail{};
    std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(kPageSize - kPageTailBytes),
                kPageTailBytes, tail.begin());
    put(SPI_PP_TAIL, tail, tally);

    int polls = 0;
    bool busy = true;
    while (busy && polls < kProgramMaxPolls) {
        std::uint8_t status = 0;
        const bool trusted = spi_read_status(status, tally);
        busy = !trusted || (status & kStatusBusy) != 0;
        // "Ready" is believed only when no stray reply could have said it.
        if (!busy && !confirm_in_step()) {
            busy = true;
            if (tally) ++tally->unacknowledged;
        }
        ++polls;
    }
    if (polls >= kProgramMaxPolls) {
        trace("write 16 bit---------------------------------------------register");
        return 0;
    }
    return 1;
}

void spi_write_enable(LinkTally* tally) {
    send_instruction(kCmdWriteEnable, tally);
}

void spi_write_disable(LinkTally* tally) {
    send_instruction(kCmdWriteDisable, tally);
}

bool spi_read_status(std::uint8_t& status, LinkTally* tally) {
    const bool cmd_acked = put(SPI_CMD, instruction(kCmdReadStatus), tally);
    bool doubtful = cmd_acked && last_reply_may_be_stale();
    const bool ctrl_acked = put(SPI_CTRL, control(kCtrlReadStatus), tally);
    doubtful = doubtful || (ctrl_acked && last_reply_may_be_stale());
    RegisterWord word{};
    const bool read_acked = get_ctrl_checked(word, tally);
    status = word[0];
    // A busy status is busy whatever came late; a "ready" after a step whose acknowledgement
    // may have been an earlier one's may be the last status read, still in SPI_CTRL.
    const bool ready = (status & kStatusBusy) == 0;
    return cmd_acked && ctrl_acked && read_acked && !(ready && doubtful);
}

void spi_set_access_bit(LinkTally* tally) {
    RegisterWord word{};
    for (int attempt = 0; attempt < kAccessReadTries; ++attempt) {
        if (get(SPI_ACCESS, word, tally)) break;
    }
    word[0] |= kAccessBit;
    put(SPI_ACCESS, word, tally);
}

}  // namespace kestrel
