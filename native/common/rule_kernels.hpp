// Evaluation of a parsed rule expression over typed column buffers, with numpy's and
// pandas' semantics for the handled subset: missing values (NaN) compare false and
// unequal, integers meet floats as float64, int64 arithmetic wraps, division is true
// division, a bare float32 column meets a number literal in float32. Any combination of
// types outside the subset is refused. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "rule_expression.hpp"

namespace velmora::rules {

enum class DType : std::uint8_t { boolean, int32, int64, float32, float64 };

// A contiguous column of `rows` values of `dtype` (bool: one byte, 0 or 1).
struct ColumnData {
    DType dtype = DType::float64;
    const void* data = nullptr;
};

// What the caller binds to the expression's nodes before evaluation: the data of each
// column node, and the precomputed outcome (one byte per row) of each comparison of a
// text column with a string literal, which the caller evaluates itself.
struct Inputs {
    std::size_t rows = 0;
    std::vector<std::optional<ColumnData>> node_data;  // indexed like Expression::nodes
};

// One byte per row: the truth value of each row's result. With `require_boolean` the
// expression's own result must be boolean (a comparison, a logical combination, a bool
// column); otherwise a numeric result counts as true where it is non-zero (NaN is
// true), as astype(bool) does. Nothing when the expression is outside the subset.
std::optional<std::vector<std::uint8_t>> evaluate_truth(const Expression& expression, const Inputs& inputs,
                                                        bool require_boolean);

}  // namespace velmora::rules
