#include "dense_distances.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "lanes.hpp"
#include "target_clones.hpp"
#include "top_k.hpp"

namespace velmora::metrics {

namespace {

// Reference rows handled per pass: the squared distances of one query tile against one
// reference tile stay in L1, and the tile's feature runs stay in L2 across queries.
constexpr std::size_t reference_tile = 256;
// Query rows per pass: each reference value loaded is used this many times.
constexpr std::size_t query_tile = 4;
// Query rows whose top-k lists stay live while they sweep the reference together: each
// reference tile is then read from memory once per block and reused from cache by every
// pass of query_tile rows (a reference larger than the caches would otherwise be
// streamed from memory once per query_tile rows).
constexpr std::size_t query_block = 64;

// Reference rows per register block: 2 x 4 lanes, so that Q x 2 accumulators, two
// reference loads and one broadcast fit the 16 vector registers for Q <= 4.
constexpr std::size_t block_width = 2 * lane_count;

// Squared distances of Q query rows against reference rows [j0, j0 + width). Each pair's
// sum runs over the features in order, from 0.0, as (q - r) * (q - r) added to the sum:
// the lanes only compute several pairs side by side, so each pair's arithmetic is the
// scalar sequence. Accumulators stay in registers across the feature loop.
template <std::size_t Q>
__attribute__((always_inline)) inline void squared_distance_block(const double* query_rows,
                                                                  const double* reference_columns,
                                                                  std::size_t n_reference, std::size_t n_features,
                                                                  std::size_t j0, std::size_t width,
                                                                  double (*out)[reference_tile]) {
    std::size_t b = 0;
    for (; b + block_width <= width; b += block_width) {
        lanes acc[Q][2];
        for (std::size_t q = 0; q < Q; ++q) {
            acc[q][0] = lanes{0.0, 0.0, 0.0, 0.0};
            acc[q][1] = lanes{0.0, 0.0, 0.0, 0.0};
        }
        const double* run = reference_columns + j0 + b;
        for (std::size_t f = 0; f < n_features; ++f, run += n_reference) {
            // memcpy: unaligned loads, and no vector passed by value (whose ABI
            // differs between the two builds).
            lanes low;
            lanes high;
            std::memcpy(&low, run, sizeof(low));
            std::memcpy(&high, run + lane_count, sizeof(high));
            for (std::size_t q = 0; q < Q; ++q) {
                const double value = query_rows[q * n_features + f];
                const lanes broadcast{value, value, value, value};
                const lanes diff_low = broadcast - low;
                const lanes diff_high = broadcast - high;
                acc[q][0] += diff_low * diff_low;
                acc[q][1] += diff_high * diff_high;
            }
        }
        for (std::size_t q = 0; q < Q; ++q) {
            std::memcpy(out[q] + b, &acc[q][0], sizeof(lanes));
            std::memcpy(out[q] + b + lane_count, &acc[q][1], sizeof(lanes));
        }
    }
    for (; b < width; ++b) {
        for (std::size_t q = 0; q < Q; ++q) {
            double acc = 0.0;
            const double* run = reference_columns + j0 + b;
            for (std::size_t f = 0; f < n_features; ++f, run += n_reference) {
                const double diff = query_rows[q * n_features + f] - *run;
                acc += diff * diff;
            }
            out[q][b] = acc;
        }
    }
}

// The block above for a full tile of query rows and for a single row, compiled for
// AVX2 and for the baseline and picked at load time (contraction is off, so no FMA:
// both give the same bits).
VELMORA_AVX2_CLONES void squared_distance_tile_full(const double* query_rows, const double* reference_columns,
                                                    std::size_t n_reference, std::size_t n_features, std::size_t j0,
                                                    std::size_t width, double (*out)[reference_tile]) {
    squared_distance_block<query_tile>(query_rows, reference_columns, n_reference, n_features, j0, width, out);
}

VELMORA_AVX2_CLONES void squared_distance_tile_single(const double* query_row, const double* reference_columns,
                                                      std::size_t n_reference, std::size_t n_features, std::size_t j0,
                                                      std::size_t width, double (*out)[reference_tile]) {
    squared_distance_block<1>(query_row, reference_columns, n_reference, n_features, j0, width, out);
}

void squared_distance_tile(const double* query_rows, std::size_t count, const double* reference_columns,
                           std::size_t n_reference, std::size_t n_features, std::size_t j0, std::size_t width,
                           double (*out)[reference_tile]) {
    if (count == query_tile) {
        squared_distance_tile_full(query_rows, reference_columns, n_reference, n_features, j0, width, out);
        return;
    }
    for (std::size_t q = 0; q < count; ++q) {
        squared_distance_tile_single(query_rows + q * n_features, reference_columns, n_reference, n_features, j0, width,
                                     out + q);
    }
}

}  // namespace

void nearest_neighbours(const double* query_rows, std::size_t n_query, const double* reference_columns,
                        std::size_t n_reference, std::size_t n_features, std::size_t k, bool exclude_self,
                        std::size_t first, std::size_t last, double* distances, std::int64_t* positions) {
    (void)n_query;
    alignas(64) double tile[query_tile][reference_tile];
    std::vector<TopK> best;
    for (std::size_t b0 = first; b0 < last; b0 += query_block) {
        const std::size_t block_count = std::min(query_block, last - b0);
        best.assign(block_count, TopK(k));
        for (std::size_t j0 = 0; j0 < n_reference; j0 += reference_tile) {
            const std::size_t width = std::min(reference_tile, n_reference - j0);
            for (std::size_t g = 0; g < block_count; g += query_tile) {
                const std::size_t i0 = b0 + g;
                const std::size_t count = std::min(query_tile, block_count - g);
                squared_distance_tile(query_rows + i0 * n_features, count, reference_columns, n_reference, n_features,
                                      j0, width, tile);
                for (std::size_t q = 0; q < count; ++q) {
                    TopK& top = best[g + q];
                    const double* row = tile[q];
                    const std::size_t self = i0 + q;
                    for (std::size_t b = 0; b < width; ++b) {
                        if (top.wants(row[b])) {
                            const std::size_t j = j0 + b;
                            if (exclude_self && j == self) continue;
                            top.offer(row[b], static_cast<std::int64_t>(j));
                        }
                    }
                }
            }
        }
        for (std::size_t q = 0; q < block_count; ++q) {
            for (std::size_t r = 0; r < k; ++r) {
                distances[(b0 + q) * k + r] = std::sqrt(best[q].d2(r));
                positions[(b0 + q) * k + r] = best[q].position(r);
            }
        }
    }
}

void pairwise_squared_distances(const double* rows, const double* columns, std::size_t n_rows, std::size_t n_features,
                                std::size_t first, std::size_t last, double* out) {
    alignas(64) double tile[query_tile][reference_tile];
    for (std::size_t i0 = first; i0 < last; i0 += query_tile) {
        const std::size_t count = std::min(query_tile, last - i0);
        for (std::size_t j0 = 0; j0 < n_rows; j0 += reference_tile) {
            const std::size_t width = std::min(reference_tile, n_rows - j0);
            squared_distance_tile(rows + i0 * n_features, count, columns, n_rows, n_features, j0, width, tile);
            for (std::size_t q = 0; q < count; ++q) {
                std::memcpy(out + (i0 + q) * n_rows + j0, tile[q], width * sizeof(double));
            }
        }
    }
}

void rbf_row_sums(const double* a_rows, std::size_t n_a, const double* b_columns, std::size_t n_b,
                  std::size_t n_features, double gamma, bool upper, std::size_t first, std::size_t last,
                  double* row_sums) {
    (void)n_a;
    alignas(64) double tile[query_tile][reference_tile];
    const double negative_gamma = -gamma;
    for (std::size_t i0 = first; i0 < last; i0 += query_tile) {
        const std::size_t count = std::min(query_tile, last - i0);
        double sums[query_tile] = {0.0, 0.0, 0.0, 0.0};
        const std::size_t start = upper ? i0 + 1 : 0;
        // Tiles start at a multiple of the tile width; entries a row does not need (its
        // own and earlier columns in the upper triangle) are computed and ignored.
        for (std::size_t j0 = start - start % reference_tile; j0 < n_b; j0 += reference_tile) {
            const std::size_t width = std::min(reference_tile, n_b - j0);
            squared_distance_tile(a_rows + i0 * n_features, count, b_columns, n_b, n_features, j0, width, tile);
            for (std::size_t q = 0; q < count; ++q) {
                const std::size_t row_start = upper ? i0 + q + 1 : 0;
                const std::size_t begin = j0 < row_start ? std::min(width, row_start - j0) : 0;
                double sum = sums[q];
                for (std::size_t b = begin; b < width; ++b) {
                    sum += std::exp(negative_gamma * tile[q][b]);
                }
                sums[q] = sum;
            }
        }
        for (std::size_t q = 0; q < count; ++q) row_sums[i0 + q] = sums[q];
    }
}

double sequential_sum(const double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += values[i];
    return sum;
}

}  // namespace velmora::metrics
