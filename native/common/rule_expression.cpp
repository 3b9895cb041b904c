#include "rule_expression.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace velmora::rules {
namespace {

enum class TokenKind { name, integer, real, string, op, end };

struct Token {
    TokenKind kind = TokenKind::end;
    std::string_view text;
    std::int64_t int_value = 0;
    double real_value = 0.0;
};

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
    return is_name_start(c) || is_digit(c);
}

// Whether `rest` starts with a character that DataFrame.eval cannot take inside a
// string literal: a line break of str.splitlines() (eval splits its text into lines
// there) or NUL (Python source cannot hold it).
bool breaks_eval_text(std::string_view rest) {
    const auto byte = static_cast<unsigned char>(rest[0]);
    if (byte == '\0' || byte == '\n' || byte == '\r' || byte == 0x0b || byte == 0x0c ||
        (byte >= 0x1c && byte <= 0x1e)) {
        return true;
    }
    // U+0085, U+2028 and U+2029 in UTF-8.
    return rest.substr(0, 2) == "\xc2\x85" || rest.substr(0, 3) == "\xe2\x80\xa8" ||
           rest.substr(0, 3) == "\xe2\x80\xa9";
}

// Python keywords other than and/or/not: none of them can be a column name here.
bool is_other_keyword(std::string_view word) {
    static constexpr std::string_view keywords[] = {
        "False", "None",   "True",     "as",     "assert",  "async",  "await", "break",  "class", "continue", "def",
        "del",   "elif",   "else",     "except", "finally", "for",    "from",  "global", "if",    "import",   "in",
        "is",    "lambda", "nonlocal", "pass",   "raise",   "return", "try",   "while",  "with",  "yield"};
    for (std::string_view keyword : keywords) {
        if (word == keyword) return true;
    }
    return false;
}

// Splits the text into tokens; false for any character or form outside the subset.
bool tokenize(std::string_view text, std::vector<Token>& tokens) {
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        Token token;
        std::size_t start = i;
        if (is_name_start(c)) {
            while (i < text.size() && is_name_char(text[i])) ++i;
            token.kind = TokenKind::name;
        } else if (is_digit(c) || (c == '.' && i + 1 < text.size() && is_digit(text[i + 1]))) {
            bool real = false;
            while (i < text.size() && is_digit(text[i])) ++i;
            if (i < text.size() && text[i] == '.') {
                real = true;
                ++i;
                while (i < text.size() && is_digit(text[i])) ++i;
            }
            if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
                real = true;
                ++i;
                if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
                if (i >= text.size() || !is_digit(text[i])) return false;
                while (i < text.size() && is_digit(text[i])) ++i;
            }
            // "1a", "1j", "1_0", "1.e": not plain decimal literals.
            if (i < text.size() && (is_name_char(text[i]) || text[i] == '.')) return false;
            std::string_view digits = text.substr(start, i - start);
            if (real) {
                token.kind = TokenKind::real;
                auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), token.real_value);
                if (error != std::errc() || end != digits.data() + digits.size()) return false;
                if (!std::isfinite(token.real_value)) return false;
            } else {
                // Python rejects leading zeros ("007"); leave such text to pandas.
                if (digits.size() > 1 && digits[0] == '0') return false;
                token.kind = TokenKind::integer;
                auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), token.int_value);
                if (error != std::errc() || end != digits.data() + digits.size()) return false;
            }
        } else if (c == '\'' || c == '"') {
            ++i;
            while (i < text.size() && text[i] != c) {
                if (text[i] == '\\' || breaks_eval_text(text.substr(i))) return false;
                ++i;
            }
            if (i >= text.size()) return false;
            ++i;
            token.kind = TokenKind::string;
            token.text = text.substr(start + 1, i - start - 2);
            // A literal directly followed by another one, or by a name, is not plain.
            if (i < text.size() && (text[i] == '\'' || text[i] == '"' || is_name_char(text[i]))) return false;
            tokens.push_back(token);
            continue;
        } else {
            static constexpr std::string_view two_char_ops[] = {"<=", ">=", "==", "!="};
            static constexpr std::string_view one_char_ops = "()+-*/<>&|~";
            std::string_view rest = text.substr(i);
            bool matched = false;
            for (std::string_view op : two_char_ops) {
                if (rest.substr(0, 2) == op) {
                    i += 2;
                    matched = true;
                    break;
                }
            }
            if (!matched) {
                if (one_char_ops.find(c) == std::string_view::npos) return false;
                // "**", "//", "<<", ">>", "||", "&&", "=": outside the subset.
                if (i + 1 < text.size() && std::string_view("*/<>&|=").find(text[i + 1]) != std::string_view::npos &&
                    std::string_view("*/<>&|").find(c) != std::string_view::npos) {
                    return false;
                }
                ++i;
            }
            token.kind = TokenKind::op;
        }
        if (token.kind != TokenKind::string) token.text = text.substr(start, i - start);
        tokens.push_back(token);
    }
    tokens.push_back(Token{});
    return true;
}

class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    std::optional<Expression> parse() {
        int root = parse_or();
        if (root < 0 || peek().kind != TokenKind::end) return std::nullopt;
        expression_.root = root;
        return std::move(expression_);
    }

    // The grammar's only recursions (a parenthesised expression, `not`, `~`) and every
    // node made go through these, so both the parser's own stack and the depth of the
    // tree stay within max_expression_depth.
    struct Nesting {
        explicit Nesting(Parser& parser) : parser_(parser) { ++parser_.nesting_; }
        ~Nesting() { --parser_.nesting_; }
        bool too_deep() const { return parser_.nesting_ > max_expression_depth; }
        Parser& parser_;
    };

private:
    const Token& peek() const { return tokens_[position_]; }
    bool at_op(std::string_view op) const { return peek().kind == TokenKind::op && peek().text == op; }
    bool at_word(std::string_view word) const { return peek().kind == TokenKind::name && peek().text == word; }

    // Appends a node (its operands are already in place) and returns its index, or -1
    // when the tree would grow deeper than max_expression_depth.
    int add(Node node) {
        int depth = 1;
        if (node.left >= 0) depth = std::max(depth, depths_[static_cast<std::size_t>(node.left)] + 1);
        if (node.right >= 0) depth = std::max(depth, depths_[static_cast<std::size_t>(node.right)] + 1);
        if (depth > max_expression_depth) return -1;
        expression_.nodes.push_back(std::move(node));
        depths_.push_back(depth);
        return static_cast<int>(expression_.nodes.size()) - 1;
    }

    int binary(Node::Kind kind, int left, int right) {
        Node node;
        node.kind = kind;
        node.left = left;
        node.right = right;
        return add(std::move(node));
    }

    int parse_or() {
        int left = parse_and();
        while (left >= 0 && (at_word("or") || at_op("|"))) {
            ++position_;
            int right = parse_and();
            if (right < 0) return -1;
            left = binary(Node::Kind::logic_or, left, right);
        }
        return left;
    }

    int parse_and() {
        int left = parse_not();
        while (left >= 0 && (at_word("and") || at_op("&"))) {
            ++position_;
            int right = parse_not();
            if (right < 0) return -1;
            left = binary(Node::Kind::logic_and, left, right);
        }
        return left;
    }

    int parse_not() {
        if (at_word("not")) {
            Nesting nesting(*this);
            if (nesting.too_deep()) return -1;
            ++position_;
            int operand = parse_not();
            if (operand < 0) return -1;
            return binary(Node::Kind::logic_not, operand, -1);
        }
        return parse_comparison();
    }

    std::optional<CompareOp> comparison_op() const {
        if (peek().kind != TokenKind::op) return std::nullopt;
        std::string_view op = peek().text;
        if (op == "<") return CompareOp::lt;
        if (op == "<=") return CompareOp::le;
        if (op == ">") return CompareOp::gt;
        if (op == ">=") return CompareOp::ge;
        if (op == "==") return CompareOp::eq;
        if (op == "!=") return CompareOp::ne;
        return std::nullopt;
    }

    int parse_comparison() {
        int left = parse_arith();
        if (left < 0) return -1;
        std::optional<CompareOp> op = comparison_op();
        if (!op) return left;
        ++position_;
        int right = parse_arith();
        if (right < 0 || comparison_op()) return -1;  // chained comparisons are left to pandas
        Node node;
        node.kind = Node::Kind::compare;
        node.compare_op = *op;
        node.left = left;
        node.right = right;
        return add(std::move(node));
    }

    int parse_arith() {
        int left = parse_term();
        while (left >= 0 && (at_op("+") || at_op("-"))) {
            ArithOp op = at_op("+") ? ArithOp::add : ArithOp::sub;
            ++position_;
            int right = parse_term();
            if (right < 0) return -1;
            left = arith(op, left, right);
        }
        return left;
    }

    int parse_term() {
        int left = parse_unary();
        while (left >= 0 && (at_op("*") || at_op("/"))) {
            ArithOp op = at_op("*") ? ArithOp::mul : ArithOp::div;
            ++position_;
            int right = parse_unary();
            if (right < 0) return -1;
            left = arith(op, left, right);
        }
        return left;
    }

    int arith(ArithOp op, int left, int right) {
        Node node;
        node.kind = Node::Kind::arith;
        node.arith_op = op;
        node.left = left;
        node.right = right;
        return add(std::move(node));
    }

    int parse_unary() {
        if (at_op("~")) {
            Nesting nesting(*this);
            if (nesting.too_deep()) return -1;
            ++position_;
            int operand = parse_unary();
            if (operand < 0) return -1;
            return binary(Node::Kind::logic_not, operand, -1);
        }
        if (at_op("-")) {
            // Only a negative number literal; negating a column is left to pandas.
            ++position_;
            const Token& token = peek();
            if (token.kind == TokenKind::integer) {
                ++position_;
                Node node;
                node.kind = Node::Kind::int_literal;
                node.int_value = -token.int_value;
                return add(std::move(node));
            }
            if (token.kind == TokenKind::real) {
                ++position_;
                Node node;
                node.kind = Node::Kind::real_literal;
                node.real_value = -token.real_value;
                return add(std::move(node));
            }
            return -1;
        }
        return parse_primary();
    }

    int parse_primary() {
        const Token& token = peek();
        Node node;
        switch (token.kind) {
            case TokenKind::name:
                if (token.text == "and" || token.text == "or" || token.text == "not" || is_other_keyword(token.text)) {
                    return -1;
                }
                node.kind = Node::Kind::column;
                node.text = std::string(token.text);
                break;
            case TokenKind::integer:
                node.kind = Node::Kind::int_literal;
                node.int_value = token.int_value;
                break;
            case TokenKind::real:
                node.kind = Node::Kind::real_literal;
                node.real_value = token.real_value;
                break;
            case TokenKind::string:
                node.kind = Node::Kind::string_literal;
                node.text = std::string(token.text);
                break;
            case TokenKind::op:
                if (token.text == "(") {
                    Nesting nesting(*this);
                    if (nesting.too_deep()) return -1;
                    ++position_;
                    int inner = parse_or();
                    if (inner < 0 || !at_op(")")) return -1;
                    ++position_;
                    return inner;
                }
                return -1;
            case TokenKind::end:
                return -1;
        }
        ++position_;
        return add(std::move(node));
    }

    const std::vector<Token>& tokens_;
    std::size_t position_ = 0;
    int nesting_ = 0;
    std::vector<int> depths_;  // depth of each node of expression_, by index
    Expression expression_;
};

}  // namespace

std::optional<Expression> parse_expression(std::string_view text) {
    std::vector<Token> tokens;
    if (!tokenize(text, tokens)) return std::nullopt;
    return Parser(tokens).parse();
}

CompareOp mirrored(CompareOp op) {
    switch (op) {
        case CompareOp::lt:
            return CompareOp::gt;
        case CompareOp::le:
            return CompareOp::ge;
        case CompareOp::gt:
            return CompareOp::lt;
        case CompareOp::ge:
            return CompareOp::le;
        case CompareOp::eq:
        case CompareOp::ne:
            break;
    }
    return op;
}

}  // namespace velmora::rules
