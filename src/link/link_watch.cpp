#include "link/link_watch.h"

namespace kestrel {
namespace {

thread_local LinkWatch* t_innermost_watch = nullptr;
thread_local ExchangeStatus t_last_status = ExchangeStatus::NoLink;

}  // namespace

LinkWatch::LinkWatch() : outer_(t_innermost_watch) {
    t_innermost_watch = this;
}

LinkWatch::~LinkWatch() {
    t_innermost_watch = outer_;
}

void note_exchange(const ExchangeResult& exchange) {
    t_last_status = exchange.status;
    const ExchangeStatus status = exchange.status;
    const bool silent = status == ExchangeStatus::NoReply || status == ExchangeStatus::NoLink;
    for (LinkWatch* w = t_innermost_watch; w != nullptr; w = w->outer_) {
        ++w->exchanges_;
        if (status != ExchangeStatus::Clean) ++w->unclean_;
        if (exchange.strays.any()) ++w->anomalies_;
        if (silent) {
            ++w->silent_;
            ++w->silent_run_;
        } else {
            w->silent_run_ = 0;
        }
    }
}

void note_anomaly() {
    for (LinkWatch* w = t_innermost_watch; w != nullptr; w = w->outer_)
        ++w->anomalies_;
}

ExchangeStatus last_exchange_status() {
    return t_last_status;
}

}  // namespace kestrel
