#include "column_access.hpp"

#include "pandas_internals.hpp"

namespace velmora::noiseforge {
namespace {

// The Series' dtype when it is a numpy dtype (not a pandas extension dtype).
std::optional<py::dtype> numpy_dtype(const py::object& series) {
    py::object dtype = series.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) return std::nullopt;
    return py::reinterpret_borrow<py::dtype>(dtype);
}

std::optional<py::array> one_dimensional(const py::object& series, std::size_t itemsize) {
    py::object values = series.attr("to_numpy")();
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 1 || array.strides(0) % static_cast<py::ssize_t>(itemsize) != 0) return std::nullopt;
    return array;
}

}  // namespace

std::optional<NumericColumn> numeric_column(const py::object& series) {
    std::optional<py::dtype> dtype = numpy_dtype(series);
    if (!dtype) return std::nullopt;
    // By kind and width, not by C type number: numpy's `long` is 32 bits on Windows.
    NumericType type;
    const char kind = dtype->kind();
    const py::ssize_t width = dtype->itemsize();
    if (kind == 'f' && width == 8) {
        type = NumericType::float64;
    } else if (kind == 'f' && width == 4) {
        type = NumericType::float32;
    } else if (kind == 'i' && width == 8) {
        type = NumericType::int64;
    } else if (kind == 'i' && width == 4) {
        type = NumericType::int32;
    } else {
        return std::nullopt;
    }
    // Byte-swapped dtypes share the type number; only the native order is handled.
    char order = dtype->byteorder();
    if (order != '=' && order != '|') return std::nullopt;
    std::optional<py::array> values = one_dimensional(series, static_cast<std::size_t>(dtype->itemsize()));
    if (!values || values->dtype().num() != dtype->num()) return std::nullopt;
    return NumericColumn{*values, type};
}

std::optional<py::array> object_column(const py::object& series) {
    std::optional<py::dtype> dtype = numpy_dtype(series);
    if (!dtype || dtype->num() != py::detail::npy_api::NPY_OBJECT_) return std::nullopt;
    std::optional<py::array> values = one_dimensional(series, static_cast<std::size_t>(dtype->itemsize()));
    if (!values || values->dtype().num() != py::detail::npy_api::NPY_OBJECT_) return std::nullopt;
    return values;
}

std::optional<py::object> string_dtype(const py::object& series) {
    py::object dtype = series.attr("dtype");
    if (!py::isinstance(dtype, py::module_::import("pandas").attr("StringDtype"))) return std::nullopt;
    return dtype;
}

WorkFrame::WorkFrame(const py::object& df) {
    unique_ = df.attr("columns").attr("is_unique").cast<bool>();
    if (unique_) {
        frame_ = df.attr("copy")(py::arg("deep") = false);
        owned_.assign(py::len(df.attr("columns")), false);
    } else {
        frame_ = df.attr("copy")();
    }
}

std::optional<std::size_t> WorkFrame::position(const py::object& col) const {
    if (!unique_) return std::nullopt;
    py::object where = frame_.attr("columns").attr("get_loc")(col);
    if (!is_exact_int(where)) return std::nullopt;
    return where.cast<std::size_t>();
}

void WorkFrame::replace(const py::object& col, const py::object& values) {
    velmora::set_item(frame_, col, values);
    if (std::optional<std::size_t> at = position(col)) owned_[*at] = true;
}

void WorkFrame::replace_with_new(const py::object& col, const py::array& values) {
    std::optional<std::size_t> at = position(col);
    py::object set_item_manager;
    if (at && values.ndim() == 1 && static_cast<std::size_t>(values.shape(0)) == py::len(frame_)) {
        set_item_manager = pandas_internals::set_item_manager(frame_);
    }
    if (!at || !set_item_manager) {
        replace(col, values);
        return;
    }
    set_item_manager(col, values);
    owned_[*at] = true;
}

void WorkFrame::own(const py::object& col) {
    std::optional<std::size_t> at = position(col);
    if (!at || owned_[*at]) return;
    velmora::set_item(frame_, col, frame_[col].attr("copy")());
    owned_[*at] = true;
}

py::object WorkFrame::finish() {
    if (unique_) {
        py::object columns = frame_.attr("columns");
        for (std::size_t i = 0; i < owned_.size(); ++i) {
            if (owned_[i]) continue;
            py::object col = columns[py::int_(i)];
            velmora::set_item(frame_, col, frame_[col].attr("copy")());
            owned_[i] = true;
        }
    }
    return frame_;
}

}  // namespace velmora::noiseforge
