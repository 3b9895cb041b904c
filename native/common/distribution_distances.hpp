// Distances between two one-dimensional samples: the two-sample Kolmogorov-Smirnov
// statistic and the 1-Wasserstein distance, from one merge of the sorted samples. Pure
// C++ on plain pointers, with the operation order of the plain numpy computation.
#pragma once

#include <cstddef>

namespace velmora::metrics {

struct KsWasserstein {
    double ks;           // max over the merged sample of |F_x - F_y|
    double wasserstein;  // sum of |F_x - F_y| times the gap to the next merged value
};

// Both statistics of two ascending samples without NaN (n_x, n_y >= 1). F_x(v) is
// (number of x <= v) / n_x; the Wasserstein sum runs over the merged values in
// ascending order and is accumulated in that order from 0.0.
KsWasserstein ks_wasserstein_sorted(const double* x, std::size_t n_x, const double* y, std::size_t n_y);

}  // namespace velmora::metrics
