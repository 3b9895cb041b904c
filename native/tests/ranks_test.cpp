#include "ranks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmora::metrics {
namespace {

TEST(FiniteArgsort, StableWithNonFiniteLast) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> values{2.0, nan, -0.0, 0.0, -inf, -3.5, 2.0, inf};
    std::vector<std::int64_t> order(values.size());
    EXPECT_EQ(finite_argsort(values.data(), values.size(), order.data()), 5U);
    EXPECT_EQ(order, (std::vector<std::int64_t>{5, 2, 3, 0, 6, 1, 4, 7}));
}

TEST(AverageRanks, TiesShareTheirMeanAmongKeptRows) {
    const std::vector<double> values{5.0, 1.0, 5.0, 3.0, 5.0};
    const std::vector<std::int64_t> order{1, 3, 0, 2, 4};
    std::vector<double> ranks(5, -1.0);
    average_ranks(values.data(), order.data(), 5, nullptr, ranks.data());
    EXPECT_EQ(ranks, (std::vector<double>{4.0, 1.0, 4.0, 2.0, 4.0}));
    const std::vector<std::uint8_t> keep{1, 0, 1, 1, 0};
    std::fill(ranks.begin(), ranks.end(), -1.0);
    average_ranks(values.data(), order.data(), 5, keep.data(), ranks.data());
    EXPECT_EQ(ranks, (std::vector<double>{2.5, -1.0, 2.5, 1.0, -1.0}));
}

}  // namespace
}  // namespace velmora::metrics
