#include "noise_kernels.hpp"

#include <cmath>
#include <limits>
#include <type_traits>

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

std::size_t positions_below(const double* uniform, std::size_t size, double probability, std::int64_t* positions) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (uniform[i] < probability) positions[count++] = static_cast<std::int64_t>(i);
    }
    return count;
}

#define VELMORA_NOISE_KERNELS(T)                                                                         \
    template ColumnSummary<T> summarize<T>(ColumnView<T>);                                               \
    template void gather_present<T>(ColumnView<T>, T*);                                                  \
    template void scatter_noisy<T>(ColumnView<T>, const double*, bool, double, double, bool, double*);   \
    template std::size_t count_distinct_capped<T>(ColumnView<T>, std::size_t);                           \
    template void add_noise<T>(ColumnView<T>, const double*, double*);

VELMORA_NOISE_KERNELS(double)
VELMORA_NOISE_KERNELS(float)
VELMORA_NOISE_KERNELS(std::int64_t)
VELMORA_NOISE_KERNELS(std::int32_t)
#undef VELMORA_NOISE_KERNELS

template bool holds_losslessly<float>(const double*, std::size_t);
template bool holds_losslessly<std::int64_t>(const double*, std::size_t);
template bool holds_losslessly<std::int32_t>(const double*, std::size_t);

}  // namespace velmora::noise
