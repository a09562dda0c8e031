#include "cli/session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/recovery_summary.h"
#include "cli/status_exit.h"
#include "link/window.h"
#include "platform/sleep.h"
#include "protocol/spi_regs.h"

namespace kestrel::cli {
namespace {

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::uint32_t kHandshakeGapMs = 100;

// "kestrelctl COMMAND: message", naming the command once: a message that already opens with
// it ("set ip: ...", "scan: ...") keeps its own words.
std::string error_line(const std::string& command, const std::string& message) {
    if (command == "kestrelctl") return "kestrelctl: " + message;
    if (message.rfind(command + ": ", 0) == 0) return "kestrelctl " + message;
    if (message.rfind(command + " ", 0) == 0) {
        const auto colon = message.find(':');
        const auto second_space = message.find(' ', command.size() + 1);
        if (colon != std::string::npos && colon < second_space) return "kestrelctl " + message;
    }
    return "kestrelctl " + command + ": " + message;
}
constexpr std::uint32_t kSleepSliceMs = 100;

}  // namespace

const char* exit_code_name(int code) {
    switch (code) {
        case kExitOk:
            return "ok";
        case kExitDiffers:
            return "differs";
        case kExitUsage:
            return "usage";
        case kExitNoDevice:
            return "no-device";
        case kExitFlashChip:
            return "flash-chip";
        case kExitFile:
            return "file";
        case kExitLink:
            return "link";
        case kExitInterrupted:
            return "interrupted";
    }
    return "error";
}

Session::Session(const GlobalOptions& options, const CliStreams& io, std::string command)
    : options_(options),
      io_(io),
      command_(std::move(command)),
      progress_(io.err, options.progress, io.err_is_terminal),
      stats_at_start_(link_stats()),
      recovery_at_start_(recovery_stats()),
      start_s_(now_s()) {
    stages_.reserve(4);  // one span per FlashStage: active_stage_ stays valid
    // Sleeps in slices through the sleep it replaces (the real one, or a test's counter).
    previous_sleep_ = set_sleep_function([this](std::uint32_t ms) {
        for (std::uint32_t left = ms; left > 0;) {
            notice_interrupt();
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

Session::~Session() {
    set_sleep_function(std::move(previous_sleep_));
}

std::optional<Endpoint> Session::device() {
    if (device_) return device_;
    if (options_.device_text.empty()) {
        fail(kExitUsage,
             "no device: give --device IP:PORT or set KESTREL_DEVICE "
             "(for example --device 192.168.1.50:5000)");
        return std::nullopt;
    }
    const Result<Endpoint> resolved = resolve_endpoint(options_.device_text);
    if (!resolved) {
        fail(kExitUsage, "--device: " + resolved.reason());
        return std::nullopt;
    }
    device_ = *resolved;
    return device_;
}

int Session::connect() {
    const auto endpoint = device();
    if (!endpoint) return kExitUsage;
    json_.add("device", endpoint->text());
    if (!open_link(endpoint->address_text(), endpoint->port.value())) {
        return fail(kExitNoDevice, "can't open a UDP socket");
    }
    linked_ = true;
    (void)set_link_window(options_.window);
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
    // A link that gave up because nothing answers any more: the device is gone, not the link.
    if (code == kExitLink && link_silent_run() >= kDeviceGoneSilentRun) {
        if (error_.empty()) error_ = "the device stopped answering (" + message + ")";
        return kExitNoDevice;
    }
    if (error_.empty()) error_ = message;
    return code;
}

int Session::fail(const Status& status) {
    return fail(exit_code_for(status.code()), status.reason());
}

int Session::finish(int code) {
    progress_.finish();
    code = take_late_failure(code);
    const double seconds = now_s() - start_s_;
    const LinkStats now = link_stats();
    const RecoveryCost cost =
        recovery_cost(stats_at_start_, now, recovery_at_start_, recovery_stats());
    if (options_.json) {
        write_json(code, seconds, now, cost);
    } else {
        write_text(code, seconds, now, cost);
    }
    std::fflush(io_.out);
    std::fflush(io_.err);
    return code;
}

int Session::take_late_failure(int code) {
    const std::string late = late_failure_ ? late_failure_() : std::string();
    if (!late.empty() && code == kExitOk) {
        code = fail(kExitFile, late);
    } else if (!late.empty() && options_.json) {
        json_.add("late_error", late);
    } else if (!late.empty()) {
        std::fprintf(io_.err, "kestrelctl %s: %s\n", command_.c_str(), late.c_str());
    }
    return code;
}

void Session::write_json(int code, double seconds, const LinkStats& now, const RecoveryCost& cost) {
    JsonObject out;
    out.add("command", command_).add("ok", code == kExitOk).append(json_);
    out.add("seconds", seconds)
        .add("waits_s", static_cast<double>(waited_ms_) / 1000.0)
        .add("exchanges", static_cast<std::int64_t>(now.exchanges - stats_at_start_.exchanges))
        .add("faults_recovered", static_cast<std::int64_t>(cost.faults()))
        .add_object("recovery", recovery_json(cost));
    if (bytes_ > 0) out.add("bytes", static_cast<std::int64_t>(bytes_));
    if (!options_.window.off()) {
        out.add("window", static_cast<std::int64_t>(link_window_now()))
            .add("window_breaks",
                 static_cast<std::int64_t>(now.window_breaks - stats_at_start_.window_breaks));
    }
    if (!stages_.empty()) {
        JsonObject stages;
        for (const StageSpan& s : stages_) {
            JsonObject one;
            one.add("seconds", s.seconds());
            if (s.stage != FlashStage::Erase)
                one.add("pages", s.pages).add("rate_kib_s", s.rate_kib_s());
            stages.add_object(flash_stage_name(s.stage), one);
        }
        out.add_object("stages", stages);
    }
    if (code != kExitOk) {
        out.add("error", error_.empty() ? std::string(exit_code_name(code)) : error_)
            .add("code", exit_code_name(code))
            .add("exit_code", code);
    }
    const std::string text = out.str();
    std::fprintf(io_.out, "%s\n", text.c_str());
}

void Session::write_text(int code, double seconds, const LinkStats& now, const RecoveryCost& cost) {
    if (code != kExitOk) {
        const std::string line =
            error_line(command_, error_.empty() ? exit_code_name(code) : error_);
        std::fprintf(io_.err, "%s\n", line.c_str());
    }
    if (!linked_ || stages_.empty()) return;
    char window[48] = "";
    if (!options_.window.off())
        std::snprintf(window, sizeof window, " (window %zu at the end)", link_window_now());
    char tail[224];
    std::snprintf(tail, sizeof tail, "; %.1f s in all, %lld exchanges%s, %lld faults recovered",
                  seconds, static_cast<long long>(now.exchanges - stats_at_start_.exchanges),
                  window, static_cast<long long>(cost.faults()));
    std::fprintf(code == kExitOk ? io_.out : io_.err, "%s%s%s\n", stages_text().c_str(), tail,
                 recovery_text(cost).c_str());
}

void Session::note_stage(FlashStage stage, int done) {
    const double now = now_s();
    if (!active_stage_ || active_stage_->stage != stage) {
        auto it = std::find_if(stages_.begin(), stages_.end(),
                               [stage](const StageSpan& s) { return s.stage == stage; });
        if (it == stages_.end()) {
            it = stages_.insert(stages_.end(), StageSpan{stage, 0, now, now, 0});
        }
        it->earlier_s = it->seconds();
        it->start_s = it->end_s = now;
        active_stage_ = &*it;
    }
    active_stage_->end_s = now;
    if (stage != FlashStage::Erase) active_stage_->pages = std::max(active_stage_->pages, done);
}

void Session::set_stage_pages(FlashStage stage, int pages) {
    for (StageSpan& s : stages_) {
        if (s.stage == stage) s.pages = pages;
    }
}

void Session::notice_interrupt() {
    if (erase_notice_given_ || interrupt_count() != 1 || !active_stage_ ||
        active_stage_->stage != FlashStage::Erase) {
        return;
    }
    erase_notice_given_ = true;
    progress_.finish();
    std::fputs("the chip is erasing; stopping after it, press Ctrl-C again to stop now\n", io_.err);
    std::fflush(io_.err);
}

double Session::StageSpan::rate_kib_s() const {
    const double kib = static_cast<double>(pages) * static_cast<double>(kPageSize) / 1024.0;
    return seconds() > 0 ? kib / seconds() : 0.0;
}

// "erase 13.0 s, program 48 pages in 0.3 s (40.0 KiB/s), verify 48 pages in 0.2 s (60.0 KiB/s)"
std::string Session::stages_text() const {
    std::string out;
    for (const StageSpan& s : stages_) {
        const double seconds = s.seconds();
        char part[120];
        if (s.stage == FlashStage::Erase) {
            std::snprintf(part, sizeof part, "erase %.1f s", seconds);
        } else {
            std::snprintf(part, sizeof part, "%s %d pages in %.1f s (%.1f KiB/s)",
                          flash_stage_name(s.stage), s.pages, seconds, s.rate_kib_s());
        }
        out += (out.empty() ? "" : ", ") + std::string(part);
    }
    return out;
}

FlashJobHooks Session::hooks() {
    FlashJobHooks hooks;
    hooks.progress = [this](FlashStage stage, int done, int total) {
        note_stage(stage, done);
        progress_.update(stage, done, total);
    };
    hooks.stop_requested = [this] {
        notice_interrupt();
        return interrupt_count() >= 1;
    };
    hooks.stop_now = [] { return interrupt_count() >= 2; };
    return hooks;
}

}  // namespace kestrel::cli
