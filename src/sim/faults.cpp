#include "sim/faults.h"

namespace kestrel::sim {

void FaultInjector::configure(const LinkFaults& faults) {
    faults_ = faults;
    rng_.seed(faults.seed);
}

bool FaultInjector::chance(double p) {
    return p > 0 && (p >= 1 || uniform_(rng_) < p);
}

FaultDraw FaultInjector::draw() {
    FaultDraw d;
    if (!faults_.any()) return d;
    d.lose_request = chance(faults_.lose_request);
    d.lose_reply = chance(faults_.lose_reply);
    d.nak = chance(faults_.nak);
    d.late = chance(faults_.late_reply);
    d.other_port = chance(faults_.other_port_reply);
    d.foreign = chance(faults_.foreign_datagram);
    d.dup = chance(faults_.dup_reply);
    return d;
}

}  // namespace kestrel::sim
