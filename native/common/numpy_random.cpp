#include "numpy_random.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

#include "parallel.hpp"
#include "target_clones.hpp"

namespace velmora::noise {
namespace {

constexpr int state_words = 624;
constexpr int shift = 397;
constexpr std::uint32_t matrix_a = 0x9908b0dfu;
constexpr std::uint32_t upper_mask = 0x80000000u;
constexpr std::uint32_t lower_mask = 0x7fffffffu;

// numpy's mt19937_gen: the next 624 words of the key, in place.
VELMORA_AVX2_CLONES void regenerate(Mt19937State& state) {
    std::uint32_t* key = state.key;
    int i = 0;
    for (; i < state_words - shift; ++i) {
        const std::uint32_t y = (key[i] & upper_mask) | (key[i + 1] & lower_mask);
        key[i] = key[i + shift] ^ (y >> 1) ^ (-(y & 1u) & matrix_a);
    }
    for (; i < state_words - 1; ++i) {
        const std::uint32_t y = (key[i] & upper_mask) | (key[i + 1] & lower_mask);
        key[i] = key[i + (shift - state_words)] ^ (y >> 1) ^ (-(y & 1u) & matrix_a);
    }
    const std::uint32_t y = (key[state_words - 1] & upper_mask) | (key[0] & lower_mask);
    key[state_words - 1] = key[shift - 1] ^ (y >> 1) ^ (-(y & 1u) & matrix_a);
    state.pos = 0;
}

inline std::uint32_t temper(std::uint32_t y) {
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= (y >> 18);
    return y;
}

inline std::uint32_t next_word(Mt19937State& state) {
    if (state.pos == state_words) regenerate(state);
    return temper(state.key[state.pos++]);
}

// numpy's next_double from two words: 53 random bits over 2^53.
inline double to_double(std::uint32_t first, std::uint32_t second) {
    const auto a = static_cast<std::int32_t>(first >> 5);
    const auto b = static_cast<std::int32_t>(second >> 6);
    return (a * 67108864.0 + b) / 9007199254740992.0;
}

// The doubles of `count` word pairs that lie in the key from `words` on.
VELMORA_AVX2_CLONES void doubles_from_key(const std::uint32_t* words, double* out, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) out[j] = to_double(temper(words[2 * j]), temper(words[2 * j + 1]));
}

bool present(double value) {
    return !std::isnan(value);
}

template <typename T>
bool is_present(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return present(static_cast<double>(value));
    } else {
        (void)value;
        return true;
    }
}

// Runs add(first_row, last_row, first_draw) over shares of the column, each share
// starting at the draw of its first non-missing row; returns whether every share
// reported the values lossless.
template <typename T, typename Add>
bool over_rows(ColumnView<T> column, std::size_t threads, Add&& add) {
    threads = std::max<std::size_t>(1, std::min(threads, column.size));
    std::vector<std::size_t> first_draw(threads, 0);
    if constexpr (std::is_floating_point_v<T>) {
        std::size_t drawn = 0;
        for (std::size_t t = 0; t < threads; ++t) {
            first_draw[t] = drawn;
            const auto [first, last] = share_of(column.size, t, threads);
            for (std::size_t i = first; i < last; ++i) drawn += is_present(column[i]) ? 1 : 0;
        }
    } else {
        for (std::size_t t = 0; t < threads; ++t) first_draw[t] = share_of(column.size, t, threads).first;
    }
    std::vector<char> lossless(threads, 1);
    run_parallel(threads, [&](std::size_t t) {
        const auto [first, last] = share_of(column.size, t, threads);
        lossless[t] = add(first, last, first_draw[t]) ? 1 : 0;
    });
    return std::all_of(lossless.begin(), lossless.end(), [](char value) { return value != 0; });
}

// out[i] for rows [first, last): NaN where missing, else double(value) + noise(k) for the
// k-th draw; whether T holds every noisy value losslessly (always false for double).
template <typename T, typename Noise>
bool add_rows(ColumnView<T> column, std::size_t first, std::size_t last, std::size_t draw, Noise&& noise, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bool lossless = !std::is_same_v<T, double>;
    for (std::size_t i = first; i < last; ++i) {
        const T value = column[i];
        if (!is_present(value)) {
            out[i] = nan;
            continue;
        }
        const double noisy = static_cast<double>(value) + noise(draw++);
        out[i] = noisy;
        if constexpr (!std::is_same_v<T, double>) {
            if (lossless) lossless = holds_losslessly<T>(&noisy, 1);
        }
    }
    return lossless;
}

}  // namespace

void mt19937_doubles(Mt19937State& state, double* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        if (state.pos == state_words) regenerate(state);
        const std::size_t pairs = static_cast<std::size_t>(state_words - state.pos) / 2;
        if (pairs == 0) {
            // One word left: the double takes it and the first word of the next key.
            const std::uint32_t first = next_word(state);
            out[done++] = to_double(first, next_word(state));
            continue;
        }
        const std::size_t count = std::min(pairs, n - done);
        doubles_from_key(state.key + state.pos, out + done, count);
        state.pos += static_cast<int>(2 * count);
        done += count;
    }
}

void laplace_uniforms(Mt19937State& state, double* out, std::size_t n) {
    // Each round draws only what is still missing, so no uniform beyond numpy's last is
    // taken; a rejected 0.0 (one in 2^53) leaves a gap that the next round fills.
    std::size_t kept = 0;
    while (kept < n) {
        const std::size_t wanted = n - kept;
        mt19937_doubles(state, out + kept, wanted);
        std::size_t write = kept;
        for (std::size_t j = kept; j < kept + wanted; ++j) {
            if (out[j] != 0.0) out[write++] = out[j];
        }
        kept = write;
    }
}

void polar_pairs(Mt19937State& state, PolarPair* out, std::size_t pairs) {
    std::vector<double> uniforms;
    std::size_t accepted = 0;
    while (accepted < pairs) {
        // Draw only as many pairs as are still missing, as the sampler would at least.
        const std::size_t wanted = pairs - accepted;
        uniforms.resize(2 * wanted);
        mt19937_doubles(state, uniforms.data(), 2 * wanted);
        for (std::size_t j = 0; j < wanted; ++j) {
            const double x1 = 2.0 * uniforms[2 * j] - 1.0;
            const double x2 = 2.0 * uniforms[2 * j + 1] - 1.0;
            const double r2 = x1 * x1 + x2 * x2;
            if (r2 >= 1.0 || r2 == 0.0) continue;
            out[accepted++] = PolarPair{x1, x2, r2};
        }
    }
}

std::size_t pairs_needed(std::size_t n, CachedNormal cache) {
    const std::size_t fresh = cache.has ? (n > 0 ? n - 1 : 0) : n;
    return (fresh + 1) / 2;
}

CachedNormal normals_from_pairs(const PolarPair* pairs, CachedNormal cache, std::size_t n, double* out,
                                std::size_t threads) {
    if (n == 0) return cache;
    const std::size_t offset = cache.has ? 1 : 0;
    if (cache.has) out[0] = cache.value;
    const std::size_t fresh = n - offset;
    const std::size_t count = (fresh + 1) / 2;
    // The last pair of an odd count gives only its f * x2; its f * x1 stays cached.
    const bool odd = fresh % 2 == 1;
    double kept = 0.0;
    threads = std::max<std::size_t>(1, std::min(threads, count));
    run_parallel(threads, [&](std::size_t t) {
        const auto [first, last] = share_of(count, t, threads);
        for (std::size_t p = first; p < last; ++p) {
            const PolarPair& pair = pairs[p];
            const double f = std::sqrt(-2.0 * std::log(pair.r2) / pair.r2);
            out[offset + 2 * p] = f * pair.x2;
            if (offset + 2 * p + 1 < n) {
                out[offset + 2 * p + 1] = f * pair.x1;
            } else {
                kept = f * pair.x1;
            }
        }
    });
    if (count == 0) return CachedNormal{};
    return odd ? CachedNormal{true, kept} : CachedNormal{};
}

void scale_normals(double* values, std::size_t n, double scale, std::size_t threads) {
    const double loc = 0.0;
    threads = std::max<std::size_t>(1, std::min(threads, n));
    run_parallel(threads, [&](std::size_t t) {
        const auto [first, last] = share_of(n, t, threads);
        for (std::size_t i = first; i < last; ++i) values[i] = loc + scale * values[i];
    });
}

template <typename T>
bool add_scaled_noise(ColumnView<T> column, const double* normals, double scale, double* out, std::size_t threads) {
    const double loc = 0.0;
    return over_rows(column, threads, [&](std::size_t first, std::size_t last, std::size_t draw) {
        return add_rows(column, first, last, draw, [&](std::size_t k) { return loc + scale * normals[k]; }, out);
    });
}

template <typename T>
bool add_laplace_noise_drawing(ColumnView<T> column, std::size_t present, Mt19937State& state, double scale,
                               double* out, std::size_t threads) {
    constexpr std::size_t block = std::size_t{1} << 16;
    const std::size_t blocks = (present + block - 1) / block;
    std::vector<double> uniforms(present);
    // The rows of block b: from the row of its first draw to the row of the next
    // block's first draw (missing rows go with the block before them).
    std::vector<std::size_t> row_start(blocks + 1, column.size);
    if (blocks > 0) row_start[0] = 0;
    if constexpr (std::is_floating_point_v<T>) {
        std::size_t drawn = 0;
        for (std::size_t i = 0; i < column.size; ++i) {
            if (!is_present(column[i])) continue;
            if (drawn % block == 0 && drawn > 0) row_start[drawn / block] = i;
            ++drawn;
        }
    } else {
        for (std::size_t b = 1; b < blocks; ++b) row_start[b] = b * block;
    }
    std::atomic<std::size_t> ready{0};
    std::atomic<std::size_t> next{0};
    std::vector<char> lossless(blocks, 1);
    auto transform = [&] {
        for (;;) {
            const std::size_t b = next.fetch_add(1);
            if (b >= blocks) return;
            while (ready.load(std::memory_order_acquire) <= b) std::this_thread::yield();
            lossless[b] = add_rows(
                              column, row_start[b], row_start[b + 1], b * block,
                              [&](std::size_t k) { return laplace_from_uniform(uniforms[k], scale); }, out)
                              ? 1
                              : 0;
        }
    };
    threads = std::max<std::size_t>(1, std::min(threads, blocks));
    run_parallel(threads, [&](std::size_t t) {
        if (t == 0) {
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t first = b * block;
                laplace_uniforms(state, uniforms.data() + first, std::min(block, present - first));
                ready.store(b + 1, std::memory_order_release);
            }
        }
        transform();
    });
    if (blocks == 0) {
        // No draw at all: every row is missing (or there is none).
        add_rows(column, 0, column.size, 0, [](std::size_t) { return 0.0; }, out);
        return !std::is_same_v<T, double>;
    }
    return std::all_of(lossless.begin(), lossless.end(), [](char value) { return value != 0; });
}

std::size_t threads_for(std::size_t n, std::size_t cores) {
    // Below this many values a thread's start-up (tens of microseconds) outweighs half
    // of the transform.
    constexpr std::size_t per_thread = 32768;
    return std::max<std::size_t>(1, std::min(cores, n / per_thread));
}

#define VELMORA_NUMPY_RANDOM(T)                                                                    \
    template bool add_scaled_noise<T>(ColumnView<T>, const double*, double, double*, std::size_t); \
    template bool add_laplace_noise_drawing<T>(ColumnView<T>, std::size_t, Mt19937State&, double, double*, std::size_t);

VELMORA_NUMPY_RANDOM(double)
VELMORA_NUMPY_RANDOM(float)
VELMORA_NUMPY_RANDOM(std::int64_t)
VELMORA_NUMPY_RANDOM(std::int32_t)
#undef VELMORA_NUMPY_RANDOM

}  // namespace velmora::noise
