// numpy arrays of Python objects read and written cell by cell, for the loops that
// tally, compare or gather the values of an object column without a call per cell.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmora {

namespace py = pybind11;

// The cells of a one-dimensional object array (any stride), as borrowed handles: the
// array holds a reference to each for as long as it lives and is not written.
class ObjectCells {
public:
    // Raises ValueError for an array that is not one-dimensional and of object dtype.
    explicit ObjectCells(const py::array& objects);

    std::size_t size() const { return size_; }
    py::handle operator[](std::size_t i) const { return cells_[static_cast<std::ptrdiff_t>(i) * stride_]; }

private:
    PyObject* const* cells_;
    std::ptrdiff_t stride_;
    std::size_t size_;
};

// table[indices] as a new object array of table's items, one reference added per cell
// (numpy's take as one tight loop). An index outside the table raises IndexError.
py::array take_objects(const py::list& table, const py::array_t<std::int64_t>& indices);

// The values of the cells as bytes, so that two arrays give equal bytes only when their
// cells hold equal values of the same types: for each cell a tag of its type, then its
// value. Values taken: exact str (its code points, in the canonical representation
// CPython keeps), int (within 64 bits), float (its bits), bool and None, and the objects
// of `singletons` (such as pd.NA), by position there. Nothing when a cell holds anything
// else: a list, a dict or an array may change in place, and other types may compare by
// more than their value.
std::optional<std::vector<std::uint8_t>> cell_values(const ObjectCells& cells, const py::tuple& singletons);

}  // namespace velmora
