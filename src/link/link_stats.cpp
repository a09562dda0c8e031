#include "link/link_stats.h"

#include "link/link_counters.h"

namespace kestrel {
namespace link_detail {

Counters& counters() {
    static Counters c;
    return c;
}

}  // namespace link_detail

LinkStats link_stats() {
    const link_detail::Counters& c = link_detail::counters();
    LinkStats st;
    st.exchanges = c.exchanges.load();
    st.unacknowledged = c.unacknowledged.load();
    st.stale_discarded = c.stale_discarded.load();
    st.foreign_dropped = c.foreign_dropped.load();
    st.spin_caught = c.spin_caught.load();
    st.silent = c.silent.load();
    st.missing = c.missing.load();
    st.naks = c.naks.load();
    st.unfitting_dropped = c.unfitting_dropped.load();
    st.late_replies = c.late_replies.load();
    st.duplicates = c.duplicates.load();
    st.resyncs = c.resyncs.load();
    st.nudges = c.nudges.load();
    st.window_runs = c.window_runs.load();
    st.window_breaks = c.window_breaks.load();
    st.window_halvings = c.window_halvings.load();
    st.exchange_ns = c.exchange_ns.load();
    st.timeout_ns = c.timeout_ns.load();
    st.drain_ns = c.drain_ns.load();
    return st;
}

LinkStats link_stats_since(const LinkStats& a, const LinkStats& b) {
    LinkStats d;
    d.exchanges = b.exchanges - a.exchanges;
    d.unacknowledged = b.unacknowledged - a.unacknowledged;
    d.stale_discarded = b.stale_discarded - a.stale_discarded;
    d.foreign_dropped = b.foreign_dropped - a.foreign_dropped;
    d.spin_caught = b.spin_caught - a.spin_caught;
    d.silent = b.silent - a.silent;
    d.missing = b.missing - a.missing;
    d.naks = b.naks - a.naks;
    d.unfitting_dropped = b.unfitting_dropped - a.unfitting_dropped;
    d.late_replies = b.late_replies - a.late_replies;
    d.duplicates = b.duplicates - a.duplicates;
    d.resyncs = b.resyncs - a.resyncs;
    d.nudges = b.nudges - a.nudges;
    d.window_runs = b.window_runs - a.window_runs;
    d.window_breaks = b.window_breaks - a.window_breaks;
    d.window_halvings = b.window_halvings - a.window_halvings;
    d.exchange_ns = b.exchange_ns - a.exchange_ns;
    d.timeout_ns = b.timeout_ns - a.timeout_ns;
    d.drain_ns = b.drain_ns - a.drain_ns;
    return d;
}

}  // namespace kestrel
