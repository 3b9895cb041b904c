#include "rule_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmora::rules {
namespace {

std::string chain(std::size_t operators) {
    std::string text = "a";
    for (std::size_t i = 0; i < operators; ++i) text += "+a";
    return text + " > 0";
}

TEST(RuleSize, OperatorsAreCountedOutsideLiteralsAndNames) {
    EXPECT_FALSE(rule_size_problem("if age < 18 then income == 0 and not flag").has_value());
    EXPECT_FALSE(rule_size_problem(chain(max_rule_operators - 1)).has_value());
    EXPECT_EQ(rule_size_problem(chain(max_rule_operators)).value_or(""),
              "the rule holds 101 operators; a rule may hold at most 100");
    // Operators inside text literals and backticked names, and words holding "or", do not count.
    const std::string quoted = "name == '" + std::string(500, '+') + "' or `a" + std::string(200, '-') + "` > 1";
    EXPECT_FALSE(rule_size_problem(quoted).has_value());
    EXPECT_FALSE(rule_size_problem("order > 1 and origin < 2 and notes == 'in'").has_value());
    EXPECT_TRUE(rule_size_problem(std::string(200, '~') + "a").has_value());
}

TEST(RuleSize, LengthIsCountedInCharacters) {
    EXPECT_FALSE(rule_size_problem("name == '" + std::string(max_rule_characters - 11, 'x') + "'").has_value());
    // Two bytes per character in UTF-8: still within the limit.
    std::string accented;
    for (std::size_t i = 0; i < max_rule_characters - 11; ++i) accented += "\xc3\xa9";
    EXPECT_FALSE(rule_size_problem("name == '" + accented + "'").has_value());
    EXPECT_EQ(rule_size_problem("name == '" + std::string(max_rule_characters, 'x') + "'").value_or(""),
              "the rule is 10010 characters long; a rule may have at most 10000");
}

TEST(RuleText, AlternativesAreFoundOutsideParenthesesAndLiterals) {
    EXPECT_TRUE(joins_alternatives("age < 18 or income == 0"));
    EXPECT_TRUE(joins_alternatives("age < 18 | income == 0"));
    EXPECT_TRUE(joins_alternatives("age > 0 and b > 1 or c > 2"));
    EXPECT_FALSE(joins_alternatives("age > 0 and (b > 1 or c > 2)"));
    EXPECT_FALSE(joins_alternatives("age > 0 and name == 'x or y' and `a|b` > 1"));
    EXPECT_FALSE(joins_alternatives("order > 1 and origin < 2"));
}

}  // namespace
}  // namespace velmora::rules
