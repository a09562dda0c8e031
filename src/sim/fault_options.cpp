#include "sim/fault_options.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kestrel::sim {
namespace {

using Values = std::span<const std::string>;

constexpr std::uint32_t kMaxMicros = 10'000'000;
constexpr std::uint32_t kMaxJitterMs = 60'000;
constexpr std::uint32_t kMaxRxQueue = 65'536;

bool probability(const std::string& text, double& out) {
    char* end = nullptr;
    const double p = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(p >= 0 && p <= 1)) return false;
    out = p;
    return true;
}

template <typename Number>
bool whole(const std::string& text, unsigned long long min, unsigned long long max, Number& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || n < min || n > max) return false;
    out = static_cast<Number>(n);
    return true;
}

template <double LinkFaults::*Field>
bool set_probability(LinkFaults& f, Values v) {
    return probability(v[0], f.*Field);
}

template <std::uint32_t LinkFaults::*Field, std::uint32_t Min, std::uint32_t Max>
bool set_count(LinkFaults& f, Values v) {
    return whole(v[0], Min, Max, f.*Field);
}

bool set_seed(LinkFaults& f, Values v) {
    return whole(v[0], 0, ~0ULL, f.seed);
}

bool set_late_ms(LinkFaults& f, Values v) {
    return parse_late_delay(v[0].c_str(), f);
}

bool set_jitter(LinkFaults& f, Values v) {
    double p = 0;
    std::uint32_t ms = 0;
    if (!probability(v[0], p) || !whole(v[1], 1, kMaxJitterMs, ms)) return false;
    f.reply_jitter = p;
    f.reply_jitter_max_ms = ms;
    return true;
}

constexpr std::string_view kProbability = "takes a probability between 0 and 1";

const Option<LinkFaults> kFaultOptions[] = {
    {{"--seed", "N",
      "the seed of the fault draws (default 1): the same options and seed give "
      "the same faults"},
     1,
     "takes a whole number",
     set_seed},
    {{"--lose-request", "P", "the request is lost before the device sees it"},
     1,
     kProbability,
     set_probability<&LinkFaults::lose_request>},
    {{"--lose-reply", "P", "the request takes effect, its reply is lost"},
     1,
     kProbability,
     set_probability<&LinkFaults::lose_reply>},
    {{"--nak", "P", "the reply's acknowledgement byte is 00h instead of 88h"},
     1,
     kProbability,
     set_probability<&LinkFaults::nak>},
    {{"--late-reply", "P", "the reply leaves late, after --late-ms"},
     1,
     kProbability,
     set_probability<&LinkFaults::late_reply>},
    {{"--late-ms", "MS | MIN-MAX",
      "a late reply leaves MS ms after its request (default 60), or "
      "after a delay drawn uniformly from MIN to MAX ms (e.g. "
      "60-1000)"},
     1,
     "takes MS or MIN-MAX with MIN <= MAX",
     set_late_ms},
    {{"--late-next", "P",
      "of the late replies, the share that leaves when the next request "
      "arrives (just before that request's reply), or after its delay if no "
      "request comes first"},
     1,
     kProbability,
     set_probability<&LinkFaults::late_next>},
    {{"--other-port-reply", "P",
      "the reply leaves from the device's second port; the device "
      "then serves on both"},
     1,
     kProbability,
     set_probability<&LinkFaults::other_port_reply>},
    {{"--foreign", "P", "a datagram from another host address arrives before the reply"},
     1,
     kProbability,
     set_probability<&LinkFaults::foreign_datagram>},
    {{"--dup-reply", "P", "the reply leaves twice, the copy --dup-gap-us after it"},
     1,
     kProbability,
     set_probability<&LinkFaults::dup_reply>},
    {{"--dup-request", "P",
      "the request arrives twice, the copy --dup-gap-us later: the device "
      "acts on both and answers both (a duplicated SPI data write shifts "
      "the page, as on a real network)"},
     1,
     kProbability,
     set_probability<&LinkFaults::dup_request>},
    {{"--dup-gap-us", "N",
      "the gap before a duplicated reply or request, in microseconds "
      "(default 200)"},
     1,
     "takes microseconds, 0 to 10000000",
     set_count<&LinkFaults::dup_gap_us, 0, kMaxMicros>},
};

const Option<LinkFaults> kTimingOptions[] = {
    {{"--reply-delay-us", "N",
      "the device's service time added to every reply, in order (300 "
      "is a typical LAN round trip; default 0)"},
     1,
     "takes microseconds, 0 to 10000000",
     set_count<&LinkFaults::reply_delay_us, 0, kMaxMicros>},
    {{"--reply-jitter", "P MAX_MS",
      "a share P of the replies is held up by a delay drawn up to "
      "MAX_MS ms; later replies leave behind it, in order. Nothing "
      "is lost or duplicated: a busy machine, not a fault"},
     2,
     "takes a probability between 0 and 1 and MAX_MS from 1 to 60000",
     set_jitter},
    {{"--link-delay-us", "N",
      "every datagram travels N us each way, to the device and back; "
      "many can be in flight at once, in order (default 0)"},
     1,
     "takes microseconds, 0 to 10000000",
     set_count<&LinkFaults::link_delay_us, 0, kMaxMicros>},
    {{"--rx-queue", "N",
      "the device serves one request at a time, each for --reply-delay-us, "
      "and drops a request that finds N others waiting, as a small device "
      "would (default: no limit, requests served as they come)"},
     1,
     "takes a count from 1 to 65536",
     set_count<&LinkFaults::rx_queue, 1, kMaxRxQueue>},
};

std::string fixed(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

}  // namespace

std::span<const Option<LinkFaults>> fault_options() {
    return kFaultOptions;
}

std::span<const Option<LinkFaults>> timing_options() {
    return kTimingOptions;
}

OptionMatch offer_link_option(std::span<const std::string> args, std::size_t& i,
                              LinkFaults& faults) {
    OptionMatch match = offer_option(fault_options(), args, i, faults);
    if (match.kind == OptionMatch::Kind::NotMine)
        match = offer_option(timing_options(), args, i, faults);
    return match;
}

std::string fault_args(const LinkFaults& f) {
    std::ostringstream out;
    out << "--seed " << f.seed;
    const std::pair<const char*, double> kinds[] = {
        {"--lose-request", f.lose_request},
        {"--lose-reply", f.lose_reply},
        {"--nak", f.nak},
        {"--late-reply", f.late_reply},
        {"--dup-reply", f.dup_reply},
        {"--dup-request", f.dup_request},
        {"--other-port-reply", f.other_port_reply},
        {"--foreign", f.foreign_datagram},
    };
    for (const auto& [option, p] : kinds) {
        if (p > 0) out << ' ' << option << ' ' << fixed(p);
    }
    if (f.late_reply > 0) {
        out << " --late-ms " << f.late_reply_ms;
        if (f.late_reply_max_ms > f.late_reply_ms) out << '-' << f.late_reply_max_ms;
        if (f.late_next > 0) out << " --late-next " << fixed(f.late_next);
    }
    if (f.dup_reply > 0 || f.dup_request > 0) out << " --dup-gap-us " << f.dup_gap_us;
    return out.str();
}

std::string timing_args(const LinkFaults& f) {
    std::ostringstream out;
    if (f.reply_delay_us > 0) out << " --reply-delay-us " << f.reply_delay_us;
    if (f.reply_jitter > 0 && f.reply_jitter_max_ms > 0)
        out << " --reply-jitter " << fixed(f.reply_jitter) << ' ' << f.reply_jitter_max_ms;
    if (f.link_delay_us > 0) out << " --link-delay-us " << f.link_delay_us;
    if (f.rx_queue > 0) out << " --rx-queue " << f.rx_queue;
    std::string text = out.str();
    return text.empty() ? text : text.substr(1);
}

}  // namespace kestrel::sim
