#include "native_rules.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string_view>
#include <thread>

#include <pybind11/numpy.h>

#include "interrupts.hpp"
#include "object_arrays.hpp"
#include "pandas_internals.hpp"

namespace velmora::rulewarden {

namespace {

// Rows evaluated per chunk: the chunks run on every core, and Ctrl-C is seen between them.
constexpr std::size_t chunk_rows = 1 << 16;

std::size_t item_size(rules::DType dtype) {
    switch (dtype) {
        case rules::DType::boolean:
            return 1;
        case rules::DType::int32:
        case rules::DType::float32:
            return 4;
        case rules::DType::int64:
        case rules::DType::float64:
            break;
    }
    return 8;
}

std::size_t cores() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : reported;
}

// The chunks of a pyarrow ChunkedArray of text, read in place; empty (pyarrow's kernel
// compares instead) unless every chunk is a string or large_string array whose buffers
// cover its rows.
std::vector<ArrowTextChunk> arrow_text_chunks(const py::object& chunked) {
    std::vector<ArrowTextChunk> chunks;
    for (py::handle chunk : chunked.attr("chunks")) {
        const std::string type = py::str(chunk.attr("type"));
        if (type != "string" && type != "large_string") return {};
        py::list buffers = chunk.attr("buffers")();
        if (py::len(buffers) != 3 || buffers[1].is_none()) return {};
        ArrowTextChunk part;
        part.large = type == "large_string";
        part.offset = chunk.attr("offset").cast<std::int64_t>();
        part.length = static_cast<std::int64_t>(py::len(chunk));
        const std::int64_t width = part.large ? 8 : 4;
        py::buffer_info offsets = py::reinterpret_borrow<py::buffer>(buffers[1]).request();
        if (offsets.size * offsets.itemsize < (part.offset + part.length + 1) * width) return {};
        part.offsets = offsets.ptr;
        if (!buffers[2].is_none()) {
            part.data = static_cast<const char*>(py::reinterpret_borrow<py::buffer>(buffers[2]).request().ptr);
        } else if (part.length > 0) {
            return {};
        }
        if (!buffers[0].is_none() && chunk.attr("null_count").cast<std::int64_t>() > 0) {
            py::buffer_info validity = py::reinterpret_borrow<py::buffer>(buffers[0]).request();
            if (validity.size * validity.itemsize * 8 < part.offset + part.length) return {};
            part.validity = static_cast<const std::uint8_t*>(validity.ptr);
        }
        chunks.push_back(part);
    }
    return chunks;
}

}  // namespace

NativeRules::NativeRules(const Call& call, py::object df, std::size_t rows) : df_(std::move(df)), rows_(rows) {
    if (!call.global("_native_rules").cast<bool>()) return;
    if (!py::type::handle_of(df_).is(call.global("pd").attr("DataFrame"))) return;
    if (pandas_internals::numexpr_installed()) return;
    // Plain str labels by position; eval resolves identifiers to these columns first.
    py::ssize_t position = 0;
    std::vector<py::object> unusual_labels;
    for (py::handle label : df_.attr("columns")) {
        if (is_exact_str(label)) {
            // A label with a lone surrogate cannot be named by a rule.
            if (std::optional<std::string> name = try_utf8(label)) {
                auto [it, inserted] = positions_.emplace(std::move(*name), position);
                if (!inserted) it->second = -1;
            }
        }
        // eval names a column by its label cleaned as a backtick-quoted name (int labels
        // are not named at all), and "a`b" is cleaned to "a": such a name is left to pandas.
        if (!is_int(label) && !(is_exact_str(label) && is_identifier(label))) {
            unusual_labels.push_back(py::reinterpret_borrow<py::object>(label));
        }
        ++position;
    }
    if (!unusual_labels.empty()) {
        bool cleaned = binding::swallow_exception([&] {
            py::object clean = pandas_internals::clean_column_name();
            for (const py::object& label : unusual_labels) {
                py::object name = clean(label);
                if (!py::isinstance<py::str>(name)) continue;
                positions_[utf8_of(name)] = -1;
            }
        });
        if (!cleaned) return;  // eval would fail to name the columns too
    }
    active_ = true;
}

const NativeRules::Column& NativeRules::column(const std::string& name) {
    auto cached = columns_.find(name);
    if (cached != columns_.end()) return cached->second;
    Column& column = columns_[name];
    auto position = positions_.find(name);
    // Names pandas may have made for other labels, and repeated labels, are left to pandas.
    if (position == positions_.end() || position->second < 0 || name.rfind(pandas_internals::backtick_prefix, 0) == 0) {
        return column;
    }
    // eval reads these from its own scope even where a column has the name: inf and Inf
    // are numpy's infinity, names with the local prefix are the caller's local
    // variables, and the names of its other default globals are read from the calling
    // frame when they are bound to something other than a type there.
    const auto& scope_names = pandas_internals::eval_scope_names;
    if (std::find(scope_names.begin(), scope_names.end(), name) != scope_names.end()) return column;
    if (name.rfind(pandas_internals::local_variable_prefix, 0) == 0) return column;
    py::object series = df_[py::str(name)];
    py::object values = series.attr("values");
    if (!py::isinstance<py::array>(values)) {
        // Extension arrays: only pandas' string dtype is read here.
        string_column(series, column);
        return column;
    }
    auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != rows_) return column;
    py::dtype dtype = array.dtype();
    char kind = dtype.kind();
    char order = dtype.attr("byteorder").cast<std::string>()[0];
    if (order == '>') return column;
    std::size_t size = static_cast<std::size_t>(dtype.itemsize());
    if (kind == 'O') {
        // Whether every value is a str, None or NaN is checked by the comparison's own
        // pass (text_comparison), which gives up on any other value.
        array = numpy().attr("ascontiguousarray")(array);
        column.text = true;
        column.values = array;
        return column;
    }
    rules::DType type;
    if (kind == 'b' && size == 1)
        type = rules::DType::boolean;
    else if (kind == 'i' && size == 4)
        type = rules::DType::int32;
    else if (kind == 'i' && size == 8)
        type = rules::DType::int64;
    else if (kind == 'f' && size == 4)
        type = rules::DType::float32;
    else if (kind == 'f' && size == 8)
        type = rules::DType::float64;
    else
        return column;
    array = numpy().attr("ascontiguousarray")(array);
    column.numeric = true;
    column.data = {type, array.data()};
    column.values = array;
    return column;
}

void NativeRules::string_column(const py::object& series, Column& column) const {
    py::object dtype = series.attr("dtype");
    if (!py::isinstance(dtype, py::module_::import("pandas").attr("StringDtype"))) return;
    const std::string storage = py::str(dtype.attr("storage"));
    py::object array = series.attr("array");
    if (storage == "python") {
        // The cells in place: an object array of str and the dtype's missing value.
        auto objects = py::reinterpret_borrow<py::array>(
            numpy().attr("ascontiguousarray")(array, py::arg("dtype") = builtin("object")));
        if (objects.ndim() != 1 || static_cast<std::size_t>(objects.shape(0)) != rows_) return;
        column.values = objects;
    } else if (storage.rfind("pyarrow", 0) == 0) {
        // "pyarrow" (and pandas 2's "pyarrow_numpy"): compared by pyarrow's kernel, as
        // pandas' isin compares them, instead of reading every cell out as a str.
        column.arrow = array.attr("__arrow_array__")();
        if (py::len(column.arrow) != rows_) return;
        column.arrow_chunks = arrow_text_chunks(column.arrow);
    } else {
        return;
    }
    column.text = true;
    column.string_dtype = true;
}

std::optional<std::vector<std::uint8_t>> NativeRules::text_comparison(const Column& column, const std::string& literal,
                                                                      rules::CompareOp op) const {
    // pandas evaluates `column == 'text'` as column.isin(['text']): a match only for an
    // equal str, never for None or NaN; `!=` is its complement.
    if (op != rules::CompareOp::eq && op != rules::CompareOp::ne) return std::nullopt;
    const std::uint8_t when_equal = op == rules::CompareOp::eq ? 1 : 0;
    std::vector<std::uint8_t> mask(rows_);
    if (!column.arrow_chunks.empty()) {
        std::size_t done = 0;
        for (const ArrowTextChunk& chunk : column.arrow_chunks) {
            compare_arrow_text(chunk, literal, when_equal, mask.data() + done);
            done += static_cast<std::size_t>(chunk.length);
        }
        return mask;
    }
    if (column.arrow) {
        // Equal text is true, other text and missing values (null) false.
        py::object equal = py::module_::import("pyarrow.compute")
                               .attr("equal")(column.arrow, py::str(literal.data(), literal.size()))
                               .attr("fill_null")(false);
        auto found = py::reinterpret_borrow<py::array>(
            numpy().attr("ascontiguousarray")(equal, py::arg("dtype") = numpy().attr("bool_")));
        if (found.ndim() != 1 || static_cast<std::size_t>(found.shape(0)) != rows_) return std::nullopt;
        const auto* data = static_cast<const std::uint8_t*>(found.data());
        for (std::size_t i = 0; i < rows_; ++i)
            mask[i] = data[i] ? when_equal : static_cast<std::uint8_t>(1 - when_equal);
        return mask;
    }
    const TextMatcher matcher(literal);
    const ObjectCells items(py::reinterpret_borrow<py::array>(column.values));
    for (std::size_t i = 0; i < rows_; ++i) {
        TextMatch found = matcher.match(items[i]);
        // Not text in an object column: isin's hashing and equality are pandas'
        // business. In a string dtype it is the dtype's missing value (pd.NA).
        if (found == TextMatch::other && !column.string_dtype) return std::nullopt;
        mask[i] = found == TextMatch::equal ? when_equal : static_cast<std::uint8_t>(1 - when_equal);
    }
    return mask;
}

std::optional<std::vector<std::uint8_t>> NativeRules::evaluate(const std::string& text, bool require_boolean) {
    std::optional<rules::Expression> expression = rules::parse_expression(text);
    if (!expression) return std::nullopt;
    rules::Inputs inputs;
    inputs.rows = rows_;
    inputs.node_data.resize(expression->nodes.size());
    std::vector<std::vector<std::uint8_t>> text_masks;
    text_masks.reserve(expression->nodes.size());
    using Kind = rules::Node::Kind;
    for (std::size_t i = 0; i < expression->nodes.size(); ++i) {
        const rules::Node& node = expression->nodes[i];
        if (node.kind == Kind::column) {
            const Column& found = column(node.text);
            if (found.numeric) inputs.node_data[i] = found.data;
        } else if (node.kind == Kind::compare) {
            const rules::Node& left = (*expression)[node.left];
            const rules::Node& right = (*expression)[node.right];
            const rules::Node* name = left.kind == Kind::column ? &left : right.kind == Kind::column ? &right : nullptr;
            const rules::Node* literal = left.kind == Kind::string_literal    ? &left
                                         : right.kind == Kind::string_literal ? &right
                                                                              : nullptr;
            if (literal == nullptr) continue;
            if (name == nullptr) return std::nullopt;
            const Column& found = column(name->text);
            if (!found.text) return std::nullopt;
            auto mask = text_comparison(found, literal->text, node.compare_op);
            if (!mask) return std::nullopt;
            text_masks.push_back(std::move(*mask));
            inputs.node_data[i] = rules::ColumnData{rules::DType::boolean, text_masks.back().data()};
        }
    }
    // Each row's value depends on that row alone, so the rows are evaluated in chunks:
    // the kernels read only the bound buffers (whose owners this object keeps alive),
    // each chunk's part of them, and write the chunk's part of the answer.
    const std::size_t chunks = std::max<std::size_t>(1, (rows_ + chunk_rows - 1) / chunk_rows);
    std::vector<std::uint8_t> truth(rows_);
    std::atomic<bool> refused{false};
    binding::run_chunks(chunks, rows_ >= 2 * chunk_rows ? cores() : 1, [&](std::size_t c) {
        const std::size_t first = c * chunk_rows;
        rules::Inputs part;
        part.rows = std::min(rows_, first + chunk_rows) - first;
        part.node_data = inputs.node_data;
        for (auto& data : part.node_data) {
            if (data) data->data = static_cast<const char*>(data->data) + first * item_size(data->dtype);
        }
        try {
            std::optional<std::vector<std::uint8_t>> answer = rules::evaluate_truth(*expression, part, require_boolean);
            if (!answer) {
                refused.store(true);
                return;
            }
            std::copy(answer->begin(), answer->end(), truth.begin() + static_cast<std::ptrdiff_t>(first));
        } catch (const std::exception&) {
            refused.store(true);  // out of memory, say: pandas evaluates instead
        }
    });
    if (refused.load()) return std::nullopt;
    return truth;
}

std::optional<std::vector<std::uint8_t>> NativeRules::truth(const py::handle& text, bool require_boolean) {
    if (!active_ || !is_exact_str(text)) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> result;
    // Anything unexpected here sends the rule down the plain path rather than failing it.
    binding::swallow_exception([&] { result = evaluate(utf8_of(text), require_boolean); });
    return result;
}

}  // namespace velmora::rulewarden
