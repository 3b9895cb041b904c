#include "coded_neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lanes.hpp"
#include "target_clones.hpp"
#include "top_k.hpp"

namespace velmora::metrics {

namespace {

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
                                     std::size_t b_last, TopK& top) {
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
    std::vector<TopK> best;
    for (std::size_t g0 = first; g0 < last; g0 += query_group) {
        const std::size_t count = std::min(query_group, last - g0);
        best.assign(count, TopK(k));
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

}  // namespace velmora::metrics
