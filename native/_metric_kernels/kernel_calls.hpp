// What every kernel of _metric_kernels does with its call before and around the pure
// C++ work: its arrays taken as C-ordered numpy arrays and checked, one rule each, and
// its rows cut into chunks that run on worker threads without the GIL, Ctrl-C seen
// between them.
#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "velmora_python.hpp"
#include "interrupts.hpp"

namespace velmora::metric_calls {

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;
using Matrix = Array<double>;
using Flags = Array<std::uint8_t>;
using Positions = Array<std::int64_t>;

// `values` as a C-ordered array of T, converted when it is not one already.
template <typename T>
Array<T> as_array(const py::object& values) {
    Array<T> array = Array<T>::ensure(values);
    if (!array) throw py::error_already_set();
    return array;
}

// As doubles, with two dimensions (rows, features) or with one; ValueError otherwise.
Matrix as_matrix(const py::object& values, const char* what);
Matrix as_vector(const py::object& values, const char* what);

// The rows of two matrices a kernel compares: the number of features they share, or
// ValueError with `mismatch` when they differ.
std::size_t shared_features(const Matrix& a, const Matrix& b, const char* mismatch);

// The k of a nearest-neighbour search: ValueError unless 1 <= k and the reference
// holds k rows besides the `excluded` ones.
std::size_t neighbour_count(long long k, std::size_t n_reference, std::size_t excluded);

// ValueError unless every value is finite.
void require_finite(const Matrix& values, const char* what);
// ValueError unless the values are in ascending order.
void require_ascending(const Matrix& values, const char* what);

// Feature-major copy of a row-major matrix.
std::vector<double> columns_of(const Matrix& rows);

// Threads for `items` independent pieces of work: `requested`, or one per core when it
// is <= 0, and never more than the pieces.
std::size_t thread_count(long long requested, std::size_t items);

// Threads for a kernel over `rows` rows cut into chunks of whole multiples of `unit`
// rows: at most one per max(64, unit) rows (and one more), so that a thread's start-up
// is paid for by its share.
std::size_t threads_for_rows(long long requested, std::size_t rows, std::size_t unit = 1);

// Work is cut into chunks of about this many multiply-adds (a few milliseconds), so that
// Ctrl-C is seen between them.
inline constexpr double work_per_chunk = 4e6;

// Rows [0, n_rows) of a kernel in chunks of `rows` rows each (the last one shorter),
// about work_per_chunk each, run on `threads` threads.
struct RowChunks {
    std::size_t n_rows;
    std::size_t rows;
    std::size_t threads;

    std::size_t count() const { return (n_rows + rows - 1) / rows; }

    // Runs body(first, last) for the rows of every chunk, with the GIL released: call it
    // with the GIL held. body must be pure C++ and must not throw.
    template <typename Body>
    void run(Body&& body) const {
        binding::run_chunks(count(), threads, [&](std::size_t c) {
            const std::size_t first = c * rows;
            body(first, std::min(n_rows, first + rows));
        });
    }
};

// The chunks of `n_rows` rows that each cost `work_per_row` multiply-adds, in whole
// multiples of `unit` rows, on threads_for_rows(requested_threads, n_rows, unit).
RowChunks row_chunks(std::size_t n_rows, double work_per_row, long long requested_threads, std::size_t unit = 1);

// Adds content_digest and cell_digest (digests.cpp) to the module.
void add_digest_functions(py::module_& module);

}  // namespace velmora::metric_calls
