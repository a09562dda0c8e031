// kestrel-devsim: the simulated device on a UDP address, until interrupted.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "kestrel_version.h"
#include "sim/device.h"
#include "sim/devsim_options.h"
#include "sim/nor_flash.h"
#include "sim/server.h"

namespace {

using namespace kestrel;

constexpr int kExitBadUsage = 2;
constexpr int kExitCannotServe = 1;

// The flash file's keeper: loads it at start, saves it when the flash changed.
struct FlashKeeper {
    std::string path;
    std::uint64_t saved_generation = std::numeric_limits<std::uint64_t>::max();
};

const char* kind_name(sim::Exchange::Kind kind) {
    using K = sim::Exchange::Kind;
    switch (kind) {
        case K::Read:
            return "read ";
        case K::Write:
            return "write";
        case K::Handshake:
            return "hello";
        case K::QuitAck:
            return "quit ";
        case K::Malformed:
            return "junk ";
    }
    return "?";
}

void log_exchange(const sim::Exchange& ex) {
    std::fprintf(stderr, "%s %04x %02x %02x %02x %02x %02x %02x %02x %02x%s%s%s port %u\n",
                 kind_name(ex.kind), ex.address, ex.word[0], ex.word[1], ex.word[2], ex.word[3],
                 ex.word[4], ex.word[5], ex.word[6], ex.word[7],
                 ex.lost_request ? " (request lost)" : "", ex.replied ? "" : " (no reply)",
                 ex.faults.c_str(), ex.local_port);
}

// Sets up the device from the options; false with a message when the flash file can't be read.
bool configure_device(const sim::DevsimConfig& c, sim::Device& device, FlashKeeper& keeper) {
    sim::ConfigBlock& cfg = device.config();
    cfg.set_mac(c.mac);
    cfg.set_ts_port(c.ts_port);
    cfg.set_multicast_ip_net(c.multicast_ip_net);
    cfg.set_multicast_enable(c.multicast ? 1 : 0);
    device.mailbox().hold_mailbox_for(c.mcu_hold);
    device.mailbox().set_task_never_done(c.task_never_done);
    sim::NorFlash& flash = device.flash();
    flash.set_jedec_id(c.flash_id);
    flash.set_program_busy_polls(c.busy_polls);
    flash.set_erase_busy_polls(c.erase_busy_polls);
    flash.set_sector_erase_busy(c.sector_erase_busy_polls, c.sector_erase_us);
    flash.set_hang_busy(c.flash_hang);
    keeper.path = c.flash_file;
    if (keeper.path.empty() || !std::filesystem::exists(keeper.path)) return true;
    std::vector<std::uint8_t> image;
    if (!sim::load_flash_image(keeper.path, image)) {
        std::fprintf(stderr, "kestrel-devsim: can't read %s\n", keeper.path.c_str());
        return false;
    }
    flash.load(image);
    keeper.saved_generation = flash.generation();
    return true;
}

// Saves the flash to its file when it changed since the last save: the copy is taken under the
// server lock, between two requests, and written outside it.
void save_flash_if_changed(sim::Server& server, sim::Device& device, FlashKeeper& keeper) {
    if (keeper.path.empty()) return;
    std::vector<std::uint8_t> copy;
    {
        std::lock_guard<std::mutex> guard(server.lock());
        const sim::NorFlash& flash = device.flash();
        if (flash.generation() == keeper.saved_generation) return;
        keeper.saved_generation = flash.generation();
        copy.assign(flash.contents().begin(), flash.contents().end());
    }
    if (!sim::save_flash_image(keeper.path, copy)) {
        std::fprintf(stderr, "kestrel-devsim: can't save the flash to %s\n", keeper.path.c_str());
    }
}

// SIGINT and SIGTERM are blocked before the server thread starts, so that thread inherits the
// mask and only the wait below takes them: none can slip in between a check and a wait.
sigset_t block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

// Waits for SIGINT or SIGTERM, saving the flash file every second meanwhile.
void serve_until_stopped(const sigset_t& stop_signals, sim::Server& server, sim::Device& device,
                         FlashKeeper& keeper) {
    for (;;) {
        timespec second{1, 0};
        const int sig =
            sigtimedwait(&stop_signals, nullptr, keeper.path.empty() ? nullptr : &second);
        if (sig == SIGINT || sig == SIGTERM) return;
        save_flash_if_changed(server, device, keeper);
    }
}

unsigned long long ull(std::uint64_t n) {
    return static_cast<unsigned long long>(n);
}

// kestrel-soak and kestrel-bench read these lines to count a run's requests and faults.
void print_counters(const sim::ServerCounters& c) {
    const double timed = c.timed ? static_cast<double>(c.timed) : 1.0;
    std::printf("kestrel-devsim: %llu requests served, mean service %.2f us, mean send %.2f us\n",
                ull(c.requests), static_cast<double>(c.service_ns) / 1000.0 / timed,
                static_cast<double>(c.send_ns) / 1000.0 / timed);
    const sim::InjectedFaults& f = c.faults;
    std::printf(
        "kestrel-devsim: faults lose-request %llu lose-reply %llu nak %llu late %llu late-next "
        "%llu dup-reply %llu dup-request %llu other-port %llu foreign %llu total %llu\n",
        ull(f.lost_requests), ull(f.lost_replies), ull(f.naks), ull(f.late_replies),
        ull(f.late_held), ull(f.dup_replies), ull(f.dup_requests), ull(f.other_port_replies),
        ull(f.foreign_datagrams), ull(f.total()));
    if (c.jittered_replies > 0 || c.rx_dropped > 0) {
        std::printf("kestrel-devsim: timing jittered %llu rx-dropped %llu\n",
                    ull(c.jittered_replies), ull(c.rx_dropped));
    }
}

int serve(sim::DevsimConfig config) {
    sim::Device device;
    FlashKeeper keeper;
    if (!configure_device(config, device, keeper)) return kExitBadUsage;
    if (config.log) config.server.on_exchange = log_exchange;
    const sigset_t stop_signals = block_stop_signals();
    sim::Server server(device, config.server);
    if (!server.start()) return kExitCannotServe;
    std::printf("kestrel-devsim listening on %s:%u\n", server.address().c_str(), server.port());
    std::fflush(stdout);
    serve_until_stopped(stop_signals, server, device, keeper);
    server.stop();
    save_flash_if_changed(server, device, keeper);
    print_counters(server.counters());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const sim::DevsimArgs parsed = sim::parse_devsim_args(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kestrel-devsim: %s (see --help)\n", parsed.error.c_str());
        return kExitBadUsage;
    }
    switch (parsed.action) {
        case sim::DevsimArgs::Action::Help:
            std::fputs(sim::devsim_usage().c_str(), stdout);
            return 0;
        case sim::DevsimArgs::Action::Version:
            std::printf("kestrel-devsim %s\n", KESTREL_VERSION);
            return 0;
        case sim::DevsimArgs::Action::Serve:
            break;
    }
    return serve(parsed.config);
}
