// Row masks gathered across rules: each rule's violating rows are OR-ed into one
// accumulator, so labels are looked up once at the end instead of once per rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// ORs `mask` (one byte per row, 0 or 1) into `accumulator`, inverting it first when
// `invert` is set; returns how many rows of the (possibly inverted) mask are set.
std::size_t or_into(std::uint8_t* accumulator, const std::uint8_t* mask, std::size_t rows, bool invert);

// How many rows are set.
std::size_t count_set(const std::uint8_t* mask, std::size_t rows);

// The labels start + step * position of the set rows, written to `out` in ascending
// order. `out` must hold count_set(mask, rows) + 1 values: the loop writes every row's
// label and advances only past set rows, which keeps unpredictable masks fast.
void range_labels(const std::uint8_t* mask, std::size_t rows, std::int64_t start, std::int64_t step, std::int64_t* out);

// Positions of the set rows, ascending.
std::vector<std::int64_t> set_positions(const std::uint8_t* mask, std::size_t rows);

}  // namespace velmora
