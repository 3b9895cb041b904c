// Distances between the rows of dense numeric matrices: the k nearest reference rows of
// each query row, the matrix of squared distances between all pairs of rows, and the
// Gaussian kernel sums of an MMD. Pure C++ on plain pointers; every result is the same
// sequence of IEEE operations as the plain numpy computation it replaces, so the two
// agree bit for bit (the kernel sums only to rounding: std::exp and numpy's vectorised
// exp may differ in the last place).
#pragma once

#include <cstddef>
#include <cstdint>

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

// Sum of `values` accumulated in index order from 0.0.
double sequential_sum(const double* values, std::size_t n);

}  // namespace velmora::metrics
