// Pinning the benchmark and its helper processes to CPUs, so that a compared pair of rows meets
// the same placement: both ends on one CPU, or each on its own.
#pragma once

#include <sched.h>

namespace kestrel::bench {

// Number of CPUs this process may run on.
int usable_cpus();

// Pins the calling process (every thread it starts later, and every child it forks later) to
// one CPU while alive, and restores the previous set afterwards. pinned() is false when the
// CPU is not available; nothing changes then.
class CpuPin {
  public:
    explicit CpuPin(int cpu);
    ~CpuPin();
    CpuPin(const CpuPin&) = delete;
    CpuPin& operator=(const CpuPin&) = delete;
    bool pinned() const { return pinned_; }

  private:
    cpu_set_t previous_{};
    bool pinned_ = false;
};

// For a forked child before it execs: pins it to cpu (cpu < 0: leaves it alone).
void pin_this_process(int cpu);

}  // namespace kestrel::bench
