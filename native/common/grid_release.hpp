// The numeric mechanism of velmora.privacy on plain buffers: each value is clipped into
// its column's public bounds and moved to a grid of whole steps; integer noise (Laplace
// or Gaussian noise rounded to whole steps) drawn from 64-bit random words is added; the
// sum is clipped back into the grid and mapped to the column's units. Pure C++: no
// Python objects; the words come from a numpy bit generator through its bitgen_t.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmora::privacy {

// A source of 64-bit random words: numpy's bitgen_t interface (state and next_uint64).
struct WordSource {
    void* state = nullptr;
    std::uint64_t (*next_uint64)(void* state) = nullptr;
};

enum class GridNoise { laplace, gaussian };

// The grid of one column: positions 0, 1, ..., steps, position k standing for the value
// low + k * step. T is double for float columns; for integer columns (int64_t or
// uint64_t) a value's distance from low, d, lies at position d / step.
template <typename T>
struct Grid {
    T low{};
    T high{};
    std::uint64_t steps = 0;
    double step = 0.0;
};

// x rounded to a whole number, half to even (numpy's rint), without a call into libm
// and without branches, so that loops of it vectorise.
inline double round_half_even(double x) {
    constexpr double whole_above = 0x1p52;  // every double from 2^52 on is whole
    const double magnitude = std::fabs(x);
    const double rounded = std::copysign((magnitude + whole_above) - whole_above, x);
    return magnitude < whole_above ? rounded : x;
}

// x (0 <= x < 2^52) rounded to a whole number, half to even, as round_half_even does.
inline double round_small(double x) {
    constexpr double whole_above = 0x1p52;
    return (x + whole_above) - whole_above;
}

// position clipped into [0, steps] (as np.clip does it for a number that is not NaN).
inline double keep_in_grid(double position, double steps) {
    return std::min(std::max(position, 0.0), steps);
}

// A noise word's uniform number in (0, 1]: with a = word >> 11 (53 bits), the midpoint
// (a + 0.5) 2^-53 of a's cell when a >= 2^45; below that, where those cells grow coarse
// relative to the value, the cell is split by a second, refinement word r:
// (a + ((r >> 11) + 0.5) 2^-53) 2^-53. Values near 0 so keep a relative precision of
// 2^-45 or better down to 2^-61, where a 53-bit uniform runs out: the far tails of the
// noise are drawn as finely as its middle.
inline constexpr std::uint64_t refinement_below = std::uint64_t{1} << 45;
inline bool needs_refinement(std::uint64_t word) {
    return (word >> 11) < refinement_below;
}
double noise_uniform(std::uint64_t word, std::uint64_t refinement);

// A position in [0, steps] from one word: (word * (steps + 1)) >> 64.
double fill_position(std::uint64_t word, std::uint64_t steps);

// The grid position of a value clipped into [low, high]: its distance from low times
// 1 / step, rounded half to even and kept within [0, steps]; for an integer column the
// distance is exact (unsigned arithmetic) and, when step is 1, the position itself.
// Float values must not be NaN. With steps == 0 every position is 0.
template <typename T>
inline double grid_position(T value, const Grid<T>& grid) {
    const T clipped = std::min(std::max(value, grid.low), grid.high);
    double offset = 0.0;
    if constexpr (std::is_floating_point_v<T>) {
        offset = clipped - grid.low;
    } else {
        offset = static_cast<double>(static_cast<std::uint64_t>(clipped) - static_cast<std::uint64_t>(grid.low));
        if (grid.step == 1.0) return offset;
    }
    // The distance is at most (high - low) / step = steps (a grid has at most 2^20), so
    // the rounding needs no guard for large numbers.
    return keep_in_grid(round_small(offset * (1.0 / grid.step)), static_cast<double>(grid.steps));
}

// The value at a position in [0, steps]: low + position * step clipped into [low,
// high]; for an integer column low + round(position * step) (position itself when step
// is 1), exact, at most high.
template <typename T>
inline T grid_value(double position, const Grid<T>& grid) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::min(std::max(position * grid.step + grid.low, grid.low), grid.high);
    } else {
        const std::uint64_t span = static_cast<std::uint64_t>(grid.high) - static_cast<std::uint64_t>(grid.low);
        double distance = grid.step == 1.0 ? position : round_half_even(position * grid.step);
        // Only a span beyond 2^53, where doubles are 2 or more apart, can round past it.
        const std::uint64_t whole = distance >= 0x1p64 ? span : static_cast<std::uint64_t>(distance);
        return static_cast<T>(static_cast<std::uint64_t>(grid.low) + std::min(whole, span));
    }
}

// How many noise words `cells` cells take: 1 per cell for Laplace (bit 0 its sign, the
// rest its uniform), 2 per pair of cells for Gaussian (Box-Muller: the radius's uniform,
// then the angle's; an odd last cell takes a whole pair's).
std::size_t noise_words(GridNoise noise, std::size_t cells);

// The noise of `cells` cells, in whole steps: Laplace of scale `scale` (sign times
// -log u), or Gaussian of that standard deviation, each rounded half to even. `words`
// are the cells' noise words; `refinements` the refinement words of those that need one,
// in order (as many as needs_refinement counts among the radius or Laplace words).
void noise_steps(GridNoise noise, double scale, const std::uint64_t* words, std::size_t cells,
                 const std::uint64_t* refinements, double* out);

// The cells per block: a block's words are drawn together, and one thread transforms it.
inline constexpr std::size_t block_cells = std::size_t{1} << 16;

// Releases a column of `size` cells into `out`: out[i] = grid_value(clamp(p_i + z_i, 0,
// steps)), z_i the noise of cell i and p_i the grid position of values[i] or, for a
// missing cell (a NaN value, or missing[i] != 0 when `missing` is given), the
// fill_position of the cell's fill word. Words are drawn from `source` block by block, in
// this order: the block's noise words; one fill word per cell of the block when the
// column has a missing cell anywhere; the block's refinement words. The calling thread
// draws while up to `threads` - 1 others transform the blocks drawn so far, then
// transforms too. `scale` is in steps; with steps == 0 nothing is drawn and every cell
// takes low.
template <typename T>
void release_on_grid(const T* values, const std::uint8_t* missing, std::size_t size, const Grid<T>& grid,
                     GridNoise noise, double scale, const WordSource& source, std::size_t threads, T* out);

}  // namespace velmora::privacy
