#include "adjust.h"

#include <algorithm>
#include <cmath>
#include <vector>

void bh_adjust(const double *p, size_t n, double *adjusted)
{
    std::vector<size_t> order;
    order.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        adjusted[i] = NAN;
        if (!std::isnan(p[i]))
            order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [p](size_t a, size_t b) { return p[a] > p[b]; });
    const double m = static_cast<double>(order.size());
    double running = INFINITY;
    for (size_t k = 0; k < order.size(); ++k) {
        const double rank = static_cast<double>(order.size() - k);
        const double scaled = m / rank * p[order[k]];
        running = std::min(running, scaled);
        adjusted[order[k]] = std::min(1.0, running);
    }
}
