#include "platform/sleep.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace kestrel {
namespace {

std::mutex& fn_mutex() {
    static std::mutex m;
    return m;
}

SleepFunction& current_fn() {
    static SleepFunction fn;
    return fn;
}

}  // namespace

void sleep_ms(std::uint32_t ms) {
    SleepFunction fn;
    {
        std::lock_guard<std::mutex> guard(fn_mutex());
        fn = current_fn();
    }
    if (fn) {
        fn(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

SleepFunction set_sleep_function(SleepFunction fn) {
    std::lock_guard<std::mutex> guard(fn_mutex());
    SleepFunction previous = std::move(current_fn());
    current_fn() = std::move(fn);
    return previous;
}

}  // namespace kestrel
