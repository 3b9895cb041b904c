// velmora._metric_core._metric_kernels: the metric library's numeric
// kernels (native/common/metric_kernels.*) on numpy arrays.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velmora_python.hpp"
#include "metric_kernels.hpp"
#include "parallel.hpp"

namespace {

using velmora::ArgKind;
using velmora::Call;
using velmora::ErrorKind;
using velmora::FunctionSpec;
using velmora::raise_error;
using velmora::run_parallel;

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

Matrix as_matrix(const py::object& values, const char* what) {
    Matrix matrix = Matrix::ensure(values);
    if (!matrix) throw py::error_already_set();
    if (matrix.ndim() != 2)
        raise_error(ErrorKind::value_error, std::string(what) + " must be a two-dimensional array of rows.");
    return matrix;
}

Matrix as_vector(const py::object& values, const char* what) {
    Matrix vector = Matrix::ensure(values);
    if (!vector) throw py::error_already_set();
    if (vector.ndim() != 1)
        raise_error(ErrorKind::value_error, std::string(what) + " must be a one-dimensional array.");
    return vector;
}

void require_finite(const Matrix& values, const char* what) {
    const double* data = values.data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(data[i]))
            raise_error(ErrorKind::value_error, std::string(what) + " must hold finite values only.");
    }
}

// Feature-major copy of a row-major matrix.
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

std::size_t thread_count(const py::object& requested, std::size_t work_items) {
    long long wanted = requested.cast<long long>();
    if (wanted <= 0) wanted = static_cast<long long>(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<std::size_t>(
        std::max<long long>(1, std::min<long long>(wanted, static_cast<long long>(work_items))));
}

// Thread t's rows of an upper triangle of n rows (row i has n - i - 1 terms): the
// boundaries n (1 - sqrt(1 - t / threads)) give every thread about the same work.
std::pair<std::size_t, std::size_t> triangle_share(std::size_t n, std::size_t t, std::size_t threads) {
    auto boundary = [&](std::size_t u) {
        if (u >= threads) return n;
        const double fraction = 1.0 - std::sqrt(1.0 - static_cast<double>(u) / static_cast<double>(threads));
        return std::min(n, static_cast<std::size_t>(fraction * static_cast<double>(n)));
    };
    return {boundary(t), boundary(t + 1)};
}

py::object nearest_neighbours(const Call& call) {
    Matrix query = as_matrix(call[0], "query");
    Matrix reference = as_matrix(call[1], "reference");
    const long long k_value = call[2].cast<long long>();
    const bool exclude_self = call[3].cast<bool>();
    const std::size_t n_query = static_cast<std::size_t>(query.shape(0));
    const std::size_t n_reference = static_cast<std::size_t>(reference.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(query.shape(1));
    if (static_cast<std::size_t>(reference.shape(1)) != n_features) {
        raise_error(ErrorKind::value_error, "Query and reference rows have different numbers of features.");
    }
    if (exclude_self && n_query != n_reference) {
        raise_error(ErrorKind::value_error, "exclude_self needs the query to be the reference.");
    }
    const std::size_t available = n_reference - (exclude_self ? 1 : 0);
    if (k_value < 1 || n_reference == 0 || available < static_cast<std::size_t>(k_value)) {
        raise_error(ErrorKind::value_error,
                    "Not enough reference rows for " + std::to_string(k_value) + " nearest neighbours.");
    }
    require_finite(query, "query");
    require_finite(reference, "reference");
    const std::size_t k = static_cast<std::size_t>(k_value);
    py::array_t<double> distances({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)});
    py::array_t<std::int64_t> positions({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)});
    const std::size_t threads = thread_count(call[4], n_query / 64 + 1);
    {
        std::vector<double> reference_columns = columns_of(reference);
        const double* query_data = query.data();
        double* distance_data = distances.mutable_data();
        std::int64_t* position_data = positions.mutable_data();
        // Only plain buffers are touched below: the arrays are owned by this frame and
        // no Python object is created or released while the GIL is let go.
        py::gil_scoped_release release;
        const std::size_t share = (n_query + threads - 1) / threads;
        run_parallel(threads, [&](std::size_t t) {
            const std::size_t first = std::min(n_query, t * share);
            const std::size_t last = std::min(n_query, first + share);
            velmora::metrics::nearest_neighbours(query_data, n_query, reference_columns.data(), n_reference, n_features,
                                                 k, exclude_self, first, last, distance_data, position_data);
        });
    }
    return py::make_tuple(distances, positions);
}

py::object rbf_kernel_sums(const Call& call) {
    Matrix x = as_matrix(call[0], "x");
    Matrix y = as_matrix(call[1], "y");
    const double gamma = call[2].cast<double>();
    const std::size_t n_x = static_cast<std::size_t>(x.shape(0));
    const std::size_t n_y = static_cast<std::size_t>(y.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(x.shape(1));
    if (static_cast<std::size_t>(y.shape(1)) != n_features) {
        raise_error(ErrorKind::value_error, "x and y rows have different numbers of features.");
    }
    require_finite(x, "x");
    require_finite(y, "y");
    const std::size_t threads = thread_count(call[3], (n_x + n_y) / 64 + 1);
    double sums[3];
    {
        std::vector<double> x_columns = columns_of(x);
        std::vector<double> y_columns = columns_of(y);
        std::vector<double> rows_xx(n_x), rows_yy(n_y), rows_xy(n_x);
        const double* x_data = x.data();
        const double* y_data = y.data();
        // Plain buffers only while the GIL is released (see nearest_neighbours).
        py::gil_scoped_release release;
        run_parallel(threads, [&](std::size_t t) {
            const auto [xx_first, xx_last] = triangle_share(n_x, t, threads);
            velmora::metrics::rbf_row_sums(x_data, n_x, x_columns.data(), n_x, n_features, gamma, true, xx_first,
                                           xx_last, rows_xx.data());
            const auto [yy_first, yy_last] = triangle_share(n_y, t, threads);
            velmora::metrics::rbf_row_sums(y_data, n_y, y_columns.data(), n_y, n_features, gamma, true, yy_first,
                                           yy_last, rows_yy.data());
            const std::size_t share = (n_x + threads - 1) / threads;
            const std::size_t xy_first = std::min(n_x, t * share);
            velmora::metrics::rbf_row_sums(x_data, n_x, y_columns.data(), n_y, n_features, gamma, false, xy_first,
                                           std::min(n_x, xy_first + share), rows_xy.data());
        });
        sums[0] = velmora::metrics::sequential_sum(rows_xx.data(), n_x);
        sums[1] = velmora::metrics::sequential_sum(rows_yy.data(), n_y);
        sums[2] = velmora::metrics::sequential_sum(rows_xy.data(), n_x);
    }
    return py::make_tuple(sums[0], sums[1], sums[2]);
}

py::object ks_wasserstein_sorted(const Call& call) {
    Matrix x = as_vector(call[0], "x");
    Matrix y = as_vector(call[1], "y");
    if (x.size() == 0 || y.size() == 0) raise_error(ErrorKind::value_error, "Both samples need at least one value.");
    require_finite(x, "x");
    require_finite(y, "y");
    const double* x_data = x.data();
    const double* y_data = y.data();
    for (py::ssize_t i = 1; i < x.size(); ++i) {
        if (x_data[i] < x_data[i - 1]) raise_error(ErrorKind::value_error, "x must be sorted in ascending order.");
    }
    for (py::ssize_t i = 1; i < y.size(); ++i) {
        if (y_data[i] < y_data[i - 1]) raise_error(ErrorKind::value_error, "y must be sorted in ascending order.");
    }
    velmora::metrics::KsWasserstein result = velmora::metrics::ks_wasserstein_sorted(
        x_data, static_cast<std::size_t>(x.size()), y_data, static_cast<std::size_t>(y.size()));
    return py::make_tuple(result.ks, result.wasserstein);
}

const FunctionSpec nearest_spec{
    .name = "nearest_neighbours",
    .params = {{.name = "query", .annotation = "np.ndarray"},
               {.name = "reference", .annotation = "np.ndarray"},
               {.name = "k", .kind = ArgKind::integer, .annotation = "int", .default_text = "1"},
               {.name = "exclude_self", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "False"},
               {.name = "threads", .kind = ArgKind::integer, .annotation = "int", .default_text = "0"}},
    .return_annotation = "tuple",
    .doc =
        "Distances from each query row to its k nearest reference rows, nearest first, and\n"
        "their positions, as two (rows, k) arrays. Squared distances are summed feature by\n"
        "feature in feature order; ties go to the lower position. With exclude_self the query\n"
        "is the reference and each row's own position is skipped. threads <= 0 uses every core.",
    .implementation = nearest_neighbours,
};

const FunctionSpec rbf_spec{
    .name = "rbf_kernel_sums",
    .params = {{.name = "x", .annotation = "np.ndarray"},
               {.name = "y", .annotation = "np.ndarray"},
               {.name = "gamma", .kind = ArgKind::real, .annotation = "float"},
               {.name = "threads", .kind = ArgKind::integer, .annotation = "int", .default_text = "0"}},
    .return_annotation = "tuple",
    .doc =
        "(sum over i < j of k(x_i, x_j), sum over i < j of k(y_i, y_j), sum over i, j of\n"
        "k(x_i, y_j)) with k(a, b) = exp(-gamma * |a - b|^2). Each row's terms are added in\n"
        "ascending j, then the row sums in ascending i.",
    .implementation = rbf_kernel_sums,
};

const FunctionSpec ks_spec{
    .name = "ks_wasserstein_sorted",
    .params = {{.name = "x", .annotation = "np.ndarray"}, {.name = "y", .annotation = "np.ndarray"}},
    .return_annotation = "tuple",
    .doc =
        "(KS statistic, 1-Wasserstein distance) of two ascending samples of finite values,\n"
        "from one merge of the two.",
    .implementation = ks_wasserstein_sorted,
};

}  // namespace

PYBIND11_MODULE(_metric_kernels, module) {
    module.doc() = "Numeric kernels of the metric library: nearest neighbours, RBF kernel sums, KS and Wasserstein.";
    velmora::binding::add_function(module, nearest_spec);
    velmora::binding::add_function(module, rbf_spec);
    velmora::binding::add_function(module, ks_spec);
}
