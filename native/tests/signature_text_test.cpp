#include "signature_text.hpp"

#include <gtest/gtest.h>

#include <ostream>

namespace velmora {
namespace {

TEST(SignatureLine, KindsAnnotationsDefaultsAndReturn) {
    std::vector<ParamSpec> params{
        {.name = "self"},
        {.name = "df", .annotation = "pd.DataFrame"},
        {.name = "strategy", .kind = ArgKind::string, .annotation = "str", .default_text = "'resample'"}};
    EXPECT_EQ(signature_line("ConstraintViolationReport.fix", params, "pd.DataFrame"),
              "ConstraintViolationReport.fix(self, df: pd.DataFrame, str strategy: str = 'resample') -> pd.DataFrame");
}

TEST(SignatureLine, EveryCheckedKindHasItsWord) {
    std::vector<ParamSpec> params{
        {.name = "a", .kind = ArgKind::integer, .annotation = "int", .default_text = "1"},
        {.name = "b", .kind = ArgKind::real, .annotation = "float", .default_text = "0.5"},
        {.name = "c", .kind = ArgKind::list, .annotation = "Optional[List[str]]", .default_text = "None"},
        {.name = "d", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "True"}};
    EXPECT_EQ(signature_line("f", params, ""),
              "f(int a: int = 1, double b: float = 0.5, list c: Optional[List[str]] = None, bool d: bool = True)");
}

TEST(SignatureLine, BareDefaultAndVarKeyword) {
    std::vector<ParamSpec> params{
        {.name = "self"}, {.name = "generator", .default_text = "None"}, {.name = "kwargs", .var_keyword = true}};
    EXPECT_EQ(signature_line("T.evaluate", params, "'EvaluationReport'"),
              "T.evaluate(self, generator = None, **kwargs) -> 'EvaluationReport'");
}

TEST(SignatureLine, NoParameters) {
    EXPECT_EQ(signature_line("f", {}, ""), "f()");
}

struct CountCase {
    std::size_t required, maximum, found;
    const char* more_or_less;
    std::size_t expected;
    const char* plural;
};

void PrintTo(const CountCase& c, std::ostream* os) {
    *os << c.required << ".." << c.maximum << " given " << c.found;
}

class CountMessage : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountMessage, PicksWordsAndNumber) {
    const CountCase& c = GetParam();
    std::vector<ParamSpec> params;
    params.reserve(c.maximum);
    for (std::size_t i = 0; i < c.maximum; ++i) {
        params.push_back({.name = "p", .default_text = i < c.required ? "" : "None"});
    }
    PositionalRange range = positional_range(params);
    ASSERT_EQ(range.required, c.required);
    ASSERT_EQ(range.maximum, c.maximum);
    CountMessageParts parts = count_message_parts(range, c.found);
    EXPECT_EQ(parts.more_or_less, c.more_or_less);
    EXPECT_EQ(parts.expected, c.expected);
    EXPECT_EQ(parts.plural, c.plural);
}

INSTANTIATE_TEST_SUITE_P(Cases, CountMessage,
                         ::testing::Values(CountCase{2, 2, 1, "exactly", 2, "s"}, CountCase{2, 2, 3, "exactly", 2, "s"},
                                           CountCase{1, 1, 2, "exactly", 1, ""}, CountCase{2, 6, 1, "at least", 2, "s"},
                                           CountCase{2, 6, 7, "at most", 6, "s"}, CountCase{1, 5, 6, "at most", 5, "s"},
                                           CountCase{0, 0, 1, "exactly", 0, "s"}));

TEST(PositionalRange, VarKeywordIsNotPositional) {
    std::vector<ParamSpec> params{
        {.name = "self"}, {.name = "x", .default_text = "None"}, {.name = "kwargs", .var_keyword = true}};
    PositionalRange range = positional_range(params);
    EXPECT_EQ(range.required, 1u);
    EXPECT_EQ(range.maximum, 2u);
}

}  // namespace
}  // namespace velmora
