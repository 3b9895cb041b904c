#include "rule_expression.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

namespace velmora::rules {
namespace {

// A compact rendering of the tree, to check the shape the parser builds.
std::string render(const Expression& e, int index) {
    const Node& n = e[index];
    switch (n.kind) {
        case Node::Kind::column:
            return n.text;
        case Node::Kind::int_literal:
            return std::to_string(n.int_value);
        case Node::Kind::real_literal:
            return "r" + std::to_string(n.real_value);
        case Node::Kind::string_literal:
            return "'" + n.text + "'";
        case Node::Kind::compare: {
            static const char* ops[] = {"<", "<=", ">", ">=", "==", "!="};
            return "(" + render(e, n.left) + ops[static_cast<int>(n.compare_op)] + render(e, n.right) + ")";
        }
        case Node::Kind::arith: {
            static const char* ops[] = {"+", "-", "*", "/"};
            return "(" + render(e, n.left) + ops[static_cast<int>(n.arith_op)] + render(e, n.right) + ")";
        }
        case Node::Kind::logic_and:
            return "and(" + render(e, n.left) + "," + render(e, n.right) + ")";
        case Node::Kind::logic_or:
            return "or(" + render(e, n.left) + "," + render(e, n.right) + ")";
        case Node::Kind::logic_not:
            return "not(" + render(e, n.left) + ")";
    }
    return "?";
}

std::string parsed(std::string_view text) {
    auto e = parse_expression(text);
    return e ? render(*e, e->root) : "REFUSED";
}

struct Case {
    const char* text;
    const char* tree;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.text;
}

class ParseShape : public ::testing::TestWithParam<Case> {};

TEST_P(ParseShape, Builds) {
    EXPECT_EQ(parsed(GetParam().text), GetParam().tree) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Accepted, ParseShape,
                         ::testing::Values(Case{"age > 0", "(age>0)"}, Case{"a>=-1.5", "(a>=r-1.500000)"},
                                           Case{"a + b * 2 < c / 4 - 1", "((a+(b*2))<((c/4)-1))"},
                                           Case{"a > 1 & b < 2 | c == 3", "or(and((a>1),(b<2)),(c==3))"},
                                           Case{"a > 1 or b < 2 and not c == 3", "or((a>1),and((b<2),not((c==3))))"},
                                           Case{"~(a > 1) & f", "and(not((a>1)),f)"}, Case{"s == 'x y'", "(s=='x y')"},
                                           Case{"\"q\" != s", "('q'!=s)"}, Case{"(a)", "a"}, Case{"1 < a", "(1<a)"},
                                           Case{".5 <= a", "(r0.500000<=a)"}, Case{"a > 1e3", "(a>r1000.000000)"},
                                           Case{"not not f", "not(not(f))"}, Case{"a - -2", "(a--2)"},
                                           Case{"a > 1.", "(a>r1.000000)"}));

class ParseRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseRefused, LeavesTheTextToPandas) {
    EXPECT_EQ(parsed(GetParam()), "REFUSED") << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Refused, ParseRefused,
                         ::testing::Values("", "a >", "1 < a < 3", "a ** 2 > 1", "a // 2 > 1", "a % 2 == 0", "a in [1]",
                                           "a is None", "@x > 1", "`a b` > 1", "f(a) > 1", "a.b > 1", "a > 007",
                                           "a > 1_000", "a > 1j", "a > 0x10", "-a > 1", "+1 < a",
                                           "a > 99999999999999999999", "s == 'it\\'s'", "s == 'x", "a = 1",
                                           "a > 1\nb > 2", "(a > 1", "a > 1)", "a <> 1", "a && b", "True", "a > None",
                                           "a ^ b", "a << 1", "a > 1e999", "a >= 1.e",
                                           "s == 'a\x0c"
                                           "b'",
                                           "s == 'a\x1e"
                                           "b'",
                                           "s == 'a\xc2\x85"
                                           "b'",
                                           "s == 'a\xe2\x80\xa8"
                                           "b'"));

std::string repeated(std::string_view piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// Depth 100 is the limit: a comparison under 98 `not`s, or 100 terms added up, is at it.
TEST(Depth, DeepTextsAreRefusedNotOverflowed) {
    EXPECT_NE(parsed(repeated("not ", 98) + "a > 0"), "REFUSED");
    EXPECT_EQ(parsed(repeated("not ", 99) + "a > 0"), "REFUSED");
    EXPECT_EQ(parsed(repeated("(", 8000) + "a > 0" + repeated(")", 8000)), "REFUSED");
    EXPECT_EQ(parsed(repeated("not ", 100000) + "f"), "REFUSED");
    EXPECT_EQ(parsed(repeated("~", 100000) + "f"), "REFUSED");
    EXPECT_EQ(parsed(repeated("a + ", 100000) + "a > 0"), "REFUSED");
    EXPECT_EQ(parsed(repeated("(a > 0) & ", 100000) + "(a > 0)"), "REFUSED");
    EXPECT_NE(parsed(repeated("a + ", 99) + "a"), "REFUSED");
    EXPECT_EQ(parsed(repeated("a + ", 100) + "a"), "REFUSED");
}

TEST(Mirrored, SwapsOrderingOnly) {
    EXPECT_EQ(mirrored(CompareOp::lt), CompareOp::gt);
    EXPECT_EQ(mirrored(CompareOp::ge), CompareOp::le);
    EXPECT_EQ(mirrored(CompareOp::eq), CompareOp::eq);
    EXPECT_EQ(mirrored(CompareOp::ne), CompareOp::ne);
}

}  // namespace
}  // namespace velmora::rules
