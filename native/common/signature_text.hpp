// Texts derived from a function's parameter table: the docstring signature line and
// the parts of the positional-count error message. Pure C++, no Python objects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// How an argument is checked and converted at the Python boundary.
enum class ArgKind {
    object,   // taken as given, not tested
    integer,  // exact int as is, other numbers through int()
    real,     // any real number, stored as a float
    string,   // exactly str (None only where the default is None)
    list,     // exactly list (None only where the default is None)
    boolean,  // reduced to its truth value
};

// The first member of a table whose fields must be named where they are filled: an
// initialiser that lists values by position ({"x", ...}) would have to build this
// member from its first value, which does not compile; designated initialisers skip it.
struct FieldsByName {};

// One parameter of a function's table, filled with designated initialisers:
//   {.name = "strategy", .kind = ArgKind::string, .annotation = "str", .default_text = "'resample'"}
struct ParamSpec {
    [[no_unique_address]] FieldsByName by_name = {};
    std::string_view name;  // always given
    ArgKind kind = ArgKind::object;
    std::string_view annotation = {};    // empty: no annotation
    std::string_view default_text = {};  // empty: required; otherwise a Python literal
    bool var_keyword = false;            // the **kwargs catch-all (always last)
};

// The type word a checked kind shows in a signature line ("double" for a float).
std::string_view kind_word(ArgKind kind);

// "Qual.name(self, str rule: str) -> 'Rulewarden'"
std::string signature_line(std::string_view qualname, const std::vector<ParamSpec>& params,
                           std::string_view return_annotation);

// How many positional arguments a parameter list takes.
struct PositionalRange {
    std::size_t required = 0;  // leading parameters without a default
    std::size_t maximum = 0;   // every named parameter
    bool exact() const { return required == maximum; }
};

PositionalRange positional_range(const std::vector<ParamSpec>& params);

// The pieces of "%.200s() takes %.8s %zd positional argument%.1s (%zd given)" for a
// call that found `found` positional arguments where `range` was expected.
struct CountMessageParts {
    std::string_view more_or_less;  // "exactly", "at least" or "at most"
    std::size_t expected = 0;
    std::string_view plural;  // "" or "s"
};

CountMessageParts count_message_parts(const PositionalRange& range, std::size_t found);

}  // namespace velmora
