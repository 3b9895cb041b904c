#include "grid_release.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace velmora::privacy {
namespace {

// A word source for the tests: std::mt19937_64 behind bitgen_t's interface.
std::uint64_t next_word(void* state) {
    return (*static_cast<std::mt19937_64*>(state))();
}

TEST(RoundHalfEven, MatchesNearbyint) {
    for (double x : {0.5, 1.5, 2.5, -0.5, -1.5, 0.49999999999999994, 3.7, -3.7, 4503599627370495.5, 0x1p52 + 1.0, 1e300,
                     -1e300, std::numeric_limits<double>::infinity(), -0.0}) {
        EXPECT_EQ(round_half_even(x), std::nearbyint(x)) << x;
        EXPECT_EQ(std::signbit(round_half_even(x)), std::signbit(std::nearbyint(x))) << x;
    }
}

TEST(NoiseUniform, RefinesSmallWordsAndStaysInsideTheUnitInterval) {
    // Above 2^52 a cell's midpoint rounds to an even neighbour: 1.0 at the very top.
    EXPECT_EQ(noise_uniform(~std::uint64_t{0}, 0), 1.0);
    EXPECT_EQ(noise_uniform(std::uint64_t{1} << 63, 12345), 0.5);
    EXPECT_FALSE(needs_refinement(refinement_below << 11));
    EXPECT_TRUE(needs_refinement((refinement_below - 1) << 11));
    // Below 2^-8 of the word range the refinement word splits the cell: the smallest
    // uniform is 2^-107 (a Laplace magnitude of 74), where a 53-bit one stops at 2^-53.
    EXPECT_EQ(noise_uniform(0, 0), 0x1p-107);
    EXPECT_GT(-std::log(noise_uniform(0, 0)), 73.0);
    EXPECT_NE(noise_uniform(5 << 11, 0), noise_uniform(5 << 11, ~std::uint64_t{0}));
    EXPECT_EQ(noise_uniform(refinement_below << 11, 0), noise_uniform(refinement_below << 11, ~std::uint64_t{0}));
}

TEST(FillPosition, CoversTheWholeGrid) {
    EXPECT_EQ(fill_position(0, 1000), 0.0);
    EXPECT_EQ(fill_position(~std::uint64_t{0}, 1000), 1000.0);
    EXPECT_EQ(fill_position(std::uint64_t{1} << 63, 1000), 500.0);
}

TEST(Grid, IntegerColumnsKeepWholeNumbersAcrossTheFullRange) {
    const Grid<std::int64_t> full{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                                  std::uint64_t{1} << 20, 0x1p64 / 0x1p20};
    EXPECT_EQ(grid_position(full.low, full), 0.0);
    EXPECT_EQ(grid_position(full.high, full), 0x1p20);
    EXPECT_EQ(grid_value(0.0, full), full.low);
    EXPECT_EQ(grid_value(0x1p20, full), full.high);
    EXPECT_EQ(grid_value(0x1p19, full), 0);
    const Grid<std::uint64_t> unsigned_full{0, std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 20,
                                            0x1p64 / 0x1p20};
    EXPECT_EQ(grid_value(0x1p20, unsigned_full), unsigned_full.high);
    const Grid<std::int64_t> months{1, 12, 11, 1.0};
    EXPECT_EQ(grid_position(std::int64_t{-7}, months), 0.0);
    EXPECT_EQ(grid_position(std::int64_t{7}, months), 6.0);
    EXPECT_EQ(grid_value(6.0, months), 7);
}

TEST(Grid, FloatValuesStayInsideTheBounds) {
    const Grid<double> grid{-0.1, 0.3, std::uint64_t{1} << 20, 0.4 / 0x1p20};
    EXPECT_EQ(grid_position(-5.0, grid), 0.0);
    EXPECT_EQ(grid_position(std::numeric_limits<double>::infinity(), grid), 0x1p20);
    EXPECT_EQ(grid_value(0.0, grid), -0.1);
    EXPECT_LE(grid_value(0x1p20, grid), 0.3);
}

// The column released cell by cell from one stream of words drawn in the documented
// order, with the kernel's own pieces.
std::vector<double> sequential(const std::vector<double>& values, const Grid<double>& grid, GridNoise noise,
                               double scale, std::mt19937_64 words) {
    bool fill = false;
    for (double value : values) fill = fill || std::isnan(value);
    std::vector<double> out;
    for (std::size_t first = 0; first < values.size(); first += block_cells) {
        const std::size_t cells = std::min(block_cells, values.size() - first);
        std::vector<std::uint64_t> noise_words_of(noise_words(noise, cells));
        for (auto& word : noise_words_of) word = words();
        std::vector<std::uint64_t> fill_words(fill ? cells : 0);
        for (auto& word : fill_words) word = words();
        std::vector<std::uint64_t> refinements;
        const std::size_t stride = noise == GridNoise::laplace ? 1 : 2;
        for (std::size_t w = 0; w < noise_words_of.size(); w += stride) {
            if (needs_refinement(noise_words_of[w])) refinements.push_back(0);
        }
        for (auto& word : refinements) word = words();
        std::vector<double> drawn(cells);
        noise_steps(noise, scale, noise_words_of.data(), cells, refinements.data(), drawn.data());
        for (std::size_t i = 0; i < cells; ++i) {
            const double value = values[first + i];
            const double position =
                std::isnan(value) ? fill_position(fill_words[i], grid.steps) : grid_position(value, grid);
            out.push_back(grid_value(keep_in_grid(position + drawn[i], static_cast<double>(grid.steps)), grid));
        }
    }
    return out;
}

TEST(ReleaseOnGrid, EveryThreadCountGivesTheSequentialResult) {
    // More blocks than the ring holds, an odd remainder and missing values.
    std::mt19937_64 make(7);
    std::normal_distribution<double> normal(0.0, 2.0);
    std::vector<double> values(11 * block_cells + 3);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = i % 97 == 0 ? std::nan("") : normal(make);
    const Grid<double> grid{-3.0, 3.0, std::uint64_t{1} << 20, 6.0 / 0x1p20};
    for (GridNoise noise : {GridNoise::laplace, GridNoise::gaussian}) {
        const std::vector<double> expected = sequential(values, grid, noise, 0x1p20 / 0.5, std::mt19937_64(42));
        for (std::size_t threads : {1, 2, 5}) {
            std::mt19937_64 state(42);
            std::vector<double> out(values.size());
            release_on_grid(values.data(), nullptr, values.size(), grid, noise, 0x1p20 / 0.5,
                            WordSource{&state, next_word}, threads, out.data());
            EXPECT_EQ(out, expected) << threads;
        }
    }
}

TEST(ReleaseOnGrid, AnEmptyGridGivesLowAndDrawsNothing) {
    std::mt19937_64 state(1);
    const std::mt19937_64 untouched = state;
    const std::vector<std::int64_t> values{4, 9, -2};
    std::vector<std::int64_t> out(values.size());
    release_on_grid(values.data(), nullptr, values.size(), Grid<std::int64_t>{5, 5, 0, 1.0}, GridNoise::laplace, 1.0,
                    WordSource{&state, next_word}, 2, out.data());
    EXPECT_EQ(out, (std::vector<std::int64_t>{5, 5, 5}));
    EXPECT_TRUE(state == untouched);
}

}  // namespace
}  // namespace velmora::privacy
