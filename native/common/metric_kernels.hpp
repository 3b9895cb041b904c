// Numeric kernels of the evaluation metrics: nearest-neighbour distances, Gaussian
// kernel sums and the two-sample KS / Wasserstein statistics. Pure C++ on plain
// pointers; every result is the same sequence of IEEE operations as the plain numpy
// computation it replaces, so the two agree bit for bit (the kernel sums only to
// rounding: std::exp and numpy's vectorised exp may differ in the last place).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::metrics {

// Rows are stored two ways: `rows` is row-major (row r, feature f at r * n_features + f);
// `columns` is feature-major (feature f, row r at f * n_rows + r), so that a loop over
// rows reads one contiguous run per feature.

// For query rows [first, last): the k nearest reference rows, nearest first. The squared
// distance of a pair is summed feature by feature in feature order starting from 0.0;
// rows at equal squared distance are ranked by position; `distances` receives the
// square roots. With `exclude_self` the query rows are the reference rows and each
// row's own position is skipped. Outputs are row-major (query row, rank), k per row.
// Needs k >= 1 and at least k eligible reference rows.
void nearest_neighbours(const double* query_rows, std::size_t n_query, const double* reference_columns,
                        std::size_t n_reference, std::size_t n_features, std::size_t k, bool exclude_self,
                        std::size_t first, std::size_t last, double* distances, std::int64_t* positions);

// For rows i in [first, last) of `a`: the sum over reference rows j (all of them, or
// only j > i when `upper`) of exp(-gamma * |a_i - b_j|^2), accumulated in ascending j
// from 0.0, written to row_sums[i]. The squared distance is summed as in
// nearest_neighbours; the kernel value is exp((-gamma) * d2).
void rbf_row_sums(const double* a_rows, std::size_t n_a, const double* b_columns, std::size_t n_b,
                  std::size_t n_features, double gamma, bool upper, std::size_t first, std::size_t last,
                  double* row_sums);

// Rows [first, last) of the matrix of squared distances between all pairs of `rows`:
// out[i * n_rows + j] is summed as in nearest_neighbours, row i taken as the query, so
// it equals numpy's sum of (rows[i, f] - rows[j, f]) ** 2 added feature by feature from
// 0.0, for any values.
void pairwise_squared_distances(const double* rows, const double* columns, std::size_t n_rows, std::size_t n_features,
                                std::size_t first, std::size_t last, double* out);

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

// Positions of `values` in ascending order of value, the non-finite values (NaN and
// infinities) last in their original order, equal values in their original order (a
// stable sort; -0.0 equals 0.0). Returns how many values are finite.
std::size_t finite_argsort(const double* values, std::size_t n, std::int64_t* order);

// Average ranks (1-based; tied values share the mean of their ranks, as pandas'
// rank(method="average")) of values[order[0]], ..., values[order[n_ordered - 1]], an
// ascending run of positions, keeping only the positions p with keep[p] != 0 (all when
// `keep` is null) and ranking them among themselves: ranks[p] receives the rank of each
// kept position; other entries of `ranks` are left as they are.
void average_ranks(const double* values, const std::int64_t* order, std::size_t n_ordered, const std::uint8_t* keep,
                   double* ranks);

// Sum of `values` accumulated in index order from 0.0.
double sequential_sum(const double* values, std::size_t n);

struct KsWasserstein {
    double ks;           // max over the merged sample of |F_x - F_y|
    double wasserstein;  // sum of |F_x - F_y| times the gap to the next merged value
};

// Both statistics of two ascending samples without NaN (n_x, n_y >= 1). F_x(v) is
// (number of x <= v) / n_x; the Wasserstein sum runs over the merged values in
// ascending order and is accumulated in that order from 0.0.
KsWasserstein ks_wasserstein_sorted(const double* x, std::size_t n_x, const double* y, std::size_t n_y);

}  // namespace velmora::metrics
