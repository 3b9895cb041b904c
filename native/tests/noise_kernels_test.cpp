#include "noise_kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmora::noise {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

template <typename T>
ColumnView<T> view(const std::vector<T>& values, std::ptrdiff_t stride = 1) {
    return {values.data(), values.size() / static_cast<std::size_t>(stride), stride};
}

TEST(Summarize, SkipsMissingAndTracksRangeAndWholeness) {
    std::vector<double> values{nan, 3.0, -2.0, nan, 7.0};
    ColumnSummary<double> summary = summarize(view(values));
    EXPECT_EQ(summary.present, 3u);
    EXPECT_EQ(summary.min, -2.0);
    EXPECT_EQ(summary.max, 7.0);
    EXPECT_TRUE(summary.whole);
    EXPECT_TRUE(summary.finite);

    values[1] = 3.5;
    EXPECT_FALSE(summarize(view(values)).whole);
    values[1] = -inf;
    summary = summarize(view(values));
    EXPECT_FALSE(summary.finite);
    EXPECT_FALSE(summary.whole);
    EXPECT_EQ(summary.min, -inf);
}

TEST(Summarize, AllMissingAndIntegers) {
    std::vector<double> empty{nan, nan};
    EXPECT_EQ(summarize(view(empty)).present, 0u);
    std::vector<std::int64_t> integers{5, -9, 12};
    ColumnSummary<std::int64_t> summary = summarize(view(integers));
    EXPECT_EQ(summary.present, 3u);
    EXPECT_EQ(summary.min, -9);
    EXPECT_EQ(summary.max, 12);
    EXPECT_TRUE(summary.whole);
}

TEST(Summarize, FollowsTheStride) {
    // Every other element belongs to the column: 1, 4, 2.
    std::vector<float> interleaved{1.0f, 100.0f, 4.0f, 100.0f, 2.5f, 100.0f};
    ColumnSummary<float> summary = summarize(view(interleaved, 2));
    EXPECT_EQ(summary.present, 3u);
    EXPECT_EQ(summary.max, 4.0f);
    EXPECT_FALSE(summary.whole);
}

TEST(GatherPresent, KeepsOrder) {
    std::vector<double> values{nan, 1.5, nan, -4.0, 2.0};
    std::vector<double> out(3);
    gather_present(view(values), out.data());
    EXPECT_EQ(out, (std::vector<double>{1.5, -4.0, 2.0}));
}

TEST(ScatterNoisy, ClipsRoundsAndKeepsMissing) {
    std::vector<std::int32_t> column{10, 20, 30, 40};
    std::vector<double> noisy{2.5, 3.5, -100.0, 100.0};
    std::vector<double> out(4);
    scatter_noisy(view(column), noisy.data(), true, 0.0, 50.0, true, out.data());
    EXPECT_EQ(out, (std::vector<double>{2.0, 4.0, 0.0, 50.0}));

    std::vector<double> with_missing{nan, 1.0, nan};
    std::vector<double> noise{nan, 0.0};
    std::vector<double> result(3);
    scatter_noisy(view(with_missing), noise.data(), true, -1.0, 1.0, false, result.data());
    EXPECT_TRUE(std::isnan(result[0]));
    EXPECT_TRUE(std::isnan(result[1]));  // a NaN noisy value is not clipped
    EXPECT_TRUE(std::isnan(result[2]));

    std::vector<double> single{5.0};
    std::vector<double> far{-0.5};
    std::vector<double> unclipped(1);
    scatter_noisy(view(single), far.data(), false, 0.0, 1.0, true, unclipped.data());
    EXPECT_EQ(unclipped[0], 0.0);
    EXPECT_TRUE(std::signbit(unclipped[0]));  // rint(-0.5) is -0.0
}

TEST(HoldsLosslessly, IntegersAndFloat32) {
    std::vector<double> whole{1.0, -3.0, 9007199254740992.0};
    EXPECT_TRUE(holds_losslessly<std::int64_t>(whole.data(), whole.size()));
    EXPECT_FALSE(holds_losslessly<std::int32_t>(whole.data(), whole.size()));
    std::vector<double> edge{-9223372036854775808.0};
    EXPECT_TRUE(holds_losslessly<std::int64_t>(edge.data(), 1));
    edge[0] = 9223372036854775808.0;
    EXPECT_FALSE(holds_losslessly<std::int64_t>(edge.data(), 1));
    std::vector<double> fractional{1.0, 1.25, nan};
    EXPECT_FALSE(holds_losslessly<std::int64_t>(fractional.data(), 2));
    EXPECT_TRUE(holds_losslessly<float>(fractional.data(), 3));
    std::vector<double> tenth{0.1};
    EXPECT_FALSE(holds_losslessly<float>(tenth.data(), 1));
}

TEST(CountDistinctCapped, StopsAtTheCapAndMergesSignedZero) {
    std::vector<double> values{0.0, -0.0, nan, 1.0, 1.0, 2.0};
    EXPECT_EQ(count_distinct_capped(view(values), 11), 3u);
    EXPECT_EQ(count_distinct_capped(view(values), 2), 2u);
    std::vector<std::int64_t> many;
    for (std::int64_t i = 0; i < 1000; ++i) many.push_back(i % 37);
    EXPECT_EQ(count_distinct_capped(view(many), 11), 11u);
    EXPECT_EQ(count_distinct_capped(view(many), 64), 37u);
}

TEST(AddNoise, WidensToDouble) {
    std::vector<std::int64_t> column{1, 2};
    std::vector<double> noise{0.25, -0.5};
    std::vector<double> out(2);
    add_noise(view(column), noise.data(), out.data());
    EXPECT_EQ(out, (std::vector<double>{1.25, 1.5}));
    std::vector<float> floats{0.1f};
    add_noise(view(floats), noise.data(), out.data());
    EXPECT_EQ(out[0], static_cast<double>(0.1f) + 0.25);
}

TEST(PositionsBelow, StrictComparison) {
    std::vector<double> uniform{0.01, 0.05, 0.2, 0.049};
    std::vector<std::int64_t> positions(4);
    EXPECT_EQ(positions_below(uniform.data(), 4, 0.05, positions.data()), 2u);
    EXPECT_EQ(positions[0], 0);
    EXPECT_EQ(positions[1], 3);
    EXPECT_EQ(positions_below(uniform.data(), 4, nan, positions.data()), 0u);
}

}  // namespace
}  // namespace velmora::noise
