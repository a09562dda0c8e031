// A 4 MiB serial NOR flash chip as the SPI master sees it: bytes shifted in and out while the
// chip is selected, instructions carried out as a real part does (most of them when the chip is
// released).
//
// Instructions: Read Identification 9Fh, Release from Deep Power-down ABh (with the electronic
// signature after three dummy bytes), Deep Power-down B9h, Write Enable 06h, Write Disable 04h,
// Chip Erase C7h / 60h, Sector Erase 20h (three address bytes, most significant first; the
// 4 KiB sector holding the address), Read Data 03h, Page Program 02h, Read Status Register 05h
// (bit 0 write in progress, bit 1 write enable latch). Program and erase need the write enable
// latch and clear it when they finish. While an erase or program is in progress only Read
// Status is answered; in deep power-down only ABh. Busy times are counted in status reads; a
// sector erase may also last a time of its own, read from a replaceable clock.
//
// Not thread-safe: the server calls it under its device lock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::sim {

inline constexpr std::size_t kNorFlashSize = 4 * 1024 * 1024;
inline constexpr std::size_t kNorPageSize = 256;
inline constexpr std::uint8_t kNorElectronicSignature = 0x15;

using JedecId = std::array<std::uint8_t, 3>;
inline constexpr JedecId kNorDefaultId{0xC2, 0x20, 0x16};

struct NorFlashOptions {
    JedecId jedec_id = kNorDefaultId;
    // Status reads that still show write in progress after a chip erase / after a page program.
    int erase_busy_polls = 0;
    int program_busy_polls = 0;
    bool start_in_deep_power_down = false;
    // A sector erase shows write in progress for this many status reads and, when the time is
    // not 0, at least until that many microseconds have passed since it started.
    int sector_erase_busy_polls = 0;
    std::uint32_t sector_erase_busy_us = 0;
};

// Microseconds on a monotonic clock; the chip's default reads std::chrono::steady_clock.
using MicrosClock = std::function<std::uint64_t()>;

class NorFlash {
  public:
    explicit NorFlash(const NorFlashOptions& options = {});

    // The SPI bus. transfer() shifts one byte each way; while the chip is not selected, or not
    // driving its output, the master reads FFh.
    void select();
    std::uint8_t transfer(std::uint8_t mosi);
    void deselect();
    bool selected() const { return selected_; }

    std::span<const std::uint8_t> contents() const { return memory_; }
    // Replaces the contents (a shorter image leaves the rest erased) without any busy time.
    void load(std::span<const std::uint8_t> image);
    // Bumped on every change of the contents, so a keeper can tell when to save.
    std::uint64_t generation() const { return generation_; }

    std::uint8_t status() const;
    bool busy() const { return op_pending_; }
    bool write_enabled() const { return wel_; }
    bool deep_power_down() const { return deep_power_down_; }

    // Chip faults: a different identification (00 00 00 / FF FF FF look like no chip at all),
    // and a chip whose erase or program never finishes while hang is set.
    void set_jedec_id(const JedecId& id) { options_.jedec_id = id; }
    void set_hang_busy(bool hang) { hang_ = hang; }
    void set_erase_busy_polls(int polls) { options_.erase_busy_polls = polls; }
    void set_program_busy_polls(int polls) { options_.program_busy_polls = polls; }
    void set_sector_erase_busy(int polls, std::uint32_t us) {
        options_.sector_erase_busy_polls = polls;
        options_.sector_erase_busy_us = us;
    }
    void set_clock(MicrosClock clock) { clock_ = std::move(clock); }

    int chip_erases() const { return chip_erases_; }
    int sector_erases() const { return sector_erases_; }
    int page_programs() const { return page_programs_; }
    int status_reads() const { return status_reads_; }

  private:
    void start_operation(int busy_polls, std::uint32_t busy_us = 0);
    bool operation_done() const;
    void finish_operation();
    void program_latch();
    void erase_sector();
    std::uint8_t next_status();

    NorFlashOptions options_;
    std::vector<std::uint8_t> memory_;
    std::uint64_t generation_ = 0;

    bool selected_ = false;
    bool ignored_ = false;  // the instruction of this transaction is not accepted
    std::uint8_t opcode_ = 0;
    std::size_t count_ = 0;  // bytes shifted in this transaction, the opcode included
    std::uint32_t address_ = 0;

    std::array<std::uint8_t, kNorPageSize> latch_{};  // page program data, FFh where unset
    std::size_t latch_bytes_ = 0;

    bool wel_ = false;
    bool deep_power_down_ = false;
    bool op_pending_ = false;  // an erase or program in progress
    int busy_remaining_ = 0;
    std::uint64_t busy_until_us_ = 0;  // 0: the operation is timed in status reads only
    bool hang_ = false;
    MicrosClock clock_;

    int chip_erases_ = 0;
    int sector_erases_ = 0;
    int page_programs_ = 0;
    int status_reads_ = 0;
};

// Reads a flash image file: true with the file's bytes (at most kNorFlashSize of them) when it
// could be read, false when it could not be opened or read.
bool load_flash_image(const std::string& path, std::vector<std::uint8_t>& image);

// Writes the image to path through a temporary file in the same directory, renamed over path
// once it is complete and synced, so path holds either the old or the new image, never half.
bool save_flash_image(const std::string& path, std::span<const std::uint8_t> image);

}  // namespace kestrel::sim
