// Nearest neighbours in a coded feature space, where rows hold numbers and category
// codes: the exact k nearest reference rows of the one-hot space the codes stand for,
// found from the codes, with whole blocks of reference rows left once they cannot
// enter. Pure C++ on plain pointers; the results equal, bit for bit, those of
// nearest_neighbours (dense_distances.hpp) on the one-hot rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::metrics {

// Rows of a coded feature space: each feature is a number or a category code (a whole
// number stored as a double). A pair's squared distance is the one of the one-hot space
// the codes stand for, summed in feature order from 0.0: a number adds (q - r) * (q - r);
// a category adds nothing when the two codes are equal and `half` twice when they
// differ, `half` being the square of the one-hot indicator value. The one-hot sum adds
// the same two terms in the same order (its other terms are zeros, which leave a sum of
// squares unchanged), so both give the same bits.
struct CodedSpace {
    const std::uint8_t* categorical;  // one per feature: 1 for a category code, 0 for a number
    std::size_t n_features;
    double half;
};

// Reference rows prepared for coded_nearest_neighbours: put in an order that keeps runs
// of consecutive rows close together (median splits on the numbers, one after another,
// down to runs of one block), stored block by block (each block's features one after
// another, each feature as one run of `block_rows` values), with the original positions.
class CodedReference {
public:
    static constexpr std::size_t block_rows = 8;

    CodedReference(const double* rows, std::size_t n_rows, const CodedSpace& space);

    std::size_t size() const { return n_rows_; }
    std::size_t n_blocks() const { return (n_rows_ + block_rows - 1) / block_rows; }
    const double* block(std::size_t b) const { return values_.data() + b * block_rows * space_.n_features; }
    std::int64_t position(std::size_t ordered) const { return positions_[ordered]; }
    const CodedSpace& space() const { return space_; }

    // Blocks per tile: the unit of the sweep, with a bounding box of its rows.
    static constexpr std::size_t tile_blocks = 32;
    std::size_t n_tiles() const { return (n_blocks() + tile_blocks - 1) / tile_blocks; }
    // A lower bound of the squared distance from `query` to every row of the tile, never
    // above the distance kernel's own sum for any of them: per number the gap to the
    // tile's range squared, per category a differing code counted when no row of the
    // tile has the query's code, added in feature order.
    double tile_bound(const double* query, std::size_t tile) const;

private:
    static std::size_t code_bit(double code);

    CodedSpace space_;
    std::size_t n_rows_;
    std::vector<double> values_;
    std::vector<std::int64_t> positions_;
    // Per tile and feature: the range of a number, or for a category a mask of the codes
    // 0..63 present (bit 63 also standing for every other code).
    std::vector<double> low_;
    std::vector<double> high_;
    std::vector<std::uint64_t> codes_;
};

// An order of `rows` (row-major, space.n_features each) in which runs of consecutive rows
// lie close together: the rows are split at the median of one number, then each half at
// the median of the next number, and so on down to runs of at most `leaf` rows, every
// split at a multiple of `leaf`. Without numbers the order is the identity.
std::vector<std::int64_t> proximity_order(const double* rows, std::size_t n_rows, const CodedSpace& space,
                                          std::size_t leaf);

// For query rows order[first, last) (row-major, space.n_features each): the k nearest
// reference rows, nearest first, ties to the lower original position, as in
// nearest_neighbours on the one-hot rows. `distances` and `positions` are indexed by the
// query row itself (row q at q * k). Exact: a block of reference rows is left once the
// running sums of all its rows exceed the query's current k-th smallest squared
// distance, which the rest of the sum cannot lower. Needs 1 <= k <= reference.size().
// Queries are searched in groups of this many (a range that starts at a multiple of it
// searches whole groups; any range gives the same result).
inline constexpr std::size_t coded_query_group = 128;
void coded_nearest_neighbours(const double* query_rows, const std::int64_t* order, std::size_t first, std::size_t last,
                              const CodedReference& reference, std::size_t k, double* distances,
                              std::int64_t* positions);

}  // namespace velmora::metrics
