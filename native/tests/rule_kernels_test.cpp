#include "rule_kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

namespace velmora::rules {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// Binds named columns to an expression's column nodes.
struct Frame {
    std::size_t rows;
    std::map<std::string, ColumnData> columns;

    std::optional<std::vector<std::uint8_t>> truth(std::string_view text, bool require_boolean = false) const {
        auto expression = parse_expression(text);
        if (!expression) return std::nullopt;
        Inputs inputs;
        inputs.rows = rows;
        for (const Node& node : expression->nodes) {
            auto found = node.kind == Node::Kind::column ? columns.find(node.text) : columns.end();
            inputs.node_data.push_back(found == columns.end() ? std::nullopt
                                                              : std::optional<ColumnData>(found->second));
        }
        return evaluate_truth(*expression, inputs, require_boolean);
    }
};

using Bytes = std::vector<std::uint8_t>;

class Kernels : public ::testing::Test {
protected:
    double f64[4] = {1.5, nan, -2.0, 0.0};
    float f32[4] = {0.1f, 1.0f, static_cast<float>(nan), -3.0f};
    std::int64_t i64[4] = {std::numeric_limits<std::int64_t>::max(), -1, 0, 9007199254740993};
    std::int32_t i32[4] = {5, -5, 0, 7};
    std::uint8_t flags[4] = {1, 0, 1, 0};
    Frame frame{4,
                {{"a", {DType::float64, f64}},
                 {"f", {DType::float32, f32}},
                 {"i", {DType::int64, i64}},
                 {"j", {DType::int32, i32}},
                 {"b", {DType::boolean, flags}}}};
};

TEST_F(Kernels, MissingValuesCompareFalseAndUnequal) {
    EXPECT_EQ(frame.truth("a > 0"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(frame.truth("a <= 0"), (Bytes{0, 0, 1, 1}));
    EXPECT_EQ(frame.truth("a == a"), (Bytes{1, 0, 1, 1}));
    EXPECT_EQ(frame.truth("a != a"), (Bytes{0, 1, 0, 0}));
}

TEST_F(Kernels, Float32MeetsLiteralsInFloat32) {
    EXPECT_EQ(frame.truth("f == 0.1"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(frame.truth("0.1 == f"), (Bytes{1, 0, 0, 0}));
    // Against a float64 column the float32 value is widened instead.
    double tenth[4] = {0.1, 0.1, 0.1, 0.1};
    Frame mixed = frame;
    mixed.columns["t"] = {DType::float64, tenth};
    EXPECT_EQ(mixed.truth("f == t"), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(frame.truth("f > 1e39"), std::nullopt);
}

TEST(KernelsBoolean, AnyNonZeroByteIsTrue) {
    std::uint8_t t[4] = {2, 0, 1, 3};
    std::uint8_t u[4] = {1, 1, 0, 2};
    Frame frame{4, {{"t", {DType::boolean, t}}, {"u", {DType::boolean, u}}}};
    EXPECT_EQ(frame.truth("~t"), (Bytes{0, 1, 0, 0}));
    EXPECT_EQ(frame.truth("t & u"), (Bytes{1, 0, 0, 1}));
    EXPECT_EQ(frame.truth("t | u"), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(frame.truth("t", true), (Bytes{1, 0, 1, 1}));
}

TEST(KernelsFloat32, IntegerLiteralIsRoundedThroughFloat64) {
    // 2**60 + 2**36 + 1 becomes 2**60 + 2**36 in float64, a tie that float32 rounds down
    // to 2**60; rounded directly to float32 it would go up to 2**60 + 2**37.
    float values[2] = {1152921504606846976.0f, 1152921642045800448.0f};
    Frame frame{2, {{"f", {DType::float32, values}}}};
    EXPECT_EQ(frame.truth("f == 1152921573326323713"), (Bytes{1, 0}));
    EXPECT_EQ(frame.truth("f == -1152921573326323713"), (Bytes{0, 0}));
}

TEST_F(Kernels, IntegersCompareExactlyWithIntegersAndAsFloat64WithFloats) {
    EXPECT_EQ(frame.truth("i == 9007199254740993"), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(frame.truth("i == 9007199254740992.0"), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(frame.truth("j > i"), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(frame.truth("j >= -5"), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(frame.truth("j > 3000000000"), std::nullopt);
}

TEST_F(Kernels, Int64ArithmeticWrapsAndDivisionIsTrue) {
    EXPECT_EQ(frame.truth("i + 1 < 0"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(frame.truth("i / 0 > 0"), (Bytes{1, 0, 0, 1}));
    EXPECT_EQ(frame.truth("i / 0 != i / 0"), (Bytes{0, 0, 1, 0}));
    EXPECT_EQ(frame.truth("a * 2 - 1 > 1"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(frame.truth("f + 1 > 0"), std::nullopt);
    EXPECT_EQ(frame.truth("j * 2 > 0"), std::nullopt);
}

TEST_F(Kernels, LogicNeedsBooleans) {
    EXPECT_EQ(frame.truth("b & (a > 0) | ~b"), (Bytes{1, 1, 0, 1}));
    EXPECT_EQ(frame.truth("not b"), (Bytes{0, 1, 0, 1}));
    EXPECT_EQ(frame.truth("a & b"), std::nullopt);
    EXPECT_EQ(frame.truth("~a"), std::nullopt);
    EXPECT_EQ(frame.truth("b > 0"), std::nullopt);
}

TEST_F(Kernels, TruthOfNumericResults) {
    EXPECT_EQ(frame.truth("a"), (Bytes{1, 1, 1, 0}));
    EXPECT_EQ(frame.truth("j"), (Bytes{1, 1, 0, 1}));
    EXPECT_EQ(frame.truth("a", true), std::nullopt);
    EXPECT_EQ(frame.truth("b", true), (Bytes{1, 0, 1, 0}));
}

TEST_F(Kernels, RefusesWhatItCannotBind) {
    EXPECT_EQ(frame.truth("missing > 1"), std::nullopt);
    EXPECT_EQ(frame.truth("1 > 2"), std::nullopt);
    EXPECT_EQ(frame.truth("s == 'x'"), std::nullopt);
}

TEST(KernelsEmpty, ZeroRows) {
    Frame empty{0, {{"a", {DType::float64, nullptr}}}};
    EXPECT_EQ(empty.truth("a > 1 and a < 2"), Bytes{});
}

}  // namespace
}  // namespace velmora::rules
