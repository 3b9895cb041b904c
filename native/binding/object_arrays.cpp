#include "object_arrays.hpp"

#include <cstring>
#include <vector>

#include "python_errors.hpp"

namespace velmora {

ObjectCells::ObjectCells(const py::array& objects) {
    constexpr auto cell = static_cast<py::ssize_t>(sizeof(PyObject*));
    if (objects.ndim() != 1 || objects.dtype().kind() != 'O' || objects.strides(0) % cell != 0) {
        raise_error(ErrorKind::value_error, "expected a one-dimensional array of objects");
    }
    cells_ = static_cast<PyObject* const*>(objects.data());
    stride_ = objects.strides(0) / cell;
    size_ = static_cast<std::size_t>(objects.shape(0));
}

py::array take_objects(const py::list& table, const py::array_t<std::int64_t>& indices) {
    py::ssize_t size = indices.size();
    // A new object array starts with every slot NULL, which numpy treats as empty.
    py::array result(py::dtype("O"), std::vector<py::ssize_t>{size});
    auto* slots = static_cast<PyObject**>(result.mutable_data());
    const std::int64_t* at = indices.data();
    py::ssize_t count = static_cast<py::ssize_t>(py::len(table));
    PyObject** items = PySequence_Fast_ITEMS(table.ptr());
    for (py::ssize_t i = 0; i < size; ++i) {
        std::int64_t index = at[i];
        if (index < 0 || index >= count) raise_error(ErrorKind::index_error, "category index out of range");
        PyObject* item = items[index];
        Py_INCREF(item);
        slots[i] = item;
    }
    return result;
}

namespace {

void append_bytes(std::vector<std::uint8_t>& out, const void* data, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + n);
}

template <typename T>
void append_value(std::vector<std::uint8_t>& out, T value) {
    append_bytes(out, &value, sizeof(value));
}

void check_signals_here() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

std::optional<std::vector<std::uint8_t>> cell_values(const ObjectCells& cells, const py::tuple& singletons) {
    std::vector<std::uint8_t> out;
    out.reserve(cells.size() * 16);
    const std::size_t n_singletons = py::len(singletons);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        // A million cells take tens of milliseconds: Ctrl-C is seen between blocks.
        if (i % 65536 == 65535) check_signals_here();
        PyObject* cell = cells[i].ptr();
        if (PyUnicode_CheckExact(cell)) {
            if (PyUnicode_READY(cell) != 0) throw py::error_already_set();
            const auto length = static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(cell));
            const auto kind = static_cast<std::uint8_t>(PyUnicode_KIND(cell));
            out.push_back('s');
            out.push_back(kind);
            append_value(out, length);
            append_bytes(out, PyUnicode_DATA(cell), static_cast<std::size_t>(length) * kind);
        } else if (cell == Py_None) {
            out.push_back('n');
        } else if (PyBool_Check(cell)) {
            out.push_back(cell == Py_True ? 't' : 'f');
        } else if (PyLong_CheckExact(cell)) {
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(cell, &overflow);
            if (overflow != 0) return std::nullopt;
            if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
            out.push_back('i');
            append_value(out, static_cast<std::int64_t>(value));
        } else if (PyFloat_CheckExact(cell)) {
            out.push_back('d');
            append_value(out, PyFloat_AS_DOUBLE(cell));
        } else {
            std::size_t found = n_singletons;
            for (std::size_t s = 0; s < n_singletons; ++s) {
                if (cell == singletons[s].ptr()) {
                    found = s;
                    break;
                }
            }
            if (found == n_singletons) return std::nullopt;
            out.push_back('k');
            append_value(out, static_cast<std::uint64_t>(found));
        }
    }
    return out;
}

}  // namespace velmora
