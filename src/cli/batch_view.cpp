#include "cli/batch_view.h"

#include <string>

namespace kestrel::cli {
namespace {

constexpr double kRedrawEvery_s = 0.2;

// "ok", "FAILED: ERROR", " 42%    123.4 KiB/s ETA 17 s", or empty before the first percentage.
std::string state_text(const BatchUnit& u) {
    if (u.done) return u.ok() ? "ok" : "FAILED: " + u.error;
    if (u.percent < 0) return {};
    char buf[96];
    std::snprintf(buf, sizeof buf, "%3d%% %8.1f KiB/s ETA %s", u.percent, u.rate,
                  u.eta >= 0 ? (std::to_string(static_cast<int>(u.eta)) + " s").c_str() : "-");
    return buf;
}

}  // namespace

void BatchView::draw(const std::vector<BatchUnit>& units, bool force) {
    if (!terminal_) return;
    const double now = batch_now_s();
    if (!force && now - last_ < kRedrawEvery_s) return;
    last_ = now;
    if (drawn_ > 0) std::fprintf(err_, "\x1b[%dA", drawn_);
    for (const auto& u : units) {
        std::fprintf(err_, "\r%-16.16s %-8.8s %s\x1b[K\n", u.plan->label.c_str(), u.stage.c_str(),
                     state_text(u).c_str());
    }
    drawn_ = static_cast<int>(units.size());
    std::fflush(err_);
}

void BatchView::stage(const BatchUnit& u) {
    if (terminal_) return;
    std::fprintf(err_, "[%s] %s\n", u.plan->label.c_str(), u.stage.c_str());
    std::fflush(err_);
}

void BatchView::finished(const BatchUnit& u) {
    if (terminal_) return;
    std::fprintf(err_, "[%s] %s%s\n", u.plan->label.c_str(),
                 u.ok() ? "ok" : "failed: ", u.ok() ? "" : u.error.c_str());
    std::fflush(err_);
}

}  // namespace kestrel::cli
