#include "coded_neighbours.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace velmora::metrics {
namespace {

TEST(CodedNearestNeighbours, CountsADifferingCodeAsTwoIndicatorsAndRanksTiesByPosition) {
    // One number and one category code per row; half = 0.5, so a differing code adds 1.
    const std::vector<std::uint8_t> categorical{0, 1};
    const CodedSpace space{.categorical = categorical.data(), .n_features = 2, .half = 0.5};
    // 20 rows: number i, code i % 3 (beyond one block of eight rows).
    std::vector<double> reference;
    for (int i = 0; i < 20; ++i) {
        reference.push_back(static_cast<double>(i));
        reference.push_back(static_cast<double>(i % 3));
    }
    const CodedReference prepared(reference.data(), 20, space);
    // Query 4.5 with code 1: rows 4 (code 1, d2 0.25) and 5 (code 2, d2 1.25), row 3
    // (code 0, d2 3.25) and row 6 (code 0, d2 3.25): the tie goes to row 3.
    const std::vector<double> query{4.5, 1.0};
    const std::vector<std::int64_t> order{0};
    std::vector<double> distances(4);
    std::vector<std::int64_t> positions(4);
    coded_nearest_neighbours(query.data(), order.data(), 0, 1, prepared, 4, distances.data(), positions.data());
    EXPECT_EQ(positions, (std::vector<std::int64_t>{4, 5, 3, 6}));
    EXPECT_EQ(distances[0], 0.5);
    EXPECT_EQ(distances[2], std::sqrt(3.25));
}

}  // namespace
}  // namespace velmora::metrics
