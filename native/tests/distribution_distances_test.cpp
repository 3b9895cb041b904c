#include "distribution_distances.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velmora::metrics {
namespace {

TEST(KsWasserstein, HandComputed) {
    // x = {1, 2}, y = {2, 3}: at 1: |1/2 - 0| = 1/2; at 2: |1 - 1/2| = 1/2; at 3: 0.
    const std::vector<double> x{1.0, 2.0};
    const std::vector<double> y{2.0, 3.0};
    const KsWasserstein result = ks_wasserstein_sorted(x.data(), 2, y.data(), 2);
    EXPECT_EQ(result.ks, 0.5);
    EXPECT_EQ(result.wasserstein, 1.0);
}

TEST(KsWasserstein, TiesAndIdenticalSamples) {
    const std::vector<double> x{0.0, 0.0, 1.0, 5.0};
    const KsWasserstein same = ks_wasserstein_sorted(x.data(), 4, x.data(), 4);
    EXPECT_EQ(same.ks, 0.0);
    EXPECT_EQ(same.wasserstein, 0.0);
    const std::vector<double> y{10.0};
    const KsWasserstein apart = ks_wasserstein_sorted(x.data(), 4, y.data(), 1);
    EXPECT_EQ(apart.ks, 1.0);
    // Mass moves 10, 10, 9, 5 units: mean 8.5.
    EXPECT_DOUBLE_EQ(apart.wasserstein, 8.5);
}

}  // namespace
}  // namespace velmora::metrics
