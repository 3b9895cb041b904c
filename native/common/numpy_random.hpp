// numpy's legacy random streams (np.random's MT19937 RandomState), drawn in bulk and
// turned into Laplace and normal variates on several threads. Pure C++ on numpy's own
// generator state: the draws are the numbers numpy would draw, bit for bit, in the
// same order, and the state ends where numpy's would.
//
// The work is split in two: drawing the uniform numbers is sequential (each depends on
// the generator state) and cheap; the transforms (log, sqrt) are independent per value
// and run in parallel.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "noise_kernels.hpp"

namespace velmora::noise {

// numpy's MT19937 state (numpy/random/src/mt19937/mt19937.h): the key and the position
// of the next word. The bit generator's `state` pointer points to this layout.
struct Mt19937State {
    std::uint32_t key[624];
    int pos;
};

// The next n doubles of numpy's next_double (two tempered words per double), as n
// calls would give them; the state is left where those calls leave it.
void mt19937_doubles(Mt19937State& state, double* out, std::size_t n);

// numpy's Laplace sampler reads one uniform per draw and draws again when it reads
// exactly 0.0. The n uniforms it would use, in order.
void laplace_uniforms(Mt19937State& state, double* out, std::size_t n);

// The Laplace variate (location 0.0, `scale`) numpy computes from an accepted uniform.
inline double laplace_from_uniform(double u, double scale);

// One accepted pair of the legacy polar method: x1, x2 in (-1, 1) with 0 < r2 < 1.
struct PolarPair {
    double x1;
    double x2;
    double r2;
};

// The `pairs` accepted pairs the legacy Gaussian sampler draws, in order (it draws
// x1 = 2u - 1, x2 = 2u - 1 and rejects the pair when r2 >= 1 or r2 == 0).
void polar_pairs(Mt19937State& state, PolarPair* out, std::size_t pairs);

// A cached second normal of numpy's legacy Gaussian sampler (RandomState's has_gauss
// and gauss): each pair yields f * x2 at once and keeps f * x1 for the next draw.
struct CachedNormal {
    bool has = false;
    double value = 0.0;
};

// The n standard normals numpy's legacy sampler returns, given the cache it starts
// with: the cached value first (if any), then f * x2, f * x1 of each pair in order,
// where f = sqrt(-2 log(r2) / r2). `pairs` holds the pairs_needed(n, cache) pairs.
// Returns the cache numpy leaves behind (the unused f * x1 of the last pair when an odd
// count remains). The transforms run on up to `threads` threads.
CachedNormal normals_from_pairs(const PolarPair* pairs, CachedNormal cache, std::size_t n, double* out,
                                std::size_t threads);

// values[i] = 0.0 + scale * values[i] (numpy's loc + scale * gauss), on up to
// `threads` threads.
void scale_normals(double* values, std::size_t n, double scale, std::size_t threads);

// How many pairs n normals take after `cache`.
std::size_t pairs_needed(std::size_t n, CachedNormal cache);

// The noisy column: missing rows NaN; the k-th non-missing row takes
// double(value) + (0.0 + scale * normals[k]) (numpy's loc + scale * gauss). Returns, as
// add_laplace_noise does, whether pandas could hold every noisy value in T losslessly.
template <typename T>
bool add_scaled_noise(ColumnView<T> column, const double* normals, double scale, double* out, std::size_t threads);

// The noisy column with the Laplace draws made from `state` as it goes: the
// `present` uniforms are drawn in order, a block at a time, on the calling thread while
// the others already transform the blocks drawn so far, and then it transforms too. The
// k-th non-missing row takes double(value) + laplace_from_uniform(u_k, scale), u_k the
// k-th uniform laplace_uniforms gives; the return is that of add_scaled_noise. Holds
// `state` for the whole call: run it under the generator's lock.
template <typename T>
bool add_laplace_noise_drawing(ColumnView<T> column, std::size_t present, Mt19937State& state, double scale,
                               double* out, std::size_t threads);

// The threads worth starting for n values on a machine of `cores` cores: one below a
// size where starting threads costs more than it saves.
std::size_t threads_for(std::size_t n, std::size_t cores);

inline double laplace_from_uniform(double u, double scale) {
    const double loc = 0.0;
    if (u >= 0.5) return loc - scale * std::log(2.0 - u - u);
    return loc + scale * std::log(u + u);
}

}  // namespace velmora::noise
