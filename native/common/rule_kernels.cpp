#include "rule_kernels.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>
#include <variant>

namespace velmora::rules {
namespace {

// A node's value: a number literal (Python int or float: "weak" scalars that take the
// array's type where numpy would) or an array of one of the handled dtypes.
struct Value {
    bool scalar = false;
    bool scalar_is_int = false;
    std::int64_t int_value = 0;
    double real_value = 0.0;
    DType dtype = DType::float64;
    const void* data = nullptr;
    std::shared_ptr<void> storage;  // owns `data` for computed arrays
};

struct Refused {};

template <typename T>
Value owned_array(DType dtype, std::size_t rows) {
    auto buffer = std::make_shared<std::vector<T>>(rows);
    Value value;
    value.dtype = dtype;
    value.data = buffer->data();
    value.storage = buffer;
    return value;
}

bool is_integer(DType dtype) {
    return dtype == DType::int32 || dtype == DType::int64;
}

template <typename Visitor>
auto visit_array(const Value& value, Visitor&& visitor) {
    switch (value.dtype) {
        case DType::boolean:
            return visitor(static_cast<const std::uint8_t*>(value.data));
        case DType::int32:
            return visitor(static_cast<const std::int32_t*>(value.data));
        case DType::int64:
            return visitor(static_cast<const std::int64_t*>(value.data));
        case DType::float32:
            return visitor(static_cast<const float*>(value.data));
        case DType::float64:
            break;
    }
    return visitor(static_cast<const double*>(value.data));
}

template <typename T>
bool compare(CompareOp op, T a, T b) {
    switch (op) {
        case CompareOp::lt:
            return a < b;
        case CompareOp::le:
            return a <= b;
        case CompareOp::gt:
            return a > b;
        case CompareOp::ge:
            return a >= b;
        case CompareOp::eq:
            return a == b;
        case CompareOp::ne:
            break;
    }
    return a != b;
}

template <typename Domain, typename Left, typename Right>
void compare_loop(CompareOp op, Left left, Right right, std::uint8_t* out, std::size_t rows) {
    // One loop per operator keeps the comparison out of the inner loop.
    switch (op) {
        case CompareOp::lt:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) < Domain(right(i));
            break;
        case CompareOp::le:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) <= Domain(right(i));
            break;
        case CompareOp::gt:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) > Domain(right(i));
            break;
        case CompareOp::ge:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) >= Domain(right(i));
            break;
        case CompareOp::eq:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) == Domain(right(i));
            break;
        case CompareOp::ne:
            for (std::size_t i = 0; i < rows; ++i) out[i] = Domain(left(i)) != Domain(right(i));
            break;
    }
}

class Evaluator {
public:
    Evaluator(const Expression& expression, const Inputs& inputs) : expression_(expression), inputs_(inputs) {}

    Value evaluate(int index) {
        const Node& node = expression_[index];
        const auto& bound = inputs_.node_data[static_cast<std::size_t>(index)];
        if (bound) {
            // A column, or a text comparison the caller already evaluated.
            Value value;
            value.dtype = bound->dtype;
            value.data = bound->data;
            return value;
        }
        switch (node.kind) {
            case Node::Kind::int_literal: {
                Value value;
                value.scalar = value.scalar_is_int = true;
                value.int_value = node.int_value;
                return value;
            }
            case Node::Kind::real_literal: {
                Value value;
                value.scalar = true;
                value.real_value = node.real_value;
                return value;
            }
            case Node::Kind::compare:
                return compare_node(node);
            case Node::Kind::arith:
                return arith_node(node);
            case Node::Kind::logic_and:
            case Node::Kind::logic_or:
            case Node::Kind::logic_not:
                return logic_node(node);
            case Node::Kind::column:
            case Node::Kind::string_literal:
                break;
        }
        throw Refused{};  // an unbound column or a string literal out of place
    }

private:
    std::size_t rows() const { return inputs_.rows; }

    Value compare_node(const Node& node) {
        Value left = evaluate(node.left);
        Value right = evaluate(node.right);
        CompareOp op = node.compare_op;
        if (left.scalar && right.scalar) throw Refused{};
        if (left.scalar) {
            std::swap(left, right);
            op = mirrored(op);
        }
        if (left.dtype == DType::boolean || (!right.scalar && right.dtype == DType::boolean)) throw Refused{};
        Value out = owned_array<std::uint8_t>(DType::boolean, rows());
        auto* result = static_cast<std::uint8_t*>(const_cast<void*>(out.data));
        if (right.scalar) {
            compare_with_scalar(op, left, right, result);
        } else if (is_integer(left.dtype) && is_integer(right.dtype)) {
            visit_array(left, [&](auto l) {
                visit_array(right, [&](auto r) {
                    compare_loop<std::int64_t>(
                        op, [l](std::size_t i) { return l[i]; }, [r](std::size_t i) { return r[i]; }, result, rows());
                });
            });
        } else {
            // Mixed or float arrays meet as float64 (float32 values are exact in double).
            visit_array(left, [&](auto l) {
                visit_array(right, [&](auto r) {
                    compare_loop<double>(
                        op, [l](std::size_t i) { return l[i]; }, [r](std::size_t i) { return r[i]; }, result, rows());
                });
            });
        }
        return out;
    }

    void compare_with_scalar(CompareOp op, const Value& array, const Value& scalar, std::uint8_t* result) {
        switch (array.dtype) {
            case DType::float32: {
                // The literal is cast to float32 first, as pandas and numpy do. An integer
                // goes through float64 on the way (np.float32(int)), so it is rounded twice.
                double as_double = scalar.scalar_is_int ? static_cast<double>(scalar.int_value) : scalar.real_value;
                if (std::fabs(as_double) > static_cast<double>(std::numeric_limits<float>::max())) throw Refused{};
                float bound = static_cast<float>(as_double);
                const auto* data = static_cast<const float*>(array.data);
                compare_loop<float>(
                    op, [data](std::size_t i) { return data[i]; }, [bound](std::size_t) { return bound; }, result,
                    rows());
                return;
            }
            case DType::float64: {
                double bound = scalar.scalar_is_int ? static_cast<double>(scalar.int_value) : scalar.real_value;
                const auto* data = static_cast<const double*>(array.data);
                compare_loop<double>(
                    op, [data](std::size_t i) { return data[i]; }, [bound](std::size_t) { return bound; }, result,
                    rows());
                return;
            }
            case DType::int32:
            case DType::int64: {
                if (scalar.scalar_is_int) {
                    if (array.dtype == DType::int32 && (scalar.int_value < std::numeric_limits<std::int32_t>::min() ||
                                                        scalar.int_value > std::numeric_limits<std::int32_t>::max())) {
                        throw Refused{};
                    }
                    std::int64_t bound = scalar.int_value;
                    visit_array(array, [&](auto data) {
                        compare_loop<std::int64_t>(
                            op, [data](std::size_t i) { return data[i]; }, [bound](std::size_t) { return bound; },
                            result, rows());
                    });
                } else {
                    double bound = scalar.real_value;
                    visit_array(array, [&](auto data) {
                        compare_loop<double>(
                            op, [data](std::size_t i) { return data[i]; }, [bound](std::size_t) { return bound; },
                            result, rows());
                    });
                }
                return;
            }
            case DType::boolean:
                break;
        }
        throw Refused{};
    }

    // + - * / on int64 and float64 arrays and number literals.
    Value arith_node(const Node& node) {
        Value left = evaluate(node.left);
        Value right = evaluate(node.right);
        if (left.scalar && right.scalar) throw Refused{};
        auto usable = [](const Value& v) { return v.scalar || v.dtype == DType::int64 || v.dtype == DType::float64; };
        if (!usable(left) || !usable(right)) throw Refused{};
        auto int_like = [](const Value& v) { return v.scalar ? v.scalar_is_int : v.dtype == DType::int64; };
        ArithOp op = node.arith_op;
        if (op != ArithOp::div && int_like(left) && int_like(right)) {
            Value out = owned_array<std::int64_t>(DType::int64, rows());
            auto* result = static_cast<std::int64_t*>(const_cast<void*>(out.data));
            auto load = [](const Value& v) {
                return [v](std::size_t i) {
                    return static_cast<std::uint64_t>(v.scalar ? v.int_value
                                                               : static_cast<const std::int64_t*>(v.data)[i]);
                };
            };
            auto l = load(left);
            auto r = load(right);
            // Unsigned arithmetic wraps like numpy's int64 does, without undefined behaviour.
            for (std::size_t i = 0; i < rows(); ++i) {
                std::uint64_t a = l(i), b = r(i);
                std::uint64_t v = op == ArithOp::add ? a + b : op == ArithOp::sub ? a - b : a * b;
                result[i] = static_cast<std::int64_t>(v);
            }
            return out;
        }
        Value out = owned_array<double>(DType::float64, rows());
        auto* result = static_cast<double*>(const_cast<void*>(out.data));
        auto load = [](const Value& v) {
            return [v](std::size_t i) -> double {
                if (v.scalar) return v.scalar_is_int ? static_cast<double>(v.int_value) : v.real_value;
                if (v.dtype == DType::int64) return static_cast<double>(static_cast<const std::int64_t*>(v.data)[i]);
                return static_cast<const double*>(v.data)[i];
            };
        };
        auto l = load(left);
        auto r = load(right);
        switch (op) {
            case ArithOp::add:
                for (std::size_t i = 0; i < rows(); ++i) result[i] = l(i) + r(i);
                break;
            case ArithOp::sub:
                for (std::size_t i = 0; i < rows(); ++i) result[i] = l(i) - r(i);
                break;
            case ArithOp::mul:
                for (std::size_t i = 0; i < rows(); ++i) result[i] = l(i) * r(i);
                break;
            case ArithOp::div:
                for (std::size_t i = 0; i < rows(); ++i) result[i] = l(i) / r(i);
                break;
        }
        return out;
    }

    Value logic_node(const Node& node) {
        Value left = evaluate(node.left);
        if (left.scalar || left.dtype != DType::boolean) throw Refused{};
        const auto* a = static_cast<const std::uint8_t*>(left.data);
        Value out = owned_array<std::uint8_t>(DType::boolean, rows());
        auto* result = static_cast<std::uint8_t*>(const_cast<void*>(out.data));
        // A bool column may hold bytes other than 0 and 1 (a bool view of integers);
        // numpy reads every non-zero byte as True, so the bytes are compared with 0.
        if (node.kind == Node::Kind::logic_not) {
            for (std::size_t i = 0; i < rows(); ++i) result[i] = a[i] == 0;
            return out;
        }
        Value right = evaluate(node.right);
        if (right.scalar || right.dtype != DType::boolean) throw Refused{};
        const auto* b = static_cast<const std::uint8_t*>(right.data);
        if (node.kind == Node::Kind::logic_and) {
            for (std::size_t i = 0; i < rows(); ++i) result[i] = (a[i] != 0) & (b[i] != 0);
        } else {
            for (std::size_t i = 0; i < rows(); ++i) result[i] = (a[i] != 0) | (b[i] != 0);
        }
        return out;
    }

    const Expression& expression_;
    const Inputs& inputs_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> evaluate_truth(const Expression& expression, const Inputs& inputs,
                                                        bool require_boolean) {
    if (expression.root < 0 || inputs.node_data.size() != expression.nodes.size()) return std::nullopt;
    try {
        Value value = Evaluator(expression, inputs).evaluate(expression.root);
        if (value.scalar) return std::nullopt;  // a scalar result is pandas' business
        if (require_boolean && value.dtype != DType::boolean) return std::nullopt;
        if (value.dtype == DType::boolean && value.storage && value.storage.use_count() == 1) {
            // A computed boolean array is already the answer: hand its buffer over.
            return std::move(*std::static_pointer_cast<std::vector<std::uint8_t>>(value.storage));
        }
        std::vector<std::uint8_t> truth(inputs.rows);
        visit_array(value, [&](auto data) {
            for (std::size_t i = 0; i < inputs.rows; ++i) truth[i] = data[i] != 0;
        });
        return truth;
    } catch (const Refused&) {
        return std::nullopt;
    }
}

}  // namespace velmora::rules
