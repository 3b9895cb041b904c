#include "object_arrays.hpp"

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

}  // namespace velmora
