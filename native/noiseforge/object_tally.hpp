// Counting the values of an object column of str in one pass: the distinct values in
// order of first appearance with their counts, as pandas' hash tables give them.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "velmora_python.hpp"
#include "object_arrays.hpp"

namespace velmora::noiseforge {

struct StrTally {
    std::size_t present = 0;           // non-missing cells
    py::list keys;                     // distinct values, first appearance first
    std::vector<std::int64_t> counts;  // parallel to keys

    // What column.value_counts() returns under pandas 2: the counts ordered by pandas'
    // default sort (not pandas 3's stable one, see categorical_pass.cpp).
    py::object value_counts(const Call& call) const;
    // What column.dropna().unique() returns: an object array of the keys.
    py::object unique_values(const Call& call) const;
};

// The tally of a column whose cells are all exact str, None or float NaN (the last two
// missing); nothing for any other content, which is left to pandas.
std::optional<StrTally> tally_str_column(const py::array& objects);

}  // namespace velmora::noiseforge
