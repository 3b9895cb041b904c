#include "kernel_calls.hpp"

#include <cmath>
#include <string>
#include <thread>

namespace velmora::metric_calls {

Matrix as_matrix(const py::object& values, const char* what) {
    Matrix matrix = as_array<double>(values);
    if (matrix.ndim() != 2)
        raise_error(ErrorKind::value_error, std::string(what) + " must be a two-dimensional array of rows.");
    return matrix;
}

Matrix as_vector(const py::object& values, const char* what) {
    Matrix vector = as_array<double>(values);
    if (vector.ndim() != 1)
        raise_error(ErrorKind::value_error, std::string(what) + " must be a one-dimensional array.");
    return vector;
}

std::size_t shared_features(const Matrix& a, const Matrix& b, const char* mismatch) {
    if (a.shape(1) != b.shape(1)) raise_error(ErrorKind::value_error, mismatch);
    return static_cast<std::size_t>(a.shape(1));
}

std::size_t neighbour_count(long long k, std::size_t n_reference, std::size_t excluded) {
    if (k < 1 || n_reference < excluded + static_cast<std::size_t>(k)) {
        raise_error(ErrorKind::value_error,
                    "Not enough reference rows for " + std::to_string(k) + " nearest neighbours.");
    }
    return static_cast<std::size_t>(k);
}

void require_finite(const Matrix& values, const char* what) {
    const double* data = values.data();
    const py::ssize_t n = values.size();
    for (py::ssize_t i = 0; i < n; ++i) {
        if (!std::isfinite(data[i]))
            raise_error(ErrorKind::value_error, std::string(what) + " must hold finite values only.");
    }
}

void require_ascending(const Matrix& values, const char* what) {
    const double* data = values.data();
    const py::ssize_t n = values.size();
    for (py::ssize_t i = 1; i < n; ++i) {
        if (data[i] < data[i - 1])
            raise_error(ErrorKind::value_error, std::string(what) + " must be sorted in ascending order.");
    }
}

std::vector<double> columns_of(const Matrix& rows) {
    const std::size_t n_rows = static_cast<std::size_t>(rows.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(rows.shape(1));
    std::vector<double> columns(n_rows * n_features);
    const double* data = rows.data();
    for (std::size_t r = 0; r < n_rows; ++r) {
        for (std::size_t f = 0; f < n_features; ++f) columns[f * n_rows + r] = data[r * n_features + f];
    }
    return columns;
}

std::size_t thread_count(long long requested, std::size_t items) {
    if (requested <= 0) requested = static_cast<long long>(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<std::size_t>(
        std::max<long long>(1, std::min<long long>(requested, static_cast<long long>(items))));
}

std::size_t threads_for_rows(long long requested, std::size_t rows, std::size_t unit) {
    return thread_count(requested, rows / std::max<std::size_t>(64, unit) + 1);
}

RowChunks row_chunks(std::size_t n_rows, double work_per_row, long long requested_threads, std::size_t unit) {
    const double wanted = work_per_chunk / std::max(1.0, work_per_row);
    const auto units = static_cast<std::size_t>(std::max(1.0, std::floor(wanted / static_cast<double>(unit))));
    return {.n_rows = n_rows,
            .rows = std::min(std::max<std::size_t>(n_rows, 1), units * unit),
            .threads = threads_for_rows(requested_threads, n_rows, unit)};
}

}  // namespace velmora::metric_calls
