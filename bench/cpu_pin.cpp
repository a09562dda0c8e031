#include "cpu_pin.h"

namespace kestrel::bench {

int usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return CPU_COUNT(&set);
}

CpuPin::CpuPin(int cpu) {
    if (sched_getaffinity(0, sizeof previous_, &previous_) != 0) return;
    if (cpu < 0 || !CPU_ISSET(cpu, &previous_)) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
}

CpuPin::~CpuPin() {
    if (pinned_) sched_setaffinity(0, sizeof previous_, &previous_);
}

void pin_this_process(int cpu) {
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

}  // namespace kestrel::bench
