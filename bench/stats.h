// Per-exchange timing samples and their summary.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestrel::bench {

struct Summary {
    double median_us = 0;
    double p99_us = 0;
    double mean_us = 0;
};

inline Summary summarize(std::vector<double> us) {
    Summary s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.median_us = us[us.size() / 2];
    s.p99_us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    double sum = 0;
    for (double v : us)
        sum += v;
    s.mean_us = sum / static_cast<double>(us.size());
    return s;
}

}  // namespace kestrel::bench
