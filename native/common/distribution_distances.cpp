#include "distribution_distances.hpp"

#include <algorithm>
#include <cmath>

namespace velmora::metrics {

KsWasserstein ks_wasserstein_sorted(const double* x, std::size_t n_x, const double* y, std::size_t n_y) {
    const double size_x = static_cast<double>(n_x);
    const double size_y = static_cast<double>(n_y);
    std::size_t i = 0;
    std::size_t j = 0;
    double ks = 0.0;
    double wasserstein = 0.0;
    // Walk the distinct merged values in ascending order; at each, both empirical
    // distribution functions count every value <= it. Repeated values add gap * 0.
    while (i < n_x || j < n_y) {
        double value;
        if (j >= n_y || (i < n_x && x[i] <= y[j])) {
            value = x[i];
        } else {
            value = y[j];
        }
        while (i < n_x && x[i] <= value) ++i;
        while (j < n_y && y[j] <= value) ++j;
        const double gap = std::abs(static_cast<double>(i) / size_x - static_cast<double>(j) / size_y);
        ks = std::max(ks, gap);
        if (i < n_x || j < n_y) {
            const double next = (j >= n_y || (i < n_x && x[i] <= y[j])) ? x[i] : y[j];
            wasserstein += gap * (next - value);
        }
    }
    return {ks, wasserstein};
}

}  // namespace velmora::metrics
