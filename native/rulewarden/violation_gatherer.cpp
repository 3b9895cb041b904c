#include "violation_gatherer.hpp"

#include <algorithm>

#include <pybind11/numpy.h>

#include "object_arrays.hpp"
#include "row_mask.hpp"

namespace velmora::rulewarden {

ViolationGatherer::ViolationGatherer(py::object df) : df_(std::move(df)), rows_(0) {
    // validate does not test df's type: on an object without an index every rule fails on
    // its own (counting zero) and len(df) decides the outcome, so a missing index is not
    // an error here; a rule's result that needs it looks df.index up again.
    binding::swallow_exception([&] {
        py::object index = df_.attr("index");
        rows_ = py::len(index);
        index_ = std::move(index);
    });
    if (!index_) rows_ = 0;
    any_violation_.assign(rows_, 0);
}

py::object ViolationGatherer::boolean_values(const py::object& mask) const {
    // Only an exact Series: a subclass may give ~, astype or indexing other meanings.
    if (!index_) return py::object();
    py::object series_type = py::module_::import("pandas").attr("Series");
    if (!py::type::handle_of(mask).is(series_type)) return py::object();
    py::object values = mask.attr("values");
    if (!py::isinstance<py::array>(values)) return py::object();
    auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 1 || array.dtype().kind() != 'b' || array.itemsize() != 1) return py::object();
    if (static_cast<std::size_t>(array.shape(0)) != rows_) return py::object();
    return numpy().attr("ascontiguousarray")(array);
}

py::object ViolationGatherer::record(const std::uint8_t* mask, bool invert) {
    std::size_t count = or_into(any_violation_.data(), mask, rows_, invert);
    any_set_ = any_set_ || count > 0;
    return py::int_(count);
}

py::object ViolationGatherer::add_rows(const std::vector<std::uint8_t>& mask, bool invert) {
    return record(mask.data(), invert);
}

py::object ViolationGatherer::add(const py::object& mask, bool invert) {
    py::object values = boolean_values(mask);
    if (values) {
        auto array = py::reinterpret_borrow<py::array>(values);
        return record(static_cast<const std::uint8_t*>(array.data()), invert);
    }
    py::object selected = invert ? py::object(~mask.attr("astype")(builtin("bool"))) : mask;
    py::object count = py::int_(selected.attr("sum")());
    py::object index = index_ ? index_ : py::object(df_.attr("index"));
    labels_.attr("update")(index[selected].attr("tolist")());
    return count;
}

py::object ViolationGatherer::index_from_int_labels(const Call& call) const {
    // For an int64 index, sorted(set(labels)) is the sorted distinct selected values.
    py::object pd = call.global("pd");
    if (py::type::handle_of(index_).is(pd.attr("RangeIndex"))) {
        // A range's labels are distinct and ordered: written straight into the result.
        const auto start = index_.attr("start").cast<std::int64_t>();
        const auto step = index_.attr("step").cast<std::int64_t>();
        const auto count = static_cast<py::ssize_t>(count_set(any_violation_.data(), rows_));
        py::array_t<std::int64_t> array(count + 1);
        range_labels(any_violation_.data(), rows_, start, step, array.mutable_data());
        return pd.attr("Index")(array[py::slice(0, count, 1)]);
    }
    std::vector<std::int64_t> labels;
    {
        auto values = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(index_.attr("values"));
        const std::int64_t* data = values.data();
        for (std::int64_t position : set_positions(any_violation_.data(), rows_)) labels.push_back(data[position]);
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    }
    py::array_t<std::int64_t> array(static_cast<py::ssize_t>(labels.size()));
    std::copy(labels.begin(), labels.end(), array.mutable_data());
    return pd.attr("Index")(array);
}

py::object ViolationGatherer::index_from_str_labels(const Call& call) const {
    auto values = py::reinterpret_borrow<py::array>(numpy().attr("ascontiguousarray")(index_.attr("values")));
    const ObjectCells items(values);
    // Borrowed: the index's values hold every label while this function runs.
    std::vector<py::handle> labels;
    for (std::int64_t position : set_positions(any_violation_.data(), rows_)) {
        py::handle label = items[static_cast<std::size_t>(position)];
        if (!is_exact_str(label)) return py::object();
        labels.push_back(label);
    }
    // The order Python's sorted() gives str: code point order.
    std::sort(labels.begin(), labels.end(), str_less);
    labels.erase(std::unique(labels.begin(), labels.end(), str_equal), labels.end());
    py::list sorted_labels(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        sorted_labels[i] = py::reinterpret_borrow<py::object>(labels[i]);
    }
    return call.global("pd").attr("Index")(sorted_labels);
}

py::object ViolationGatherer::violating_index(const Call& call) const {
    py::object pd = call.global("pd");
    if (py::len(labels_) == 0 && any_set_) {
        bool plain_index = py::type::handle_of(index_).is(pd.attr("Index"));
        if (py::type::handle_of(index_).is(pd.attr("RangeIndex")) ||
            (plain_index && equals(index_.attr("dtype"), numpy().attr("dtype")("int64")))) {
            return index_from_int_labels(call);
        }
        if (plain_index && equals(index_.attr("dtype"), numpy().attr("dtype")("O"))) {
            py::object built = index_from_str_labels(call);
            if (built) return built;
        }
    }
    py::set labels = labels_;
    if (any_set_) {
        py::array_t<bool> mask(static_cast<py::ssize_t>(rows_));
        std::copy(any_violation_.begin(), any_violation_.end(), reinterpret_cast<std::uint8_t*>(mask.mutable_data()));
        labels = py::set(labels_);
        labels.attr("update")(index_[mask].attr("tolist")());
    }
    py::object sorted_labels = builtin("sorted")(labels);
    return pd.attr("Index")(sorted_labels);
}

}  // namespace velmora::rulewarden
