// Sorting and ranking one column of doubles: a stable ascending order with the
// non-finite values last, and average ranks along such an order. Pure C++ on plain
// pointers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::metrics {

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

}  // namespace velmora::metrics
