#include "cli/interrupt.h"

#include <atomic>
#include <csignal>

namespace kestrel::cli {
namespace {

std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_interrupt(int) {
    g_interrupts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int interrupt_count() {
    return g_interrupts.load(std::memory_order_relaxed);
}
void reset_interrupts() {
    g_interrupts.store(0, std::memory_order_relaxed);
}
void note_interrupt() {
    g_interrupts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace kestrel::cli
