// kestrel-devsim: the simulated device on a UDP address, until interrupted.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "kestrel_version.h"
#include "sim/device.h"
#include "sim/ipv4_text.h"
#include "sim/nor_flash.h"
#include "sim/server.h"

namespace {

constexpr const char* kUsage = R"(usage: kestrel-devsim [options]

Serves the device's handshake and register protocol on UDP until interrupted (Ctrl-C).
Example: kestrel-devsim --listen 127.0.0.1:5000

  --listen ADDR:PORT       address and port to serve (default 127.0.0.1:5000)
  --handshake-reply TEXT   the handshake answer (default "*connectok"; "qconnectok" for the
                           variant that asks the tool to answer "q")
  --mac XX:XX:XX:XX:XX:XX  MAC address in the configuration block (default 00:1a:2b:3c:4d:5e)
  --ts-port N              TS port in the configuration block (default 1234)
  --multicast-ip ADDR      multicast address in the configuration block (default 239.1.1.1)
  --multicast              multicast enabled in the configuration block
  --move-at-commit         after the commit of a new IP address and port, answer only there
                           (the old address stops answering at once)
  --log                    print every exchange on stderr
Link faults (probabilities per exchange, 0..1, drawn from --seed):
  --seed N  --lose-request P  --lose-reply P  --nak P  --late-reply P
  --other-port-reply P  --foreign P  --dup-reply P  --dup-gap-us N
  --late-ms MS | MIN-MAX   a late reply leaves MS ms after its request (default 60), or after
                           a delay drawn uniformly from MIN to MAX ms (e.g. 60-1000)
  --late-next P            of the late replies, the share that leaves when the next request
                           arrives (just before that request's reply), or after its delay if
                           no request comes first
  --dup-request P          the request arrives twice, the copy --dup-gap-us later: the device
                           acts on both and answers both (a duplicated SPI data write shifts
                           the page, as on a real network)
  --reply-delay-us N       service latency added to every reply, in order (300 is a typical
                           LAN round trip; default 0)
At exit the faults injected are printed, one count per kind.
Device variants:
  --no-echo                replies leave bytes 2-3 zero instead of echoing the register
  --long-write-replies     write replies are 22 bytes, like read replies
Controller faults:
  --mcu-hold N             the mcu holds the mailbox for the next N ownership reads
  --task-never-done        the task-done flag never comes
Flash chip (4 MiB, erased at start unless --flash-file holds an image):
  --flash-file PATH        load the flash from PATH when it exists and keep it there: saved
                           within a second of a change and at exit, never half-written
  --flash-id XX:XX:XX      the chip's identification (default c2:20:16; 00:00:00 or
                           ff:ff:ff look like no chip at all)
  --busy-polls N           status reads showing write in progress after each page program
  --erase-busy-polls N     status reads showing write in progress after a chip erase
  --flash-hang             the chip never finishes an erase or a page program
  --help                   this text
  --version                print "kestrel-devsim" and the version, then exit
)";

bool parse_mac(const char* text, std::array<std::uint8_t, 6>& mac) {
    unsigned b[6];
    if (std::sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
        6) {
        return false;
    }
    for (int i = 0; i < 6; ++i)
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b[i]);
    return true;
}

bool parse_flash_id(const char* text, kestrel::sim::JedecId& id) {
    unsigned b[3];
    if (std::sscanf(text, "%2x:%2x:%2x", &b[0], &b[1], &b[2]) != 3) return false;
    for (int i = 0; i < 3; ++i)
        id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b[i]);
    return true;
}

// Saves the flash to its file when it changed since the last save: the copy is taken under the
// server lock, between two requests, and written outside it.
void save_flash_if_changed(kestrel::sim::Server& server, kestrel::sim::Device& device,
                           const std::string& path, std::uint64_t& saved_generation) {
    std::vector<std::uint8_t> copy;
    {
        std::lock_guard<std::mutex> guard(server.lock());
        const kestrel::sim::NorFlash& flash = device.flash();
        if (flash.generation() == saved_generation) return;
        saved_generation = flash.generation();
        copy.assign(flash.contents().begin(), flash.contents().end());
    }
    if (!kestrel::sim::save_flash_image(path, copy)) {
        std::fprintf(stderr, "kestrel-devsim: can't save the flash to %s\n", path.c_str());
    }
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "kestrel-devsim: %s (see --help)\n", message.c_str());
    std::exit(2);
}

const char* kind_name(kestrel::sim::Exchange::Kind kind) {
    using K = kestrel::sim::Exchange::Kind;
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

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    sim::ServerOptions options;
    options.port = 5000;
    options.log_exchanges = false;
    std::array<std::uint8_t, 6> mac{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    int ts_port = 1234;
    std::string multicast_ip = "239.1.1.1";
    bool multicast = false;
    bool log = false;
    int mcu_hold = 0;
    bool never_done = false;
    std::string flash_file;
    sim::JedecId flash_id = sim::kNorDefaultId;
    int busy_polls = 0;
    int erase_busy_polls = 0;
    bool flash_hang = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail("missing value after " + arg);
            return argv[++i];
        };
        auto probability = [&]() {
            const double p = std::atof(value());
            if (p < 0 || p > 1) fail(arg + " takes a probability between 0 and 1");
            return p;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("kestrel-devsim %s\n", KESTREL_VERSION);
            return 0;
        } else if (arg == "--listen") {
            const std::string v = value();
            const auto colon = v.rfind(':');
            if (colon == std::string::npos) fail("--listen takes ADDR:PORT");
            options.address = v.substr(0, colon);
            const long port = std::strtol(v.c_str() + colon + 1, nullptr, 10);
            if (port <= 0 || port > 65535) fail("bad port in --listen");
            options.port = static_cast<std::uint16_t>(port);
        } else if (arg == "--handshake-reply") {
            options.handshake_reply = value();
        } else if (arg == "--mac") {
            if (!parse_mac(value(), mac)) fail("--mac takes six hex pairs separated by colons");
        } else if (arg == "--ts-port") {
            ts_port = std::atoi(value());
        } else if (arg == "--multicast-ip") {
            multicast_ip = value();
        } else if (arg == "--multicast") {
            multicast = true;
        } else if (arg == "--move-at-commit") {
            options.move_at_commit = true;
        } else if (arg == "--log") {
            log = true;
        } else if (arg == "--seed") {
            options.faults.seed = std::strtoull(value(), nullptr, 10);
        } else if (arg == "--lose-request") {
            options.faults.lose_request = probability();
        } else if (arg == "--lose-reply") {
            options.faults.lose_reply = probability();
        } else if (arg == "--nak") {
            options.faults.nak = probability();
        } else if (arg == "--late-reply") {
            options.faults.late_reply = probability();
        } else if (arg == "--dup-reply") {
            options.faults.dup_reply = probability();
        } else if (arg == "--dup-gap-us") {
            options.faults.dup_gap_us = static_cast<std::uint32_t>(std::atoi(value()));
        } else if (arg == "--no-echo") {
            options.faults.no_echo = true;
        } else if (arg == "--long-write-replies") {
            options.faults.long_write_replies = true;
        } else if (arg == "--late-ms") {
            if (!sim::parse_late_delay(value(), options.faults))
                fail("--late-ms takes MS or MIN-MAX with MIN <= MAX");
        } else if (arg == "--late-next") {
            options.faults.late_next = probability();
        } else if (arg == "--dup-request") {
            options.faults.dup_request = probability();
        } else if (arg == "--reply-delay-us") {
            options.faults.reply_delay_us = static_cast<std::uint32_t>(std::atoi(value()));
        } else if (arg == "--other-port-reply") {
            options.faults.other_port_reply = probability();
        } else if (arg == "--foreign") {
            options.faults.foreign_datagram = probability();
        } else if (arg == "--mcu-hold") {
            mcu_hold = std::atoi(value());
        } else if (arg == "--task-never-done") {
            never_done = true;
        } else if (arg == "--flash-file") {
            flash_file = value();
        } else if (arg == "--flash-id") {
            if (!parse_flash_id(value(), flash_id))
                fail("--flash-id takes three hex bytes, XX:XX:XX");
        } else if (arg == "--busy-polls") {
            busy_polls = std::atoi(value());
        } else if (arg == "--erase-busy-polls") {
            erase_busy_polls = std::atoi(value());
        } else if (arg == "--flash-hang") {
            flash_hang = true;
        } else {
            fail("unknown option " + arg);
        }
    }
    if (!sim::parse_dotted_quad(multicast_ip)) fail("bad --multicast-ip");

    sim::Device device;
    sim::ConfigBlock& cfg = device.config();
    cfg.set_mac(mac);
    cfg.set_ts_port(static_cast<std::uint16_t>(ts_port));
    cfg.set_multicast_ip_net(*sim::parse_dotted_quad(multicast_ip));
    cfg.set_multicast_enable(multicast ? 1 : 0);
    device.mailbox().hold_mailbox_for(mcu_hold);
    device.mailbox().set_task_never_done(never_done);
    sim::NorFlash& flash = device.flash();
    flash.set_jedec_id(flash_id);
    flash.set_program_busy_polls(busy_polls);
    flash.set_erase_busy_polls(erase_busy_polls);
    flash.set_hang_busy(flash_hang);
    std::uint64_t saved_generation = std::numeric_limits<std::uint64_t>::max();
    if (!flash_file.empty() && std::filesystem::exists(flash_file)) {
        std::vector<std::uint8_t> image;
        if (!sim::load_flash_image(flash_file, image)) fail("can't read " + flash_file);
        flash.load(image);
        saved_generation = flash.generation();
    }
    if (log) {
        options.on_exchange = [](const sim::Exchange& ex) {
            std::fprintf(stderr, "%s %04x %02x %02x %02x %02x %02x %02x %02x %02x%s%s%s port %u\n",
                         kind_name(ex.kind), ex.address, ex.word[0], ex.word[1], ex.word[2],
                         ex.word[3], ex.word[4], ex.word[5], ex.word[6], ex.word[7],
                         ex.lost_request ? " (request lost)" : "", ex.replied ? "" : " (no reply)",
                         ex.faults.c_str(),
                         ex.local_port);
        };
    }

    // SIGINT and SIGTERM are blocked before the server thread starts, so that thread inherits
    // the mask and only the wait below takes them: none can slip in between a check and a wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    sim::Server server(device, options);
    if (!server.start()) return 1;
    std::printf("kestrel-devsim listening on %s:%u\n", server.address().c_str(), server.port());
    std::fflush(stdout);

    for (;;) {
        timespec second{1, 0};
        const int sig =
            sigtimedwait(&stop_signals, nullptr, flash_file.empty() ? nullptr : &second);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (!flash_file.empty())
            save_flash_if_changed(server, device, flash_file, saved_generation);
    }
    server.stop();
    if (!flash_file.empty()) save_flash_if_changed(server, device, flash_file, saved_generation);
    const sim::ServerCounters c = server.counters();
    const double timed = c.timed ? static_cast<double>(c.timed) : 1.0;
    std::printf("kestrel-devsim: %llu requests served, mean service %.2f us, mean send %.2f us\n",
                static_cast<unsigned long long>(c.requests),
                static_cast<double>(c.service_ns) / 1000.0 / timed,
                static_cast<double>(c.send_ns) / 1000.0 / timed);
    const sim::InjectedFaults& f = c.faults;
    std::printf(
        "kestrel-devsim: faults lose-request %llu lose-reply %llu nak %llu late %llu late-next "
        "%llu dup-reply %llu dup-request %llu other-port %llu foreign %llu total %llu\n",
        static_cast<unsigned long long>(f.lost_requests),
        static_cast<unsigned long long>(f.lost_replies), static_cast<unsigned long long>(f.naks),
        static_cast<unsigned long long>(f.late_replies),
        static_cast<unsigned long long>(f.late_held),
        static_cast<unsigned long long>(f.dup_replies),
        static_cast<unsigned long long>(f.dup_requests),
        static_cast<unsigned long long>(f.other_port_replies),
        static_cast<unsigned long long>(f.foreign_datagrams),
        static_cast<unsigned long long>(f.total()));
    return 0;
}
