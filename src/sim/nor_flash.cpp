#include "sim/nor_flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "protocol/spi_regs.h"

namespace kestrel::sim {
namespace {

constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kChipErase = 0xC7;
constexpr std::uint8_t kChipEraseAlt = 0x60;
constexpr std::uint8_t kReadData = 0x03;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kReadId = 0x9F;
constexpr std::uint8_t kReleasePowerDown = 0xAB;
constexpr std::uint8_t kDeepPowerDown = 0xB9;

constexpr std::uint8_t kStatusWip = 0x01;
constexpr std::uint8_t kStatusWel = 0x02;
constexpr std::uint8_t kIdle = 0xFF;  // what the master reads while the chip does not drive
constexpr std::size_t kAddressBytes = 3;
static_assert(kSectorSize % kNorPageSize == 0 && kNorFlashSize % kSectorSize == 0);

std::uint64_t steady_micros() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

NorFlash::NorFlash(const NorFlashOptions& options)
    : options_(options),
      memory_(kNorFlashSize, 0xFF),
      deep_power_down_(options.start_in_deep_power_down),
      clock_(steady_micros) {}

void NorFlash::select() {
    if (selected_) return;
    // A timed operation ends on its own once its status reads are counted and its time is up.
    if (op_pending_ && busy_until_us_ != 0 && operation_done()) finish_operation();
    selected_ = true;
    ignored_ = false;
    opcode_ = 0;
    count_ = 0;
    address_ = 0;
}

std::uint8_t NorFlash::transfer(std::uint8_t mosi) {
    if (!selected_) return kIdle;
    const std::size_t n = count_++;
    if (n == 0) {
        opcode_ = mosi;
        ignored_ = deep_power_down_ ? mosi != kReleasePowerDown : busy() && mosi != kReadStatus;
        if (opcode_ == kPageProgram) {
            latch_.fill(0xFF);
            latch_bytes_ = 0;
        }
        return kIdle;
    }
    if (ignored_) return kIdle;
    const bool addressing = n <= kAddressBytes;
    switch (opcode_) {
        case kReadData:
            if (addressing) {
                address_ = ((address_ << 8) | mosi) % memory_.size();
                return kIdle;
            } else {
                const std::uint8_t out = memory_[address_];
                address_ = (address_ + 1) % memory_.size();
                return out;
            }
        case kCmdSectorErase:
            if (addressing) address_ = ((address_ << 8) | mosi) % memory_.size();
            return kIdle;
        case kPageProgram:
            if (addressing) {
                address_ = ((address_ << 8) | mosi) % memory_.size();
            } else {
                latch_[(address_ + latch_bytes_) % kNorPageSize] = mosi;
                ++latch_bytes_;
            }
            return kIdle;
        case kReadId:
            return options_.jedec_id[(n - 1) % options_.jedec_id.size()];
        case kReadStatus:
            return next_status();
        case kReleasePowerDown:
            return n > kAddressBytes ? kNorElectronicSignature : kIdle;
        default:
            return kIdle;
    }
}

void NorFlash::deselect() {
    if (!selected_) return;
    selected_ = false;
    if (count_ == 0 || ignored_) return;
    const bool single = count_ == 1;  // released right after the instruction byte
    switch (opcode_) {
        case kWriteEnable:
            if (single) wel_ = true;
            break;
        case kWriteDisable:
            if (single) wel_ = false;
            break;
        case kChipErase:
        case kChipEraseAlt:
            if (single && wel_) {
                std::fill(memory_.begin(), memory_.end(), 0xFF);
                ++generation_;
                ++chip_erases_;
                start_operation(options_.erase_busy_polls);
            }
            break;
        case kCmdSectorErase:
            // Released right after the third address byte, as a real part requires.
            if (count_ == 1 + kAddressBytes && wel_) {
                erase_sector();
                start_operation(options_.sector_erase_busy_polls, options_.sector_erase_busy_us);
            }
            break;
        case kPageProgram:
            if (count_ > 1 + kAddressBytes && wel_) {
                program_latch();
                ++page_programs_;
                start_operation(options_.program_busy_polls);
            }
            break;
        case kDeepPowerDown:
            if (single) deep_power_down_ = true;
            break;
        case kReleasePowerDown:
            deep_power_down_ = false;
            break;
        default:
            break;
    }
}

void NorFlash::load(std::span<const std::uint8_t> image) {
    const std::size_t n = std::min(image.size(), memory_.size());
    std::copy_n(image.begin(), n, memory_.begin());
    std::fill(memory_.begin() + static_cast<std::ptrdiff_t>(n), memory_.end(), 0xFF);
    ++generation_;
}

std::uint8_t NorFlash::status() const {
    return static_cast<std::uint8_t>((busy() ? kStatusWip : 0) | (wel_ ? kStatusWel : 0));
}

void NorFlash::start_operation(int busy_polls, std::uint32_t busy_us) {
    op_pending_ = true;
    busy_remaining_ = std::max(busy_polls, 0);
    busy_until_us_ = busy_us > 0 ? clock_() + busy_us : 0;
    if (operation_done()) finish_operation();
}

bool NorFlash::operation_done() const {
    return !hang_ && busy_remaining_ == 0 && (busy_until_us_ == 0 || clock_() >= busy_until_us_);
}

void NorFlash::finish_operation() {
    op_pending_ = false;
    busy_remaining_ = 0;
    busy_until_us_ = 0;
    wel_ = false;
}

void NorFlash::erase_sector() {
    const auto base = static_cast<std::ptrdiff_t>(address_ & ~(kSectorSize - 1));
    const auto first = memory_.begin() + base;
    const auto last = first + static_cast<std::ptrdiff_t>(kSectorSize);
    if (std::any_of(first, last, [](std::uint8_t b) { return b != 0xFF; })) ++generation_;
    std::fill(first, last, 0xFF);
    ++sector_erases_;
}

void NorFlash::program_latch() {
    const std::size_t base = address_ & ~(kNorPageSize - 1);
    bool changed = false;
    for (std::size_t j = 0; j < kNorPageSize; ++j) {
        const auto programmed = static_cast<std::uint8_t>(memory_[base + j] & latch_[j]);
        changed |= programmed != memory_[base + j];
        memory_[base + j] = programmed;
    }
    if (changed) ++generation_;
}

std::uint8_t NorFlash::next_status() {
    ++status_reads_;
    const std::uint8_t s = status();
    if (op_pending_) {
        if (busy_remaining_ > 0) --busy_remaining_;
        if (operation_done()) finish_operation();
    }
    return s;
}

bool load_flash_image(const std::string& path, std::vector<std::uint8_t>& image) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    image.assign(kNorFlashSize, 0);
    const std::size_t got = std::fread(image.data(), 1, image.size(), f);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    image.resize(got);
    return ok;
}

bool save_flash_image(const std::string& path, std::span<const std::uint8_t> image) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == image.size() && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace kestrel::sim
