// Small pieces the benchmark programs share: the machine's load average, printed beside the figures (other
// work on the same cores stretches every wall time), and the spread of a set of timed iterations.
#pragma once

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// The one-minute load average ("unknown" where the system does not say).
inline std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one_minute;
    in >> one_minute;
    return one_minute.empty() ? std::string("unknown") : one_minute;
}

// The median of a set of times and the range of its middle half (first and third quartiles).
struct SPREAD {
    double median = 0, low = 0, high = 0;
    size_t count = 0;
};

inline SPREAD spread(std::vector<double> all) {
    SPREAD s;
    s.count = all.size();
    if (all.empty())
        return s;
    std::sort(all.begin(), all.end());
    s.median = all[all.size() / 2];
    s.low = all[all.size() / 4];
    s.high = all[(all.size() * 3) / 4];
    return s;
}

} // namespace bench
