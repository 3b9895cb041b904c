// Single-pass kernels for the noise processor's per-column work on numeric buffers.
// Pure C++: plain pointers, lengths and strides (in elements), no Python objects. Each
// kernel computes exactly what the equivalent numpy/pandas operations compute, so the
// module's fast path and its plain pandas path give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::noise {

// A column of `size` values of type T, `stride` elements apart. Floating-point NaN
// marks a missing value; integer columns have none.
template <typename T>
struct ColumnView {
    using value_type = T;
    const T* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;
    const T& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

// What the numerical perturbation needs to know of a column's non-missing values.
template <typename T>
struct ColumnSummary {
    std::size_t present = 0;  // non-missing values
    T min{};                  // smallest and largest of them (meaningless when present == 0)
    T max{};
    bool whole = true;   // every one is a whole number (np.mod(v, 1) == 0)
    bool finite = true;  // none is infinite
};

template <typename T>
ColumnSummary<T> summarize(ColumnView<T> column);

// Copies the non-missing values, in order, to `out` (room for summary.present values).
template <typename T>
void gather_present(ColumnView<T> column, T* out);

// The column after noise: missing rows stay NaN; the k-th non-missing row takes
// noisy[k], clipped to [lower, upper] when `clip` (a NaN noisy value stays NaN, as
// pandas' clip leaves missing values), then rounded half to even when `round`.
template <typename T>
void scatter_noisy(ColumnView<T> column, const double* noisy, bool clip, double lower, double upper, bool round,
                   double* out);

// Whether pandas could store every value of `values` in a column of type T without
// loss (it then keeps T instead of turning the column into float64): for integers,
// every value whole and in range; for float32, every value exactly representable or NaN.
template <typename T>
bool holds_losslessly(const double* values, std::size_t size);

// The number of distinct non-missing values, counting at most up to `cap` (the result
// is min(distinct, cap)). -0.0 and 0.0 are one value, as in pandas' hash tables.
template <typename T>
std::size_t count_distinct_capped(ColumnView<T> column, std::size_t cap);

// out[i] = double(column[i]) + noise[i]: numpy's float64 addition of a column and noise.
template <typename T>
void add_noise(ColumnView<T> column, const double* noise, double* out);

// A source of uniform doubles in [0, 1): numpy's bit generator interface (bitgen_t's
// state and next_double), so the kernels can draw from numpy's own generator.
struct UniformSource {
    void* state = nullptr;
    double (*next_double)(void* state) = nullptr;
};

// One draw of numpy's Laplace sampler with location 0.0 and scale `scale`: the same
// uniform numbers, the same arithmetic (a zero uniform is rejected and drawn again).
double laplace_draw(const UniformSource& source, double scale);

// The noisy column in one pass: missing rows NaN; the k-th non-missing row takes
// double(value) + the k-th Laplace draw, drawn in row order as
// np.random.laplace(0, scale, present) would draw them. Returns whether pandas could
// hold every noisy value in a column of integer or float32 type T without loss (see
// holds_losslessly), and so keep that type; always false for double.
template <typename T>
bool add_laplace_noise(ColumnView<T> column, const UniformSource& source, double scale, double* out);

// numpy's legacy choice with probabilities, size draws: for each one, a uniform u from
// the source and the index of the first entry of `cdf` greater than u (numpy's
// cdf.searchsorted(u, side="right")). `cdf` is non-decreasing and ends with 1.0.
void choice_indices(const UniformSource& source, const double* cdf, std::size_t categories, std::size_t size,
                    std::int64_t* out);

// Clips (to [lower, upper], when `clip`) and rounds (half to even, when `round`) the
// non-NaN values of `values` in place, as pandas' clip and round do.
void clip_and_round(double* values, std::size_t size, bool clip, double lower, double upper, bool round);

// Positions where uniform[i] < probability (numpy's `<`); returns how many.
std::size_t positions_below(const double* uniform, std::size_t size, double probability, std::int64_t* positions);

}  // namespace velmora::noise
