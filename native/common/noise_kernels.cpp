#include "noise_kernels.hpp"

#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

namespace velmora::noise {
namespace {

template <typename T>
bool missing(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::isnan(value);
    } else {
        (void)value;
        return false;
    }
}

}  // namespace

template <typename T>
ColumnSummary<T> summarize(ColumnView<T> column) {
    ColumnSummary<T> summary;
    for (std::size_t i = 0; i < column.size; ++i) {
        T value = column[i];
        if (missing(value)) continue;
        if (summary.present == 0) {
            summary.min = value;
            summary.max = value;
        } else {
            if (value < summary.min) summary.min = value;
            if (value > summary.max) summary.max = value;
        }
        ++summary.present;
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isinf(value)) {
                summary.finite = false;
                summary.whole = false;
            } else if (summary.whole && std::fmod(value, T(1)) != 0) {
                summary.whole = false;
            }
        }
    }
    return summary;
}

template <typename T>
void gather_present(ColumnView<T> column, T* out) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < column.size; ++i) {
        T value = column[i];
        if (!missing(value)) out[k++] = value;
    }
}

template <typename T>
void scatter_noisy(ColumnView<T> column, const double* noisy, bool clip, double lower, double upper, bool round,
                   double* out) {
    std::size_t k = 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < column.size; ++i) {
        if (missing(column[i])) {
            out[i] = nan;
            continue;
        }
        double value = noisy[k++];
        if (clip && !std::isnan(value)) {
            // pandas' clip: replace what is not >= lower, then what is not <= upper.
            if (!(value >= lower)) value = lower;
            if (!(value <= upper)) value = upper;
        }
        // nearbyint rounds half to even in the default rounding mode, as np.rint does.
        out[i] = round ? std::nearbyint(value) : value;
    }
}

template <typename T>
bool holds_losslessly(const double* values, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        double value = values[i];
        if constexpr (std::is_integral_v<T>) {
            // Bounds as doubles: -2^63 (or -2^31) is representable, 2^63 (2^31) is not held.
            const double low = static_cast<double>(std::numeric_limits<T>::min());
            const double high = -low;
            if (!(value >= low && value < high) || std::trunc(value) != value) return false;
        } else {
            if (std::isnan(value)) continue;
            if (static_cast<double>(static_cast<T>(value)) != value) return false;
        }
    }
    return true;
}

template <typename T>
std::size_t count_distinct_capped(ColumnView<T> column, std::size_t cap) {
    // The cap is small (the typing threshold is at most 10), so a linear list of the
    // values seen so far beats hashing.
    constexpr std::size_t max_cap = 64;
    if (cap > max_cap) cap = max_cap;
    T seen[max_cap];
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < column.size && distinct < cap; ++i) {
        T value = column[i];
        if (missing(value)) continue;
        bool known = false;
        for (std::size_t j = 0; j < distinct; ++j) {
            if (seen[j] == value) {
                known = true;
                break;
            }
        }
        if (!known) seen[distinct++] = value;
    }
    return distinct;
}

template <typename T>
void add_noise(ColumnView<T> column, const double* noise, double* out) {
    for (std::size_t i = 0; i < column.size; ++i) out[i] = static_cast<double>(column[i]) + noise[i];
}

double laplace_draw(const UniformSource& source, double scale) {
    const double loc = 0.0;
    for (;;) {
        double u = source.next_double(source.state);
        if (u >= 0.5) return loc - scale * std::log(2.0 - u - u);
        if (u > 0.0) return loc + scale * std::log(u + u);
    }
}

template <typename T>
bool add_laplace_noise(ColumnView<T> column, const UniformSource& source, double scale, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bool lossless = true;
    for (std::size_t i = 0; i < column.size; ++i) {
        T value = column[i];
        if (missing(value)) {
            out[i] = nan;
            continue;
        }
        double noisy = static_cast<double>(value) + laplace_draw(source, scale);
        out[i] = noisy;
        if constexpr (!std::is_same_v<T, double>) {
            if (lossless) lossless = holds_losslessly<T>(&noisy, 1);
        }
    }
    if constexpr (std::is_same_v<T, double>) lossless = false;
    return lossless;
}

void choice_indices(const UniformSource& source, const double* cdf, std::size_t categories, std::size_t size,
                    std::int64_t* out) {
    // A guide table gives each of `buckets` equal slices of [0, 1) the first index whose
    // cdf entry exceeds the slice's start; a short forward scan from one slice earlier
    // (which absorbs rounding in u * buckets) finds exactly the binary search's answer.
    const std::size_t buckets = categories * 2;
    std::vector<std::size_t> guide(buckets + 1);
    std::size_t first = 0;
    for (std::size_t j = 0; j <= buckets; ++j) {
        double start = static_cast<double>(j) / static_cast<double>(buckets);
        while (first < categories && !(cdf[first] > start)) ++first;
        guide[j] = first;
    }
    for (std::size_t i = 0; i < size; ++i) {
        double u = source.next_double(source.state);
        std::size_t slice = static_cast<std::size_t>(u * static_cast<double>(buckets));
        if (slice > buckets) slice = buckets;
        std::size_t at = guide[slice > 0 ? slice - 1 : 0];
        while (at < categories && !(cdf[at] > u)) ++at;
        out[i] = static_cast<std::int64_t>(at);
    }
}

void clip_and_round(double* values, std::size_t size, bool clip, double lower, double upper, bool round) {
    for (std::size_t i = 0; i < size; ++i) {
        double value = values[i];
        if (std::isnan(value)) continue;
        if (clip) {
            if (!(value >= lower)) value = lower;
            if (!(value <= upper)) value = upper;
        }
        values[i] = round ? std::nearbyint(value) : value;
    }
}

std::size_t positions_below(const double* uniform, std::size_t size, double probability, std::int64_t* positions) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (uniform[i] < probability) positions[count++] = static_cast<std::int64_t>(i);
    }
    return count;
}

// T names a type in template arguments, where it cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VELMORA_NOISE_KERNELS(T)                                                                       \
    template ColumnSummary<T> summarize<T>(ColumnView<T>);                                             \
    template void gather_present<T>(ColumnView<T>, T*);                                                \
    template void scatter_noisy<T>(ColumnView<T>, const double*, bool, double, double, bool, double*); \
    template std::size_t count_distinct_capped<T>(ColumnView<T>, std::size_t);                         \
    template void add_noise<T>(ColumnView<T>, const double*, double*);                                 \
    template bool add_laplace_noise<T>(ColumnView<T>, const UniformSource&, double, double*);
// NOLINTEND(bugprone-macro-parentheses)

VELMORA_NOISE_KERNELS(double)
VELMORA_NOISE_KERNELS(float)
VELMORA_NOISE_KERNELS(std::int64_t)
VELMORA_NOISE_KERNELS(std::int32_t)
#undef VELMORA_NOISE_KERNELS

template bool holds_losslessly<float>(const double*, std::size_t);
template bool holds_losslessly<std::int64_t>(const double*, std::size_t);
template bool holds_losslessly<std::int32_t>(const double*, std::size_t);

}  // namespace velmora::noise
