// Access to a column's numpy buffer for the native kernels, and the working frame the
// column passes write into.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "velmora_python.hpp"
#include "noise_kernels.hpp"

namespace velmora::noiseforge {

// The numpy types the kernels handle.
enum class NumericType { float64, float32, int64, int32 };

// A Series backed by a one-dimensional numpy array of a handled type, native byte order.
struct NumericColumn {
    py::array values;
    NumericType type;

    template <typename T>
    noise::ColumnView<T> view() const {
        return {static_cast<const T*>(values.data()), static_cast<std::size_t>(values.shape(0)),
                values.strides(0) / static_cast<py::ssize_t>(sizeof(T))};
    }
};

// The column's buffer when the kernels can work on it; nothing for extension dtypes
// (nullable Int64, Float64, category, ...), other numpy types and odd strides.
std::optional<NumericColumn> numeric_column(const py::object& series);

// A column of Python objects (object dtype) as a one-dimensional numpy array.
std::optional<py::array> object_column(const py::object& series);

// The dtype of a column in pandas' string dtype (`str` in pandas 3, StringDtype with
// python or pyarrow storage, either missing value); nothing for any other column.
std::optional<py::object> string_dtype(const py::object& series);

// Calls `body(view)` with the column's typed view.
template <typename Body>
decltype(auto) with_view(const NumericColumn& column, Body&& body) {
    switch (column.type) {
        case NumericType::float64:
            return body(column.view<double>());
        case NumericType::float32:
            return body(column.view<float>());
        case NumericType::int64:
            return body(column.view<std::int64_t>());
        default:
            return body(column.view<std::int32_t>());
    }
}

// The frame a pass writes into. When the input's column labels are unique it starts as
// a shallow copy: columns are replaced whole (never written in place) or first copied
// ("owned") before an in-place write, and finish() copies the columns nobody replaced,
// so the result shares no memory with the input, as df.copy() would, without copying
// the columns that are replaced anyway. With repeated labels it is a plain deep copy.
class WorkFrame {
public:
    explicit WorkFrame(const py::object& df);

    const py::object& frame() const { return frame_; }
    bool labels_unique() const { return unique_; }
    // work[col] = values (a whole new column).
    void replace(const py::object& col, const py::object& values);
    // work[col] = values for an array this module just made and hands over, either
    // float64 or of objects that are all str: for those pandas' __setitem__ would only
    // copy it (its sanitising step infers nothing from them), so it goes to pandas' own
    // next step, _set_item_mgr, when that exists.
    void replace_with_new(const py::object& col, const py::array& values);
    // Makes the column the frame's own before pandas writes into it in place.
    void own(const py::object& col);
    // Copies the columns still shared with the input; returns the frame.
    py::object finish();

private:
    std::optional<std::size_t> position(const py::object& col) const;

    py::object frame_;
    bool unique_;
    std::vector<bool> owned_;
};

}  // namespace velmora::noiseforge
