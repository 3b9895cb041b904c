#include "signature_text.hpp"

namespace velmora {

std::string_view kind_word(ArgKind kind) {
    switch (kind) {
        case ArgKind::integer:
            return "int";
        case ArgKind::real:
            return "double";
        case ArgKind::string:
            return "str";
        case ArgKind::list:
            return "list";
        case ArgKind::boolean:
            return "bool";
        case ArgKind::object:
            break;
    }
    return {};
}

std::string signature_line(std::string_view qualname, const std::vector<ParamSpec>& params,
                           std::string_view return_annotation) {
    std::string line(qualname);
    line += '(';
    bool first = true;
    for (const ParamSpec& param : params) {
        if (!first) line += ", ";
        first = false;
        if (param.var_keyword) {
            line += "**";
        } else if (std::string_view word = kind_word(param.kind); !word.empty()) {
            line += word;
            line += ' ';
        }
        line += param.name;
        if (!param.annotation.empty()) {
            line += ": ";
            line += param.annotation;
        }
        if (!param.default_text.empty()) {
            line += " = ";
            line += param.default_text;
        }
    }
    line += ')';
    if (!return_annotation.empty()) {
        line += " -> ";
        line += return_annotation;
    }
    return line;
}

PositionalRange positional_range(const std::vector<ParamSpec>& params) {
    PositionalRange range;
    bool defaults_started = false;
    for (const ParamSpec& param : params) {
        if (param.var_keyword) break;
        ++range.maximum;
        if (param.default_text.empty() && !defaults_started) {
            ++range.required;
        } else {
            defaults_started = true;
        }
    }
    return range;
}

CountMessageParts count_message_parts(const PositionalRange& range, std::size_t found) {
    CountMessageParts parts;
    if (found < range.required) {
        parts.expected = range.required;
        parts.more_or_less = "at least";
    } else {
        parts.expected = range.maximum;
        parts.more_or_less = "at most";
    }
    if (range.exact()) parts.more_or_less = "exactly";
    parts.plural = parts.expected == 1 ? "" : "s";
    return parts;
}

}  // namespace velmora
