#include "dense_distances.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace velmora::metrics {
namespace {

std::vector<double> columns_of(const std::vector<double>& rows, std::size_t n_rows, std::size_t n_features) {
    std::vector<double> columns(rows.size());
    for (std::size_t r = 0; r < n_rows; ++r) {
        for (std::size_t f = 0; f < n_features; ++f) columns[f * n_rows + r] = rows[r * n_features + f];
    }
    return columns;
}

TEST(NearestNeighbours, FindsNearestAndBreaksTiesByPosition) {
    // Reference points on a line: 0, 2, 4, 2 (a duplicate of position 1).
    const std::vector<double> reference{0.0, 2.0, 4.0, 2.0};
    const std::vector<double> query{1.9, 3.0, -5.0};
    std::vector<double> distances(6);
    std::vector<std::int64_t> positions(6);
    nearest_neighbours(query.data(), 3, reference.data(), 4, 1, 2, false, 0, 3, distances.data(), positions.data());
    EXPECT_EQ(positions, (std::vector<std::int64_t>{1, 3, 1, 2, 0, 1}));
    EXPECT_DOUBLE_EQ(distances[0], std::sqrt((1.9 - 2.0) * (1.9 - 2.0)));
    EXPECT_DOUBLE_EQ(distances[2], 1.0);
    EXPECT_DOUBLE_EQ(distances[3], 1.0);
    EXPECT_DOUBLE_EQ(distances[5], 7.0);
}

TEST(NearestNeighbours, ExcludeSelfSkipsOwnRowOnly) {
    // Rows 0 and 2 are equal: each other's nearest at distance 0.
    const std::vector<double> rows{0.0, 0.0, 3.0, 4.0, 0.0, 0.0};
    const std::vector<double> columns = columns_of(rows, 3, 2);
    std::vector<double> distances(3);
    std::vector<std::int64_t> positions(3);
    nearest_neighbours(rows.data(), 3, columns.data(), 3, 2, 1, true, 0, 3, distances.data(), positions.data());
    EXPECT_EQ(positions, (std::vector<std::int64_t>{2, 0, 0}));
    EXPECT_EQ(distances, (std::vector<double>{0.0, 5.0, 0.0}));
}

TEST(NearestNeighbours, SpansTilesAndQueryRanges) {
    // More rows than one tile; query only rows [5, 7).
    const std::size_t n = 600;
    std::vector<double> reference(n);
    for (std::size_t i = 0; i < n; ++i) reference[i] = static_cast<double>((i * 37) % n);
    const std::vector<double> query{0.0, 0.0, 0.0, 0.0, 0.0, 599.25, 300.25};
    std::vector<double> distances(7, -1.0);
    std::vector<std::int64_t> positions(7, -1);
    nearest_neighbours(query.data(), 7, reference.data(), n, 1, 1, false, 5, 7, distances.data(), positions.data());
    EXPECT_EQ(distances[4], -1.0);
    EXPECT_EQ(reference[static_cast<std::size_t>(positions[5])], 599.0);
    EXPECT_EQ(reference[static_cast<std::size_t>(positions[6])], 300.0);
    EXPECT_DOUBLE_EQ(distances[6], 0.25);
}

TEST(RbfRowSums, FullAndUpperRows) {
    const std::vector<double> a{0.0, 1.0, 3.0};
    std::vector<double> sums(3);
    rbf_row_sums(a.data(), 3, a.data(), 3, 1, 0.5, false, 0, 3, sums.data());
    EXPECT_EQ(sums[0], ((0.0 + std::exp(-0.0)) + std::exp(-0.5 * 1.0)) + std::exp(-0.5 * 9.0));
    rbf_row_sums(a.data(), 3, a.data(), 3, 1, 0.5, true, 0, 3, sums.data());
    EXPECT_EQ(sums[0], std::exp(-0.5) + std::exp(-4.5));
    EXPECT_EQ(sums[1], std::exp(-2.0));
    EXPECT_EQ(sums[2], 0.0);
}

TEST(RbfRowSums, RowRangeAcrossTilesAndGroups) {
    // 300 points at 0, 1, 2, ...: a range of rows that is not a multiple of the row group
    // and spans two reference tiles.
    const std::size_t n = 300;
    std::vector<double> a(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<double>(i);
    std::vector<double> sums(n, -1.0);
    rbf_row_sums(a.data(), n, a.data(), n, 1, 0.01, true, 3, 262, sums.data());
    EXPECT_EQ(sums[2], -1.0);
    EXPECT_EQ(sums[262], -1.0);
    for (std::size_t i : {std::size_t{3}, std::size_t{255}, std::size_t{261}}) {
        double expected = 0.0;
        for (std::size_t j = i + 1; j < n; ++j) {
            const double diff = a[i] - a[j];
            expected += std::exp(-0.01 * (diff * diff));
        }
        EXPECT_EQ(sums[i], expected) << "row " << i;
    }
}

TEST(SequentialSum, AddsInOrder) {
    const std::vector<double> values{1e16, 1.0, -1e16, 1.0};
    EXPECT_EQ(sequential_sum(values.data(), 4), 1.0);
    EXPECT_EQ(sequential_sum(values.data(), 0), 0.0);
}

}  // namespace
}  // namespace velmora::metrics
