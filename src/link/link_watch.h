// Counts the exchanges the constructing thread makes while the watch lives, so that a caller
// can tell a span of exchanges that came out clean from one that did not. Watches nest; each
// sees every exchange of its thread made during its life. Not shared between threads.
#pragma once

#include "link/exchange.h"

namespace kestrel {

class LinkWatch {
  public:
    LinkWatch();
    ~LinkWatch();
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;

    int exchanges() const { return exchanges_; }
    int unclean() const { return unclean_; }  // every status but Clean
    int silent() const { return silent_; }    // NoReply and NoLink
    // Silent exchanges in a row at the end of what the watch saw (0 after one with a reply).
    int silent_run() const { return silent_run_; }
    // Stray datagrams the link found while the watch lived, also around exchanges that came
    // out clean: the data of the span is suspect.
    int anomalies() const { return anomalies_; }
    bool clean() const { return unclean_ == 0 && anomalies_ == 0; }

  private:
    friend void note_exchange(const ExchangeResult& exchange);
    friend void note_anomaly();
    int exchanges_ = 0;
    int anomalies_ = 0;
    int unclean_ = 0;
    int silent_ = 0;
    int silent_run_ = 0;
    LinkWatch* outer_ = nullptr;
};

// The transport reports each exchange (and each probe) to the calling thread's watches.
void note_exchange(const ExchangeResult& exchange);

// Stray datagrams outside an exchange (a probe's) for the calling thread's watches.
void note_anomaly();

// The status of the calling thread's last read_reg or write_reg.
[[nodiscard]] ExchangeStatus last_exchange_status();

}  // namespace kestrel
