#include "metric_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "target_clones.hpp"

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

// Four doubles in one AVX2 register (two SSE2 registers in the baseline build).
typedef double lanes __attribute__((vector_size(32)));
constexpr std::size_t lane_count = 4;
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

// Keeps the k smallest (squared distance, position) pairs seen so far, ascending; a
// candidate equal to a kept one goes after it, so earlier positions win ties (the order
// of a stable sort). Until k pairs are kept every candidate is taken, infinities too.
struct TopK {
    explicit TopK(std::size_t k) : d2(k, std::numeric_limits<double>::infinity()), position(k, -1) {}

    bool wants(double candidate) const { return filled < d2.size() || candidate < d2.back(); }

    void offer(double candidate, std::int64_t at) {
        std::size_t slot = filled < d2.size() ? filled++ : d2.size() - 1;
        while (slot > 0 && candidate < d2[slot - 1]) {
            d2[slot] = d2[slot - 1];
            position[slot] = position[slot - 1];
            --slot;
        }
        d2[slot] = candidate;
        position[slot] = at;
    }

    std::vector<double> d2;
    std::vector<std::int64_t> position;
    std::size_t filled = 0;
};

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
                distances[(b0 + q) * k + r] = std::sqrt(best[q].d2[r]);
                positions[(b0 + q) * k + r] = best[q].position[r];
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

namespace {

// The k smallest (squared distance, original position) pairs seen so far, ascending in
// that order, whatever the order in which candidates come: equal distances are ranked
// by position, as a stable sort of the reference rows in their original order ranks
// them.
class RankedBest {
public:
    explicit RankedBest(std::size_t k) : d2_(k, std::numeric_limits<double>::infinity()), position_(k, -1) {}

    // A squared distance above this cannot enter: the k-th smallest so far, or infinity
    // while fewer than k are kept.
    double bound() const { return filled_ < d2_.size() ? std::numeric_limits<double>::infinity() : d2_.back(); }

    void offer(double candidate, std::int64_t at) {
        const std::size_t k = d2_.size();
        if (filled_ == k && !before(candidate, at, k - 1)) return;
        std::size_t slot = filled_ < k ? filled_++ : k - 1;
        while (slot > 0 && before(candidate, at, slot - 1)) {
            d2_[slot] = d2_[slot - 1];
            position_[slot] = position_[slot - 1];
            --slot;
        }
        d2_[slot] = candidate;
        position_[slot] = at;
    }

    double d2(std::size_t rank) const { return d2_[rank]; }
    std::int64_t position(std::size_t rank) const { return position_[rank]; }

private:
    bool before(double candidate, std::int64_t at, std::size_t slot) const {
        return candidate < d2_[slot] || (candidate == d2_[slot] && at < position_[slot]);
    }

    std::vector<double> d2_;
    std::vector<std::int64_t> position_;
    std::size_t filled_ = 0;
};

typedef std::int64_t mask_lanes __attribute__((vector_size(32)));

// Running squared distances of one coded query row to the rows of G consecutive
// reference blocks, in feature order, each lane the scalar sequence of its pair (several
// blocks at once keep enough independent sums in flight to hide the latency of the
// additions). Every second feature the running sums are compared with `bound`: once all
// exceed it the blocks are left (false), as no later term can lower a sum of squares.
// Otherwise `out` gets the G * 8 sums.
template <std::size_t G>
__attribute__((always_inline)) inline bool coded_group_distances(const double* query, const double* first_block,
                                                                 const CodedSpace& space, double bound, double* out) {
    constexpr std::size_t rows = CodedReference::block_rows;
    const std::size_t block_stride = rows * space.n_features;
    lanes acc[G][2];
    for (std::size_t g = 0; g < G; ++g) {
        acc[g][0] = lanes{0.0, 0.0, 0.0, 0.0};
        acc[g][1] = lanes{0.0, 0.0, 0.0, 0.0};
    }
    const lanes limit = {bound, bound, bound, bound};
    std::int64_t half_bits = 0;
    std::memcpy(&half_bits, &space.half, sizeof(half_bits));
    const mask_lanes half_mask = {half_bits, half_bits, half_bits, half_bits};
    for (std::size_t f = 0; f < space.n_features; ++f) {
        const double value = query[f];
        const lanes broadcast = {value, value, value, value};
        const bool categorical = space.categorical[f] != 0;
        for (std::size_t g = 0; g < G; ++g) {
            const double* run = first_block + g * block_stride + f * rows;
            lanes low;
            lanes high;
            std::memcpy(&low, run, sizeof(low));
            std::memcpy(&high, run + lane_count, sizeof(high));
            if (categorical) {
                // half where the codes differ, 0.0 where they agree, added twice.
                const mask_lanes bits_low = (broadcast != low) & half_mask;
                const mask_lanes bits_high = (broadcast != high) & half_mask;
                lanes add_low;
                lanes add_high;
                std::memcpy(&add_low, &bits_low, sizeof(add_low));
                std::memcpy(&add_high, &bits_high, sizeof(add_high));
                acc[g][0] += add_low;
                acc[g][0] += add_low;
                acc[g][1] += add_high;
                acc[g][1] += add_high;
            } else {
                const lanes diff_low = broadcast - low;
                const lanes diff_high = broadcast - high;
                acc[g][0] += diff_low * diff_low;
                acc[g][1] += diff_high * diff_high;
            }
        }
        if ((f & 1U) != 0) {
            mask_lanes alive = (acc[0][0] <= limit) | (acc[0][1] <= limit);
            for (std::size_t g = 1; g < G; ++g) alive |= (acc[g][0] <= limit) | (acc[g][1] <= limit);
            std::int64_t any[lane_count];
            std::memcpy(any, &alive, sizeof(any));
            if ((any[0] | any[1] | any[2] | any[3]) == 0) return false;
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        std::memcpy(out + g * rows, &acc[g][0], sizeof(lanes));
        std::memcpy(out + g * rows + lane_count, &acc[g][1], sizeof(lanes));
    }
    return true;
}

// Blocks per group of the sweep below.
constexpr std::size_t group_blocks = 4;

// One query row against reference blocks [b_first, b_last): every row whose squared
// distance can still enter `top` is offered to it. Compiled for AVX2 and for the
// baseline and picked at load time (contraction is off, so no FMA: both give the same
// bits).
VELMORA_AVX2_CLONES void coded_sweep(const double* query, const CodedReference& reference, std::size_t b_first,
                                     std::size_t b_last, RankedBest& top) {
    constexpr std::size_t rows = CodedReference::block_rows;
    alignas(64) double sums[group_blocks * rows];
    const CodedSpace& space = reference.space();
    auto offer = [&](std::size_t block, std::size_t blocks) {
        const std::size_t base = block * rows;
        const std::size_t width = std::min(blocks * rows, reference.size() - base);
        for (std::size_t lane = 0; lane < width; ++lane) top.offer(sums[lane], reference.position(base + lane));
    };
    std::size_t b = b_first;
    for (; b + group_blocks <= b_last; b += group_blocks) {
        if (coded_group_distances<group_blocks>(query, reference.block(b), space, top.bound(), sums)) {
            offer(b, group_blocks);
        }
    }
    for (; b < b_last; ++b) {
        if (coded_group_distances<1>(query, reference.block(b), space, top.bound(), sums)) offer(b, 1);
    }
}

// The squared distance of one coded pair, the scalar sequence of the lanes above.
double coded_squared_distance(const double* query, const double* reference, std::size_t stride,
                              const CodedSpace& space) {
    double acc = 0.0;
    for (std::size_t f = 0; f < space.n_features; ++f) {
        const double r = reference[f * stride];
        if (space.categorical[f] != 0) {
            if (query[f] != r) {
                acc += space.half;
                acc += space.half;
            }
        } else {
            const double diff = query[f] - r;
            acc += diff * diff;
        }
    }
    return acc;
}

// A tile (CodedReference::tile_blocks blocks, 256 rows) stays in cache while a group of
// queries sweeps it, so each reference row is read from memory once per group.
constexpr std::size_t tile_blocks = CodedReference::tile_blocks;
// Queries per group: consecutive in proximity order, so they share their neighbourhood.
constexpr std::size_t query_group = coded_query_group;

}  // namespace

std::vector<std::int64_t> proximity_order(const double* rows, std::size_t n_rows, const CodedSpace& space,
                                          std::size_t leaf) {
    std::vector<std::int64_t> order(n_rows);
    for (std::size_t i = 0; i < n_rows; ++i) order[i] = static_cast<std::int64_t>(i);
    std::vector<std::size_t> numbers;
    for (std::size_t f = 0; f < space.n_features; ++f) {
        if (space.categorical[f] == 0) numbers.push_back(f);
    }
    if (numbers.empty() || leaf == 0) return order;
    struct Range {
        std::size_t lo;
        std::size_t hi;
        std::size_t depth;
    };
    // Splits a range at its median on one number, returning the two halves (or nothing
    // for a range of at most `leaf` rows).
    auto split = [&](const Range& range, std::vector<std::pair<double, std::int64_t>>& keys, std::vector<Range>& out) {
        if (range.hi - range.lo <= leaf) return;
        const std::size_t feature = numbers[range.depth % numbers.size()];
        const std::size_t half = (range.hi - range.lo) / 2;
        const std::size_t mid = range.lo + (half + leaf - 1) / leaf * leaf;
        keys.resize(range.hi - range.lo);
        for (std::size_t i = range.lo; i < range.hi; ++i) {
            const auto row = static_cast<std::size_t>(order[i]);
            keys[i - range.lo] = {rows[row * space.n_features + feature], order[i]};
        }
        std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(mid - range.lo), keys.end());
        for (std::size_t i = range.lo; i < range.hi; ++i) order[i] = keys[i - range.lo].second;
        out.push_back({range.lo, mid, range.depth + 1});
        out.push_back({mid, range.hi, range.depth + 1});
    };
    auto split_all = [&](const Range& first) {
        std::vector<Range> pending{first};
        std::vector<std::pair<double, std::int64_t>> keys;
        while (!pending.empty()) {
            const Range range = pending.back();
            pending.pop_back();
            split(range, keys, pending);
        }
    };
    std::vector<Range> halves;
    std::vector<std::pair<double, std::int64_t>> keys;
    split({0, n_rows, 0}, keys, halves);
    if (halves.empty()) return order;
    // The two halves touch disjoint parts of `order`: the second on a thread of its own
    // when the system gives one, else after the first.
    std::thread second;
    try {
        second = std::thread(split_all, halves[1]);
    } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): run below instead
    }
    split_all(halves[0]);
    if (second.joinable()) {
        second.join();
    } else {
        split_all(halves[1]);
    }
    return order;
}

CodedReference::CodedReference(const double* rows, std::size_t n_rows, const CodedSpace& space)
    : space_(space), n_rows_(n_rows), positions_(proximity_order(rows, n_rows, space, block_rows)) {
    const std::size_t n_features = space.n_features;
    values_.assign(n_blocks() * block_rows * n_features, 0.0);
    for (std::size_t ordered = 0; ordered < n_rows; ++ordered) {
        const double* row = rows + static_cast<std::size_t>(positions_[ordered]) * n_features;
        double* block_start = values_.data() + (ordered / block_rows) * block_rows * n_features;
        const std::size_t lane = ordered % block_rows;
        for (std::size_t f = 0; f < n_features; ++f) block_start[f * block_rows + lane] = row[f];
    }
    const std::size_t tiles = n_tiles();
    low_.assign(tiles * n_features, std::numeric_limits<double>::infinity());
    high_.assign(tiles * n_features, -std::numeric_limits<double>::infinity());
    codes_.assign(tiles * n_features, 0);
    // From the blocks just written, run by run (the padding of the last block left out).
    for (std::size_t b = 0; b < n_blocks(); ++b) {
        const std::size_t tile = b / tile_blocks;
        const std::size_t width = std::min(block_rows, n_rows - b * block_rows);
        const double* block_start = values_.data() + b * block_rows * n_features;
        for (std::size_t f = 0; f < n_features; ++f) {
            const std::size_t at = tile * n_features + f;
            const double* run = block_start + f * block_rows;
            for (std::size_t lane = 0; lane < width; ++lane) {
                low_[at] = std::min(low_[at], run[lane]);
                high_[at] = std::max(high_[at], run[lane]);
                codes_[at] |= std::uint64_t{1} << code_bit(run[lane]);
            }
        }
    }
}

std::size_t CodedReference::code_bit(double code) {
    return code >= 0.0 && code < 63.0 && code == std::floor(code) ? static_cast<std::size_t>(code) : 63;
}

double CodedReference::tile_bound(const double* query, std::size_t tile) const {
    double bound = 0.0;
    const std::size_t n_features = space_.n_features;
    for (std::size_t f = 0; f < n_features; ++f) {
        const std::size_t at = tile * n_features + f;
        const double value = query[f];
        if (space_.categorical[f] != 0) {
            // Bit 63 stands for many codes: it proves nothing about the query's code.
            const std::size_t bit = code_bit(value);
            if (bit != 63 && (codes_[at] & (std::uint64_t{1} << bit)) == 0) {
                bound += space_.half;
                bound += space_.half;
            }
        } else if (value < low_[at]) {
            // Rounding is monotone: low - q <= r - q gives fl(low - q) <= fl(r - q), so
            // each term, and each partial sum in feature order, stays at or below the
            // kernel's own for every row r of the tile.
            const double gap = low_[at] - value;
            bound += gap * gap;
        } else if (value > high_[at]) {
            const double gap = value - high_[at];
            bound += gap * gap;
        }
    }
    return bound;
}

void coded_nearest_neighbours(const double* query_rows, const std::int64_t* order, std::size_t first, std::size_t last,
                              const CodedReference& reference, std::size_t k, double* distances,
                              std::int64_t* positions) {
    const CodedSpace& space = reference.space();
    const std::size_t n_features = space.n_features;
    const std::size_t n_blocks = reference.n_blocks();
    const std::size_t n_tiles = (n_blocks + tile_blocks - 1) / tile_blocks;
    std::vector<RankedBest> best;
    for (std::size_t g0 = first; g0 < last; g0 += query_group) {
        const std::size_t count = std::min(query_group, last - g0);
        best.assign(count, RankedBest(k));
        // Start the sweep at the tile whose first row is nearest to the group's middle
        // query: the first tiles then hold near neighbours, and the bounds that prune the
        // rest of the sweep are tight from the start. The order of the sweep does not
        // change the result.
        const double* middle = query_rows + static_cast<std::size_t>(order[g0 + count / 2]) * n_features;
        std::size_t home = 0;
        double home_d2 = std::numeric_limits<double>::infinity();
        for (std::size_t t = 0; t < n_tiles; ++t) {
            const double d2 =
                coded_squared_distance(middle, reference.block(t * tile_blocks), CodedReference::block_rows, space);
            if (d2 < home_d2) {
                home_d2 = d2;
                home = t;
            }
        }
        for (std::size_t step = 0; step < n_tiles; ++step) {
            const std::size_t tile = (home + step) % n_tiles;
            const std::size_t b_first = tile * tile_blocks;
            const std::size_t b_last = std::min(n_blocks, b_first + tile_blocks);
            for (std::size_t q = 0; q < count; ++q) {
                const double* query = query_rows + static_cast<std::size_t>(order[g0 + q]) * n_features;
                if (reference.tile_bound(query, tile) > best[q].bound()) continue;
                coded_sweep(query, reference, b_first, b_last, best[q]);
            }
        }
        for (std::size_t q = 0; q < count; ++q) {
            const auto row = static_cast<std::size_t>(order[g0 + q]);
            for (std::size_t r = 0; r < k; ++r) {
                distances[row * k + r] = std::sqrt(best[q].d2(r));
                positions[row * k + r] = best[q].position(r);
            }
        }
    }
}

std::size_t finite_argsort(const double* values, std::size_t n, std::int64_t* order) {
    // A least-significant-digit radix sort of the values' bit patterns, turned into
    // unsigned keys of the same order (negative values flip every bit, the others only
    // the sign bit), 11 bits per pass; passes whose digit is the same for every key are
    // skipped. Each pass is stable, so equal keys keep their original order.
    struct Item {
        std::uint64_t key;
        std::int64_t position;
    };
    std::vector<Item> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double value = values[i] == 0.0 ? 0.0 : values[i];
        if (!std::isfinite(value)) continue;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        const std::uint64_t key = (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
        items.push_back({key, static_cast<std::int64_t>(i)});
    }
    const std::size_t finite = items.size();
    std::vector<Item> scratch(finite);
    constexpr unsigned digit_bits = 11;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    std::vector<std::size_t> count(buckets);
    for (unsigned shift = 0; shift < 64; shift += digit_bits) {
        std::fill(count.begin(), count.end(), 0);
        for (const Item& item : items) ++count[(item.key >> shift) & (buckets - 1)];
        if (finite == 0 || count[(items[0].key >> shift) & (buckets - 1)] == finite) continue;
        std::size_t offset = 0;
        for (std::size_t& c : count) {
            const std::size_t size = c;
            c = offset;
            offset += size;
        }
        for (const Item& item : items) scratch[count[(item.key >> shift) & (buckets - 1)]++] = item;
        items.swap(scratch);
    }
    for (std::size_t i = 0; i < finite; ++i) order[i] = items[i].position;
    std::size_t tail = finite;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i])) order[tail++] = static_cast<std::int64_t>(i);
    }
    return finite;
}

void average_ranks(const double* values, const std::int64_t* order, std::size_t n_ordered, const std::uint8_t* keep,
                   double* ranks) {
    std::vector<std::size_t> kept;
    kept.reserve(n_ordered);
    for (std::size_t i = 0; i < n_ordered; ++i) {
        const auto position = static_cast<std::size_t>(order[i]);
        if (keep == nullptr || keep[position] != 0) kept.push_back(position);
    }
    std::size_t start = 0;
    while (start < kept.size()) {
        std::size_t end = start + 1;
        while (end < kept.size() && values[kept[end]] == values[kept[start]]) ++end;
        // Ranks start + 1 .. end share their mean, (start + 1 + end) / 2.
        const double rank = static_cast<double>(start) + static_cast<double>(end - start + 1) / 2.0;
        for (std::size_t i = start; i < end; ++i) ranks[kept[i]] = rank;
        start = end;
    }
}

double sequential_sum(const double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += values[i];
    return sum;
}

KsWasserstein ks_wasserstein_sorted(const double* x, std::size_t n_x, const double* y, std::size_t n_y) {
    const double size_x = static_cast<double>(n_x);
    const double size_y = static_cast<double>(n_y);
    std::size_t i = 0;
    std::size_t j = 0;
    double ks = 0.0;
    double wasserstein = 0.0;
    // Walk the distinct merged values in ascending order; at each, both empirical
    // distribution functions count every value <= it. Repeated values add gap * 0.
    while (i < n_x || j < n_y) {
        double value;
        if (j >= n_y || (i < n_x && x[i] <= y[j])) {
            value = x[i];
        } else {
            value = y[j];
        }
        while (i < n_x && x[i] <= value) ++i;
        while (j < n_y && y[j] <= value) ++j;
        const double gap = std::abs(static_cast<double>(i) / size_x - static_cast<double>(j) / size_y);
        ks = std::max(ks, gap);
        if (i < n_x || j < n_y) {
            const double next = (j >= n_y || (i < n_x && x[i] <= y[j])) ? x[i] : y[j];
            wasserstein += gap * (next - value);
        }
    }
    return {ks, wasserstein};
}

}  // namespace velmora::metrics
