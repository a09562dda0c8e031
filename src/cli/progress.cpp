#include "cli/progress.h"

#include <algorithm>
#include <chrono>

#include "protocol/spi_regs.h"

namespace kestrel::cli {
namespace {

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string clock_text(double seconds) {
    const long s = std::max(0L, static_cast<long>(seconds + 0.5));
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

constexpr int kBarWidth = 24;

}  // namespace

bool parse_progress_mode(const std::string& text, ProgressMode& mode) {
    if (text == "auto")
        mode = ProgressMode::Auto;
    else if (text == "bar")
        mode = ProgressMode::Bar;
    else if (text == "lines")
        mode = ProgressMode::Lines;
    else if (text == "none")
        mode = ProgressMode::None;
    else if (text == "json")
        mode = ProgressMode::Json;
    else
        return false;
    return true;
}

ProgressView::ProgressView(std::FILE* stream, ProgressMode mode, bool stream_is_terminal,
                           Clock clock)
    : stream_(stream),
      mode_(mode == ProgressMode::Auto
                ? (stream_is_terminal ? ProgressMode::Bar : ProgressMode::Lines)
                : mode),
      clock_(clock ? std::move(clock) : Clock(steady_seconds)) {}

void ProgressView::update(FlashStage stage, int done, int total) {
    if (mode_ == ProgressMode::None) return;
    const bool new_stage = !active_ || stage != stage_ || done == 0;
    if (new_stage) {
        if (bar_drawn_) finish();
        stage_ = stage;
        stage_start_ = clock_();
        last_line_ = stage_start_;
        active_ = true;
    }
    done_ = done;
    total_ = total;
    draw(new_stage || done == total);
}

void ProgressView::tick() {
    if (mode_ == ProgressMode::Bar && active_) draw(false);
}

void ProgressView::finish() {
    if (bar_drawn_) std::fputc('\n', stream_);
    std::fflush(stream_);
    bar_drawn_ = false;
    active_ = false;
}

std::string ProgressView::text() const {
    const double elapsed = clock_() - stage_start_;
    double fraction = total_ > 0 ? static_cast<double>(done_) / total_ : 1.0;
    char buf[160];
    if (stage_ == FlashStage::Erase) {
        // The erase reports only its start and end; between them the pause's own length is
        // the best estimate.
        if (done_ < total_) fraction = std::min(0.99, elapsed / std::max(1, total_));
        std::snprintf(buf, sizeof buf, "%3d%%  %s elapsed", static_cast<int>(fraction * 100),
                      clock_text(elapsed).c_str());
    } else {
        const double kib = static_cast<double>(done_) * kPageSize / 1024.0;
        const double rate = elapsed > 0 ? kib / elapsed : 0.0;
        const double left_kib = static_cast<double>(total_ - done_) * kPageSize / 1024.0;
        const std::string eta = rate > 0 ? clock_text(left_kib / rate) : std::string("-:--");
        std::snprintf(buf, sizeof buf, "%3d%%  %8.1f KiB/s  ETA %s",
                      static_cast<int>(fraction * 100), rate, eta.c_str());
    }
    std::string line = std::string(flash_stage_name(stage_));
    line.resize(8, ' ');
    if (mode_ == ProgressMode::Bar) {
        const int filled = static_cast<int>(fraction * kBarWidth);
        line += '[' + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
    }
    return line + buf;
}

void ProgressView::step(const std::string& name) {
    if (mode_ != ProgressMode::Json) return;
    std::fprintf(stream_, "{\"stage\":\"%s\"}\n", name.c_str());
    std::fflush(stream_);
}

void ProgressView::draw(bool force_line) {
    if (mode_ == ProgressMode::Json) {
        const double now = clock_();
        if (!force_line && now - last_line_ < kJsonIntervalS) return;
        last_line_ = now;
        const double elapsed = now - stage_start_;
        const double kib = static_cast<double>(done_) * kPageSize / 1024.0;
        const double rate = stage_ == FlashStage::Erase || elapsed <= 0 ? 0.0 : kib / elapsed;
        const double left =
            rate > 0 ? static_cast<double>(total_ - done_) * kPageSize / 1024.0 / rate : -1;
        const int percent = total_ > 0 ? static_cast<int>(100.0 * done_ / total_) : 100;
        std::fprintf(stream_,
                     "{\"stage\":\"%s\",\"done\":%d,\"total\":%d,\"percent\":%d,"
                     "\"rate_kib_s\":%.1f,\"eta_s\":%.0f}\n",
                     flash_stage_name(stage_), done_, total_, percent, rate, left);
        std::fflush(stream_);
        return;
    }
    if (mode_ == ProgressMode::Bar) {
        std::fprintf(stream_, "\r%s\x1b[K", text().c_str());
        std::fflush(stream_);
        bar_drawn_ = true;
        return;
    }
    const double now = clock_();
    if (!force_line && now - last_line_ < kLineIntervalS) return;
    last_line_ = now;
    std::fprintf(stream_, "%s\n", text().c_str());
    std::fflush(stream_);
}

}  // namespace kestrel::cli
