#include "sim/faults.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestrel::sim {

bool parse_late_delay(const char* text, LinkFaults& faults) {
    if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    unsigned low = 0, high = 0;
    char tail = 0;
    const int n = std::sscanf(text, "%u-%u%c", &low, &high, &tail);
    if (n == 2 && low <= high) {
        const char* dash = std::strchr(text, '-');
        if (!std::isdigit(static_cast<unsigned char>(dash[1]))) return false;
        faults.late_reply_ms = low;
        faults.late_reply_max_ms = high;
        return true;
    }
    if (n == 1 && std::sscanf(text, "%u%c", &low, &tail) == 1) {
        faults.late_reply_ms = low;
        faults.late_reply_max_ms = 0;
        return true;
    }
    return false;
}

void FaultInjector::configure(const LinkFaults& faults) {
    faults_ = faults;
    rng_.seed(faults.seed);
}

bool FaultInjector::chance(double p) {
    return p > 0 && (p >= 1 || uniform_(rng_) < p);
}

std::uint32_t FaultInjector::late_delay_ms() {
    const std::uint32_t low = faults_.late_reply_ms;
    const std::uint32_t high = faults_.late_reply_max_ms;
    if (high <= low) return low;
    return std::uniform_int_distribution<std::uint32_t>(low, high)(rng_);
}

std::uint32_t FaultInjector::jitter_us() {
    if (faults_.reply_jitter_max_ms == 0 || !chance(faults_.reply_jitter)) return 0;
    return std::uniform_int_distribution<std::uint32_t>(1,
                                                        faults_.reply_jitter_max_ms * 1000)(rng_);
}

FaultDraw FaultInjector::draw() {
    FaultDraw d;
    if (!faults_.any()) {
        d.jitter_us = jitter_us();
        return d;
    }
    d.lose_request = chance(faults_.lose_request);
    d.lose_reply = chance(faults_.lose_reply);
    d.nak = chance(faults_.nak);
    d.late = chance(faults_.late_reply);
    if (d.late) {
        d.late_ms = late_delay_ms();
        d.late_next = chance(faults_.late_next);
    }
    d.other_port = chance(faults_.other_port_reply);
    d.foreign = chance(faults_.foreign_datagram);
    d.dup = chance(faults_.dup_reply);
    d.dup_request = chance(faults_.dup_request);
    d.jitter_us = jitter_us();  // drawn last: the fault draws stay as they were without it
    return d;
}

}  // namespace kestrel::sim
