// The split of an implication rule "if CONDITION then CONSEQUENCE" into its two parts,
// in linear time. The result is exactly that of Python's
//     re.match(r"if\s+(.+?)\s+then\s+(.+)", text, re.IGNORECASE)
// on a str (\s being str.isspace(), "." anything but a line feed, the letters of "if"
// and "then" in any case as re folds them), whose backtracking takes cubic time on texts
// such as "if" followed by thousands of spaces and no "then". Pure C++, on code points.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace velmora::rules {

// Code-point ranges [begin, end) of the two groups of the match.
struct ConditionalParts {
    std::size_t condition_begin;
    std::size_t condition_end;
    std::size_t consequence_begin;
    std::size_t consequence_end;
};

std::optional<ConditionalParts> match_conditional(std::u32string_view text);

// Whether `c` is whitespace for str.isspace() (and for re's \s on str).
bool is_python_space(char32_t c);

}  // namespace velmora::rules
