#include "rule_text.hpp"

namespace velmora::rules {
namespace {

bool is_word_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool is_operator_word(std::string_view word) {
    return word == "and" || word == "or" || word == "not" || word == "in" || word == "is";
}

// Walks the text outside its string literals (to the closing quote; a backslash escapes
// the next character) and backtick-quoted names: `on_word` gets each run of word
// characters, `on_symbol` each other character. A callback returning true stops the
// walk, which then returns true.
template <typename OnWord, typename OnSymbol>
bool scan(std::string_view text, OnWord on_word, OnSymbol on_symbol) {
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\'' || c == '"') {
            ++i;
            while (i < text.size() && text[i] != c) i += text[i] == '\\' ? 2 : 1;
            ++i;
        } else if (c == '`') {
            const std::size_t close = text.find('`', i + 1);
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else if (is_word_character(c)) {
            const std::size_t start = i;
            while (i < text.size() && is_word_character(text[i])) ++i;
            if (on_word(text.substr(start, i - start))) return true;
        } else {
            if (on_symbol(c)) return true;
            ++i;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> rule_size_problem(std::string_view text) {
    std::size_t characters = 0;
    for (char c : text) {
        // Every byte of UTF-8 but the continuation bytes starts a code point.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
    }
    if (characters > max_rule_characters) {
        return "the rule is " + std::to_string(characters) + " characters long; a rule may have at most " +
               std::to_string(max_rule_characters);
    }
    std::size_t operators = 0;
    scan(
        text,
        [&](std::string_view word) {
            if (is_operator_word(word)) ++operators;
            return false;
        },
        [&](char c) {
            if (std::string_view("+-*/%<>=!&|~^@").find(c) != std::string_view::npos) ++operators;
            return false;
        });
    if (operators > max_rule_operators) {
        return "the rule holds " + std::to_string(operators) + " operators; a rule may hold at most " +
               std::to_string(max_rule_operators);
    }
    return std::nullopt;
}

bool joins_alternatives(std::string_view text) {
    int depth = 0;
    return scan(
        text, [&](std::string_view word) { return depth == 0 && word == "or"; },
        [&](char c) {
            if (c == '(' || c == '[') ++depth;
            if ((c == ')' || c == ']') && depth > 0) --depth;
            return c == '|' && depth == 0;
        });
}

}  // namespace velmora::rules
