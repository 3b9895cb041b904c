#include "native_rules.hpp"

#include <cmath>
#include <cstring>
#include <string_view>

#include <pybind11/numpy.h>

namespace velmora::rulewarden {

namespace {

// Above this many rows the kernels run without the GIL.
constexpr std::size_t rows_worth_releasing_the_gil = 1 << 16;

bool numexpr_in_use() {
    py::object check = py::module_::import("pandas.core.computation.check");
    return py::getattr(check, "NUMEXPR_INSTALLED", py::bool_(true)).cast<bool>();
}

}  // namespace

NativeRules::NativeRules(const Call& call, py::object df, std::size_t rows) : df_(std::move(df)), rows_(rows) {
    if (!call.global("_native_rules").cast<bool>()) return;
    if (!df_.get_type().is(call.global("pd").attr("DataFrame"))) return;
    if (numexpr_in_use()) return;
    // Plain str labels by position; eval resolves identifiers to these columns first.
    Py_ssize_t position = 0;
    std::vector<py::object> unusual_labels;
    for (py::handle label : df_.attr("columns")) {
        if (PyUnicode_CheckExact(label.ptr())) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
            } else {
                auto [it, inserted] = positions_.emplace(std::string(utf8, static_cast<std::size_t>(size)), position);
                if (!inserted) it->second = -1;
            }
        }
        // eval names a column by its label cleaned as a backtick-quoted name (int labels
        // are not named at all), and "a`b" is cleaned to "a": such a name is left to pandas.
        if (!PyLong_Check(label.ptr()) && !(PyUnicode_CheckExact(label.ptr()) && PyUnicode_IsIdentifier(label.ptr()))) {
            unusual_labels.push_back(py::reinterpret_borrow<py::object>(label));
        }
        ++position;
    }
    if (!unusual_labels.empty()) {
        bool cleaned = binding::swallow_exception([&] {
            py::object clean = py::module_::import("pandas.core.computation.parsing").attr("clean_column_name");
            for (const py::object& label : unusual_labels) {
                py::object name = clean(label);
                if (!PyUnicode_Check(name.ptr())) continue;
                Py_ssize_t size = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
                if (utf8 == nullptr) throw py::error_already_set();
                positions_[std::string(utf8, static_cast<std::size_t>(size))] = -1;
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
    if (position == positions_.end() || position->second < 0 || name.rfind("BACKTICK_QUOTED_STRING", 0) == 0) {
        return column;
    }
    // eval reads these from its own scope even where a column has the name: inf and Inf
    // are numpy's infinity, names with this prefix are the caller's local variables, and
    // the names of its other default globals are read from the calling frame when they
    // are bound to something other than a type there.
    static constexpr std::string_view scope_names[] = {"inf", "Inf", "Timestamp", "datetime", "list", "tuple"};
    for (std::string_view scope_name : scope_names) {
        if (name == scope_name) return column;
    }
    if (name.rfind("__pd_eval_local_", 0) == 0) return column;
    py::object values = df_[py::str(name)].attr("values");
    if (!py::isinstance<py::array>(values)) return column;  // extension arrays
    auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != rows_) return column;
    py::dtype dtype = array.dtype();
    char kind = dtype.kind();
    char order = dtype.attr("byteorder").cast<std::string>()[0];
    if (order == '>' ) return column;
    std::size_t size = static_cast<std::size_t>(dtype.itemsize());
    if (kind == 'O') {
        // Whether every value is a str, None or NaN is checked by the comparison's own
        // pass (text_comparison), which gives up on any other value.
        array = py::module_::import("numpy").attr("ascontiguousarray")(array);
        column.text = true;
        column.values = array;
        return column;
    }
    rules::DType type;
    if (kind == 'b' && size == 1) type = rules::DType::boolean;
    else if (kind == 'i' && size == 4) type = rules::DType::int32;
    else if (kind == 'i' && size == 8) type = rules::DType::int64;
    else if (kind == 'f' && size == 4) type = rules::DType::float32;
    else if (kind == 'f' && size == 8) type = rules::DType::float64;
    else return column;
    array = py::module_::import("numpy").attr("ascontiguousarray")(array);
    column.numeric = true;
    column.data = {type, array.data()};
    column.values = array;
    return column;
}

std::optional<std::vector<std::uint8_t>> NativeRules::text_comparison(const Column& column,
                                                                     const std::string& literal,
                                                                     rules::CompareOp op) const {
    // pandas evaluates `column == 'text'` as column.isin(['text']): a match only for an
    // equal str, never for None or NaN; `!=` is its complement.
    if (op != rules::CompareOp::eq && op != rules::CompareOp::ne) return std::nullopt;
    // Interned, so that values read from source-code literals match by identity.
    PyObject* interned = PyUnicode_FromStringAndSize(literal.data(), static_cast<Py_ssize_t>(literal.size()));
    if (interned == nullptr) throw py::error_already_set();
    PyUnicode_InternInPlace(&interned);
    py::object wanted = py::reinterpret_steal<py::object>(interned);
    const Py_ssize_t wanted_length = PyUnicode_GET_LENGTH(interned);
    const int wanted_kind = PyUnicode_KIND(interned);
    const void* wanted_data = PyUnicode_DATA(interned);
    const std::size_t wanted_bytes = static_cast<std::size_t>(wanted_length) * static_cast<std::size_t>(wanted_kind);
    auto* items = static_cast<PyObject* const*>(py::reinterpret_borrow<py::array>(column.values).data());
    const std::uint8_t when_equal = op == rules::CompareOp::eq ? 1 : 0;
    std::vector<std::uint8_t> mask(rows_);
    for (std::size_t i = 0; i < rows_; ++i) {
        PyObject* item = items[i];
        // Two str objects are equal when they hold the same code points, which the
        // canonical (narrowest) representation makes a comparison of kind and bytes.
        bool equal = item == interned;
        if (!equal) {
            if (PyUnicode_CheckExact(item)) {
                if (!PyUnicode_IS_READY(item)) {
                    equal = PyUnicode_Compare(item, interned) == 0;  // a legacy string, not yet canonical
                } else {
                    equal = PyUnicode_GET_LENGTH(item) == wanted_length && PyUnicode_KIND(item) == wanted_kind &&
                            std::memcmp(PyUnicode_DATA(item), wanted_data, wanted_bytes) == 0;
                }
            } else if (item != Py_None && !(PyFloat_CheckExact(item) && std::isnan(PyFloat_AS_DOUBLE(item)))) {
                return std::nullopt;  // not text: isin's hashing and equality are pandas' business
            }
        }
        mask[i] = equal ? when_equal : static_cast<std::uint8_t>(1 - when_equal);
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
    if (rows_ >= rows_worth_releasing_the_gil) {
        // The kernels read only the bound buffers, whose owners this object keeps alive.
        py::gil_scoped_release released;
        return rules::evaluate_truth(*expression, inputs, require_boolean);
    }
    return rules::evaluate_truth(*expression, inputs, require_boolean);
}

std::optional<std::vector<std::uint8_t>> NativeRules::truth(const py::handle& text, bool require_boolean) {
    if (!active_ || !PyUnicode_CheckExact(text.ptr())) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> result;
    // Anything unexpected here sends the rule down the plain path rather than failing it.
    binding::swallow_exception([&] {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (utf8 == nullptr) throw py::error_already_set();
        result = evaluate(std::string(utf8, static_cast<std::size_t>(size)), require_boolean);
    });
    return result;
}

}  // namespace velmora::rulewarden
