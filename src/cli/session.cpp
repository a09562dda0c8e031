#include "cli/session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "platform/sleep.h"

namespace kestrel::cli {
namespace {

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::uint32_t kHandshakeGapMs = 100;
constexpr std::uint32_t kSleepSliceMs = 100;

}  // namespace

const char* exit_code_name(int code) {
    switch (code) {
        case kExitOk: return "ok";
        case kExitDiffers: return "differs";
        case kExitUsage: return "usage";
        case kExitNoDevice: return "no-device";
        case kExitFlashChip: return "flash-chip";
        case kExitFile: return "file";
        case kExitLink: return "link";
        case kExitInterrupted: return "interrupted";
    }
    return "error";
}

Session::Session(const GlobalOptions& options, const CliStreams& io, std::string command)
    : options_(options), io_(io), command_(std::move(command)),
      progress_(io.err, options.progress, io.err_is_terminal), stats_at_start_(link_stats()),
      start_s_(now_s()) {
    // Sleeps in slices through the sleep it replaces (the real one, or a test's counter).
    previous_sleep_ = set_sleep_function([this](std::uint32_t ms) {
        for (std::uint32_t left = ms; left > 0;) {
            if (interrupt_count() >= 2) return;
            const std::uint32_t slice = std::min(left, kSleepSliceMs);
            waited_ms_ += slice;
            if (previous_sleep_) {
                previous_sleep_(slice);
            } else {
                ::usleep(static_cast<useconds_t>(slice) * 1000);
            }
            left -= slice;
            progress_.tick();
        }
    });
}

Session::~Session() { set_sleep_function(std::move(previous_sleep_)); }

std::optional<Endpoint> Session::device() {
    if (device_) return device_;
    if (options_.device_text.empty()) {
        fail(kExitUsage, "no device: give --device IP:PORT or set KESTREL_DEVICE "
                         "(for example --device 192.168.1.50:5000)");
        return std::nullopt;
    }
    device_ = parse_endpoint(options_.device_text);
    if (!device_) {
        fail(kExitUsage, "--device \"" + options_.device_text +
                             "\" is not IP:PORT (for example 192.168.1.50:5000)");
    }
    return device_;
}

int Session::connect() {
    const auto endpoint = device();
    if (!endpoint) return kExitUsage;
    json_.add("device", endpoint->text());
    if (!open_link(endpoint->ip_text(), endpoint->port)) {
        return fail(kExitNoDevice, "can't open a UDP socket");
    }
    linked_ = true;
    const double deadline = now_s() + kConnectBudgetS;
    int tries = 0;
    do {
        ++tries;
        if (connect_handshake()) return kExitOk;
        if (interrupt_count() > 0) return fail(kExitInterrupted, "interrupted");
        sleep_ms(kHandshakeGapMs);
    } while (now_s() < deadline);
    return fail(kExitNoDevice, "no device answers at " + endpoint->text() + " (" +
                                   std::to_string(tries) + " handshakes in 3 s)");
}

void Session::say(const std::string& line) {
    if (!options_.json) std::fprintf(io_.out, "%s\n", line.c_str());
}

int Session::fail(int code, const std::string& message) {
    if (error_.empty()) error_ = message;
    return code;
}

int Session::finish(int code) {
    progress_.finish();
    const std::string late = late_failure_ ? late_failure_() : std::string();
    if (!late.empty() && code == kExitOk) {
        code = fail(kExitFile, late);
    } else if (!late.empty() && options_.json) {
        json_.add("late_error", late);
    } else if (!late.empty()) {
        std::fprintf(io_.err, "kestrelctl %s: %s\n", command_.c_str(), late.c_str());
    }
    const double seconds = now_s() - start_s_;
    const LinkStats now = link_stats();
    const auto exchanges = static_cast<std::int64_t>(now.exchanges - stats_at_start_.exchanges);
    const auto faults = static_cast<std::int64_t>(
        (now.unacknowledged - stats_at_start_.unacknowledged) +
        (now.unfitting_dropped - stats_at_start_.unfitting_dropped) +
        (now.stale_discarded - stats_at_start_.stale_discarded));
    if (options_.json) {
        JsonObject out;
        out.add("command", command_).add("ok", code == kExitOk).append(json_);
        out.add("seconds", seconds)
            .add("waits_s", static_cast<double>(waited_ms_) / 1000.0)
            .add("exchanges", exchanges)
            .add("faults_recovered", faults);
        if (bytes_ > 0) out.add("bytes", static_cast<std::int64_t>(bytes_));
        if (code != kExitOk) {
            out.add("error", error_.empty() ? std::string(exit_code_name(code)) : error_)
                .add("code", exit_code_name(code))
                .add("exit_code", code);
        }
        const std::string text = out.str();
        std::fprintf(io_.out, "%s\n", text.c_str());
    } else {
        if (code != kExitOk) {
            std::fprintf(io_.err, "kestrelctl %s: %s\n", command_.c_str(),
                         error_.empty() ? exit_code_name(code) : error_.c_str());
        }
        if (linked_ && bytes_ > 0) {
            char line[200];
            const double kib_s = seconds > 0 ? static_cast<double>(bytes_) / 1024.0 / seconds : 0;
            std::snprintf(line, sizeof line,
                          "%llu bytes in %.1f s (%.1f KiB/s), %lld exchanges, %lld faults "
                          "recovered",
                          static_cast<unsigned long long>(bytes_), seconds, kib_s,
                          static_cast<long long>(exchanges), static_cast<long long>(faults));
            std::fprintf(code == kExitOk ? io_.out : io_.err, "%s\n", line);
        }
    }
    std::fflush(io_.out);
    std::fflush(io_.err);
    return code;
}

FlashJobHooks Session::hooks() {
    FlashJobHooks hooks;
    hooks.progress = [this](FlashStage stage, int done, int total) {
        progress_.update(stage, done, total);
    };
    hooks.stop_requested = [] { return interrupt_count() >= 1; };
    hooks.stop_now = [] { return interrupt_count() >= 2; };
    return hooks;
}

}  // namespace kestrel::cli
