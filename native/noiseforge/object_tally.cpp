#include "object_tally.hpp"

#include <cmath>

namespace velmora::noiseforge {
namespace {

bool is_missing(PyObject* value) {
    return value == Py_None || (PyFloat_CheckExact(value) && std::isnan(PyFloat_AS_DOUBLE(value)));
}

// Open addressing over the distinct str seen so far; slots hold an index into the
// tally's keys, or -1. str caches its hash, so hashing a repeated object is a load.
class StrTable {
public:
    StrTable() : slots_(64, -1) {}

    // The index of `value` among the keys, adding it when new.
    std::int64_t find_or_add(PyObject* value, Py_hash_t hash, std::vector<PyObject*>& keys,
                             std::vector<Py_hash_t>& hashes) {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            std::int64_t slot = slots_[at];
            if (slot < 0) {
                slots_[at] = static_cast<std::int64_t>(keys.size());
                keys.push_back(value);
                hashes.push_back(hash);
                if (keys.size() * 2 > slots_.size()) grow(hashes);
                return static_cast<std::int64_t>(keys.size()) - 1;
            }
            PyObject* key = keys[static_cast<std::size_t>(slot)];
            if (key == value) return slot;
            if (hashes[static_cast<std::size_t>(slot)] == hash) {
                int equal = PyUnicode_Compare(key, value);
                if (equal == -1 && PyErr_Occurred()) throw py::error_already_set();
                if (equal == 0) return slot;
            }
        }
    }

private:
    void grow(const std::vector<Py_hash_t>& hashes) {
        std::vector<std::int64_t> bigger(slots_.size() * 2, -1);
        std::size_t mask = bigger.size() - 1;
        for (std::size_t key = 0; key < hashes.size(); ++key) {
            std::size_t at = static_cast<std::size_t>(hashes[key]) & mask;
            while (bigger[at] >= 0) at = (at + 1) & mask;
            bigger[at] = static_cast<std::int64_t>(key);
        }
        slots_.swap(bigger);
    }

    std::vector<std::int64_t> slots_;
};

}  // namespace

std::optional<StrTally> tally_str_column(const py::array& objects) {
    auto* cells = static_cast<PyObject* const*>(objects.data());
    std::ptrdiff_t stride = objects.strides(0) / static_cast<py::ssize_t>(sizeof(PyObject*));
    std::size_t size = static_cast<std::size_t>(objects.shape(0));
    StrTable table;
    // Borrowed: the column array holds every key for as long as this function runs.
    std::vector<PyObject*> keys;
    std::vector<Py_hash_t> hashes;
    StrTally tally;
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* value = cells[static_cast<std::ptrdiff_t>(i) * stride];
        if (!PyUnicode_CheckExact(value)) {
            if (is_missing(value)) continue;
            return std::nullopt;
        }
        Py_hash_t hash = PyObject_Hash(value);
        if (hash == -1) throw py::error_already_set();
        std::size_t key = static_cast<std::size_t>(table.find_or_add(value, hash, keys, hashes));
        if (key == tally.counts.size()) tally.counts.push_back(0);
        ++tally.counts[key];
        ++tally.present;
    }
    for (PyObject* key : keys) tally.keys.append(py::reinterpret_borrow<py::object>(key));
    return tally;
}

py::object StrTally::value_counts(const Call& call) const {
    py::object pd = call.global("pd");
    py::object object_type = py::module_::import("builtins").attr("object");
    py::array_t<std::int64_t> values(static_cast<py::ssize_t>(counts.size()), counts.data());
    py::object index = pd.attr("Index")(unique_values(call), py::arg("dtype") = object_type);
    // value_counts sorts the first-appearance tally with Series.sort_values; the same
    // sort of the same tally gives the same order among equal counts.
    return pd.attr("Series")(values, py::arg("index") = index).attr("sort_values")(py::arg("ascending") = false);
}

py::object StrTally::unique_values(const Call& call) const {
    py::object np = call.global("np");
    py::object array = np.attr("empty")(py::len(keys), py::arg("dtype") = py::module_::import("builtins").attr("object"));
    for (std::size_t i = 0; i < py::len(keys); ++i) velmora::set_item(array, py::int_(i), keys[i]);
    return array;
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
        if (index < 0 || index >= count) throw py::index_error("category index out of range");
        PyObject* item = items[index];
        Py_INCREF(item);
        slots[i] = item;
    }
    return result;
}

}  // namespace velmora::noiseforge
