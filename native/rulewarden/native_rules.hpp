// Native evaluation of rule expressions on a frame's column buffers. It answers only
// for the expressions and column types it handles with certainty (see
// rule_expression.hpp and rule_kernels.hpp); for anything else it answers nothing and
// the caller evaluates the text with DataFrame.eval as before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "velmora_python.hpp"
#include "arrow_text.hpp"
#include "rule_kernels.hpp"

namespace velmora::rulewarden {

class NativeRules {
public:
    // Inactive (every answer empty) when switched off through the module global
    // `_native_rules`, when `df` is not exactly a DataFrame, or when pandas would
    // evaluate with numexpr, whose arithmetic this evaluator does not mirror.
    NativeRules(const Call& call, py::object df, std::size_t rows);

    // One byte per row: the truth value of the expression `text` on each row, as
    // `df.eval(text).astype(bool)` gives it; with `require_boolean`, only for an
    // expression whose result pandas gives as booleans (the parts of a conditional).
    std::optional<std::vector<std::uint8_t>> truth(const py::handle& text, bool require_boolean);

private:
    struct Column {
        bool numeric = false;  // usable as rules::ColumnData
        // Text: an object column meant to hold str, None or NaN, or a column of pandas'
        // string dtype, whose cells are str or its missing value.
        bool text = false;
        bool string_dtype = false;  // every cell that is not a str is missing
        rules::ColumnData data;
        py::object values;  // keeps the buffer alive; for text, the object array
        py::object arrow;   // the pyarrow array of a string column stored by pyarrow
        // Its chunks read in place, when every one is a string or large_string array
        // (otherwise empty, and pyarrow's kernel compares).
        std::vector<ArrowTextChunk> arrow_chunks;
    };

    const Column& column(const std::string& name);
    void string_column(const py::object& series, Column& column) const;
    std::optional<std::vector<std::uint8_t>> evaluate(const std::string& text, bool require_boolean);
    std::optional<std::vector<std::uint8_t>> text_comparison(const Column& column, const std::string& literal,
                                                             rules::CompareOp op) const;

    bool active_ = false;
    py::object df_;
    std::size_t rows_;
    std::unordered_map<std::string, py::ssize_t> positions_;  // -1 for a repeated label
    std::unordered_map<std::string, Column> columns_;
};

}  // namespace velmora::rulewarden
