// Gathers the rows that break rules across one validate() call. A boolean row mask is
// folded into one accumulator (labels are looked up once, at the end); any other mask
// takes the plain route of df.index[mask].tolist() into a set of labels.
#pragma once

#include <cstdint>
#include <vector>

#include "velmora_python.hpp"

namespace velmora::rulewarden {

class ViolationGatherer {
public:
    explicit ViolationGatherer(py::object df);

    // Records the rows of `mask` and returns how many rows it selects, as a Python int
    // (the value of int(mask.sum()) for a boolean mask). With `invert` the mask's
    // complement is recorded: the rows whose value converts to False.
    py::object add(const py::object& mask, bool invert);

    // Records a mask the native evaluator computed (one byte per row), likewise.
    py::object add_rows(const std::vector<std::uint8_t>& mask, bool invert);

    std::size_t rows() const { return rows_; }

    // pd.Index(sorted(set of the violating labels)).
    py::object violating_index(const Call& call) const;

private:
    // The mask's bytes when it is a plain boolean Series of one value per row, else null.
    py::object boolean_values(const py::object& mask) const;
    py::object index_from_int_labels(const Call& call) const;
    // pd.Index(sorted(set(labels))) for an object index whose selected labels are all
    // exact str; empty when some label is not.
    py::object index_from_str_labels(const Call& call) const;
    py::object record(const std::uint8_t* mask, bool invert);

    py::object df_;
    py::object index_;
    std::size_t rows_;
    std::vector<std::uint8_t> any_violation_;
    bool any_set_ = false;
    py::set labels_;  // labels gathered from masks that are not plain boolean
};

}  // namespace velmora::rulewarden
