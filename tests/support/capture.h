// Test doubles for the platform hooks: captured trace lines and counted sleeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel::test {

// Collects every trace text while alive; restores the previous sink afterwards.
class TraceCapture {
  public:
    TraceCapture() {
        previous_ = set_trace_sink([this](std::string_view text) {
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.emplace_back(text);
            // KESTREL_TEST_TRACE=1 shows the captured lines while a test runs.
            if (std::getenv("KESTREL_TEST_TRACE"))
                std::fprintf(stderr, "T: %.*s\n", static_cast<int>(text.size()), text.data());
        });
    }
    ~TraceCapture() { set_trace_sink(std::move(previous_)); }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    int count(const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex_);
        int n = 0;
        for (const auto& l : lines_)
            n += l == text ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }

  private:
    TraceSink previous_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Records the length of every sleep instead of sleeping.
class SleepCounter {
  public:
    SleepCounter() {
        previous_ = set_sleep_function([this](std::uint32_t ms) {
            std::lock_guard<std::mutex> guard(mutex_);
            sleeps_.push_back(ms);
        });
    }
    ~SleepCounter() { set_sleep_function(std::move(previous_)); }

    std::vector<std::uint32_t> sleeps() {
        std::lock_guard<std::mutex> guard(mutex_);
        return sleeps_;
    }
    int count(std::uint32_t ms) {
        std::lock_guard<std::mutex> guard(mutex_);
        int n = 0;
        for (auto s : sleeps_)
            n += s == ms ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        sleeps_.clear();
    }

  private:
    SleepFunction previous_;
    std::mutex mutex_;
    std::vector<std::uint32_t> sleeps_;
};

}  // namespace kestrel::test
