// The rule expressions the native evaluator handles: a parser for the common shapes of
// pandas' DataFrame.eval language (comparisons, + - * /, and/or/not, & | ~,
// parentheses, number and string literals, column names). Anything outside that subset
// is refused, so that the caller can hand the text to pandas instead. Pure C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::rules {

enum class CompareOp { lt, le, gt, ge, eq, ne };
enum class ArithOp { add, sub, mul, div };

struct Node {
    enum class Kind {
        column,
        int_literal,
        real_literal,
        string_literal,
        compare,
        arith,
        logic_and,
        logic_or,
        logic_not
    };
    Kind kind = Kind::column;
    std::string text;  // the column name, or a string literal's content (UTF-8)
    std::int64_t int_value = 0;
    double real_value = 0.0;
    CompareOp compare_op = CompareOp::eq;
    ArithOp arith_op = ArithOp::add;
    int left = -1;  // operand nodes; logic_not uses `left` only
    int right = -1;
};

struct Expression {
    std::vector<Node> nodes;
    int root = -1;
    const Node& operator[](int index) const { return nodes[static_cast<std::size_t>(index)]; }
};

// The deepest expression tree the parser accepts (a leaf has depth 1). The parser and
// the evaluators recurse once per level, so deeper texts (thousands of nested
// parentheses, of `not`, or of terms chained with `+`) are refused rather than allowed
// to exhaust the stack; pandas then decides about them.
inline constexpr int max_expression_depth = 100;

// The parsed expression, or nothing when the text is outside the handled subset (or is
// not a valid expression at all, or is deeper than max_expression_depth). Precedence
// follows Python's with `&` and `|` read as `and` and `or`, as pandas does:
// or < and < not < comparison < + - < * / < unary.
std::optional<Expression> parse_expression(std::string_view text);

// The mirror of a comparison, for swapping its operands: a < b is b > a.
CompareOp mirrored(CompareOp op);

}  // namespace velmora::rules
