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

// Positions of the set rows, ascending.
std::vector<std::int64_t> set_positions(const std::uint8_t* mask, std::size_t rows);

}  // namespace velmora
