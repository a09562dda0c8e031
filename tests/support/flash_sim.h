// Helpers for the flash tests: a reporter that records what the procedures show, a temporary
// directory, file helpers, and a fixture with the simulated device's SPI master and flash chip
// on loopback.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "flash/core/flash_reporter.h"
#include "protocol/spi_regs.h"
#include "support/register_word.h"
#include "support/sim_fixture.h"
#include "support/temp_dir.h"

namespace kestrel::test {

using ByteVector = std::vector<std::uint8_t>;

class RecordingReporter : public FlashReporter {
  public:
    struct Event {
        enum class Kind { Status, Progress, Box } kind;
        std::string text;
        int position = 0;
    };

    void set_status(std::string_view text) override {
        add({Event::Kind::Status, std::string(text)});
    }
    void set_progress(int position) override { add({Event::Kind::Progress, {}, position}); }
    void message_box(std::string_view text) override { add({Event::Kind::Box, std::string(text)}); }

    std::vector<Event> events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    std::vector<std::string> statuses() { return texts(Event::Kind::Status); }
    std::vector<std::string> boxes() { return texts(Event::Kind::Box); }
    std::vector<int> progress() {
        std::vector<int> out;
        for (const auto& e : events()) {
            if (e.kind == Event::Kind::Progress) out.push_back(e.position);
        }
        return out;
    }
    std::string last_status() {
        const auto all = statuses();
        return all.empty() ? std::string() : all.back();
    }

  private:
    void add(Event e) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(e));
    }
    std::vector<std::string> texts(Event::Kind kind) {
        std::vector<std::string> out;
        for (const auto& e : events()) {
            if (e.kind == kind) out.push_back(e.text);
        }
        return out;
    }
    std::mutex mutex_;
    std::vector<Event> events_;
};

inline void write_file(const std::filesystem::path& path, const ByteVector& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline ByteVector read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bytes that differ from page to page and from offset to offset (xorshift).
inline ByteVector pattern_bytes(std::size_t n, std::uint32_t seed = 0x2545F491u) {
    ByteVector out(n);
    std::uint32_t x = seed | 1u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

// Starts a chip erase straight on the chip (Write Enable, Chip Erase), as an earlier write left it.
inline void start_chip_erase(sim::NorFlash& chip) {
    for (const std::uint8_t cmd : {0x06, 0xC7}) {
        chip.select();
        chip.transfer(cmd);
        chip.deselect();
    }
}

// Lets a chip that is still busy finish its erase or program, by reading its status.
inline void finish_chip_operation(sim::NorFlash& chip) {
    chip.set_program_busy_polls(0);
    chip.set_erase_busy_polls(0);
    chip.set_hang_busy(false);
    while (chip.busy()) {
        chip.select();
        chip.transfer(0x05);
        chip.transfer(0xFF);
        chip.deselect();
    }
}

// The simulated device on loopback with the link open; the chip is reached under the server
// lock, so tests may look at it between (or during) procedures.
class FlashSimFixture : public SimFixture {
  protected:
    template <typename Fn>
    auto with_chip(Fn fn) {
        std::lock_guard<std::mutex> guard(server_->lock());
        return fn(device_.flash());
    }
    ByteVector chip_bytes(std::size_t n = kFlashSize) {
        return with_chip([n](sim::NorFlash& chip) {
            return ByteVector(chip.contents().begin(),
                              chip.contents().begin() + static_cast<std::ptrdiff_t>(n));
        });
    }
    void load_chip(const ByteVector& image) {
        with_chip([&image](sim::NorFlash& chip) { chip.load(image); });
    }

    // The register exchanges at the SPI master's addresses, in order.
    std::vector<sim::Exchange> spi_traffic() {
        std::vector<sim::Exchange> out;
        for (const auto& ex : registers()) {
            if (ex.address <= SPI_ACCESS) out.push_back(ex);
        }
        return out;
    }

    TempDir dir_;
    RecordingReporter reporter_;
};

}  // namespace kestrel::test
