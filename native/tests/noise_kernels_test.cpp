#include "noise_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
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
    many.reserve(1000);
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

namespace velmora::noise {
namespace {

// A uniform source that replays a fixed list of numbers.
struct Replay {
    std::vector<double> values;
    std::size_t next = 0;
    static double draw(void* state) {
        auto* self = static_cast<Replay*>(state);
        return self->values[self->next++];
    }
    UniformSource source() { return {this, &Replay::draw}; }
};

TEST(LaplaceDraw, BothHalvesAndRejectsZero) {
    Replay replay{{0.75, 0.25, 0.0, 0.5}};
    UniformSource source = replay.source();
    EXPECT_EQ(laplace_draw(source, 2.0), 0.0 - 2.0 * std::log(2.0 - 0.75 - 0.75));
    EXPECT_EQ(laplace_draw(source, 2.0), 0.0 + 2.0 * std::log(0.25 + 0.25));
    // 0.0 is rejected and the next uniform (0.5) is used.
    EXPECT_EQ(laplace_draw(source, 2.0), 0.0 - 2.0 * std::log(1.0));
    EXPECT_EQ(replay.next, 4u);
}

TEST(AddLaplaceNoise, SkipsMissingRowsAndReportsWholeValues) {
    Replay replay{{0.75, 0.25}};
    std::vector<double> column{1.0, nan, 2.0};
    std::vector<double> out(3);
    EXPECT_FALSE(add_laplace_noise(view(column), replay.source(), 1.0, out.data()));
    EXPECT_EQ(out[0], 1.0 + (0.0 - std::log(0.5)));
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], 2.0 + (0.0 + std::log(0.5)));

    // With scale 0 the noise is 0 and integer values stay whole: pandas would keep int64.
    Replay again{{0.75, 0.25}};
    std::vector<std::int64_t> integers{4, 5};
    EXPECT_TRUE(add_laplace_noise(view(integers), again.source(), 0.0, out.data()));
    EXPECT_EQ(out[0], 4.0);
}

TEST(ChoiceIndices, MatchesSearchsortedRight) {
    std::vector<double> cdf{0.2, 0.5, 0.5, 1.0};
    Replay replay{{0.0, 0.2, 0.4999999, 0.5, 0.75, 0.999999}};
    std::vector<std::int64_t> out(6);
    choice_indices(replay.source(), cdf.data(), cdf.size(), out.size(), out.data());
    EXPECT_EQ(out, (std::vector<std::int64_t>{0, 1, 1, 3, 3, 3}));
}

TEST(ChoiceIndices, AgreesWithUpperBoundOnRandomTables) {
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int table = 0; table < 200; ++table) {
        std::size_t categories = 1 + engine() % 300;
        std::vector<double> cdf(categories);
        double total = 0.0;
        for (double& entry : cdf) {
            total += (engine() % 5 == 0) ? 0.0 : uniform(engine);  // some empty categories
            entry = total;
        }
        if (total == 0.0) continue;
        for (double& entry : cdf) entry /= total;
        cdf.back() = 1.0;
        Replay replay;
        for (int i = 0; i < 500; ++i) replay.values.push_back(uniform(engine));
        for (double edge : cdf) replay.values.push_back(edge < 1.0 ? edge : 0.5);
        std::vector<std::int64_t> out(replay.values.size());
        choice_indices(replay.source(), cdf.data(), categories, out.size(), out.data());
        for (std::size_t i = 0; i < out.size(); ++i) {
            auto expected = std::upper_bound(cdf.begin(), cdf.end(), replay.values[i]) - cdf.begin();
            ASSERT_EQ(out[i], expected) << "table " << table << " draw " << i;
        }
    }
}

TEST(ClipAndRound, SkipsNaN) {
    std::vector<double> values{-3.0, nan, 2.5, 9.0};
    clip_and_round(values.data(), values.size(), true, -1.0, 5.0, true);
    EXPECT_EQ(values[0], -1.0);
    EXPECT_TRUE(std::isnan(values[1]));
    EXPECT_EQ(values[2], 2.0);
    EXPECT_EQ(values[3], 5.0);
}

}  // namespace
}  // namespace velmora::noise
