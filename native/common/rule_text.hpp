// Checks of a rule text made before any parser sees it: its size, and whether it is a
// disjunction. The size first: Python's parser and
// pandas' evaluator recurse once per operator of a chain (`a + a + ... + a`), so a text
// of a hundred thousand operators exhausts the C stack and kills the process; pandas
// also keeps every intermediate result of a rule until it is done. Rules stated by
// people are short: longer texts are refused with a message saying why. Pure C++.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::rules {

// The longest rule text taken, in characters (code points).
inline constexpr std::size_t max_rule_characters = 10000;
// The most operators a rule text may hold: operator characters (+ - * / % < > = ! & |
// ~ ^ @, each counted) and the words and, or, not, in, is, outside string literals and
// backticked names.
inline constexpr std::size_t max_rule_operators = 100;

// Why the rule text (UTF-8) is refused, or nothing when its size is acceptable.
std::optional<std::string> rule_size_problem(std::string_view text);

// Whether `or` or `|` joins parts of the text outside parentheses, string literals and
// backticked names: then the rule holds when any part does, and no part bounds a column.
bool joins_alternatives(std::string_view text);

}  // namespace velmora::rules
