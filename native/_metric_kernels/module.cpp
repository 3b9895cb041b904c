// velmora._metric_core._metric_kernels: the metric library's numeric kernels on numpy
// arrays. The arithmetic is pure C++ in native/common (dense_distances, coded_neighbours,
// ranks, distribution_distances); this file checks each call's arguments, read by name,
// and runs the work without the GIL. The digests are in digests.cpp.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velmora_python.hpp"
#include "coded_neighbours.hpp"
#include "dense_distances.hpp"
#include "distribution_distances.hpp"
#include "kernel_calls.hpp"
#include "ranks.hpp"

namespace {

using velmora::ArgKind;
using velmora::Call;
using velmora::ErrorKind;
using velmora::FunctionSpec;
using velmora::raise_error;
using namespace velmora::metric_calls;

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

// The two (query rows, k) arrays a nearest-neighbour search fills: distances, positions.
struct Neighbours {
    Neighbours(std::size_t n_query, std::size_t k)
        : distances({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)}),
          positions({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)}) {}

    py::object result() const { return py::make_tuple(distances, positions); }

    py::array_t<double> distances;
    py::array_t<std::int64_t> positions;
};

// Every kernel below touches only plain buffers while the GIL is released (inside
// RowChunks::run or a py::gil_scoped_release): the arrays are owned by its frame and no
// Python object is created or released there.

py::object nearest_neighbours(const Call& call) {
    Matrix query = as_matrix(call.arg("query"), "query");
    Matrix reference = as_matrix(call.arg("reference"), "reference");
    const long long k_value = call.arg("k").cast<long long>();
    const bool exclude_self = call.arg("exclude_self").cast<bool>();
    const std::size_t n_query = static_cast<std::size_t>(query.shape(0));
    const std::size_t n_reference = static_cast<std::size_t>(reference.shape(0));
    const std::size_t n_features =
        shared_features(query, reference, "Query and reference rows have different numbers of features.");
    if (exclude_self && n_query != n_reference) {
        raise_error(ErrorKind::value_error, "exclude_self needs the query to be the reference.");
    }
    const std::size_t k = neighbour_count(k_value, n_reference, exclude_self ? 1 : 0);
    require_finite(query, "query");
    require_finite(reference, "reference");
    Neighbours out(n_query, k);
    const RowChunks chunks =
        row_chunks(n_query, static_cast<double>(n_reference * n_features), call.arg("threads").cast<long long>());
    const std::vector<double> reference_columns = columns_of(reference);
    const double* query_data = query.data();
    const double* columns = reference_columns.data();
    double* distances = out.distances.mutable_data();
    std::int64_t* positions = out.positions.mutable_data();
    chunks.run([&](std::size_t first, std::size_t last) {
        velmora::metrics::nearest_neighbours(query_data, n_query, columns, n_reference, n_features, k, exclude_self,
                                             first, last, distances, positions);
    });
    return out.result();
}

py::object coded_nearest_neighbours(const Call& call) {
    Matrix query = as_matrix(call.arg("query"), "query");
    Matrix reference = as_matrix(call.arg("reference"), "reference");
    Flags categorical = as_array<std::uint8_t>(call.arg("categorical"));
    const double half = call.arg("half").cast<double>();
    const long long k_value = call.arg("k").cast<long long>();
    const std::size_t n_query = static_cast<std::size_t>(query.shape(0));
    const std::size_t n_reference = static_cast<std::size_t>(reference.shape(0));
    const std::size_t n_features =
        shared_features(query, reference, "Query and reference rows have different numbers of features.");
    if (categorical.ndim() != 1 || static_cast<std::size_t>(categorical.shape(0)) != n_features) {
        raise_error(ErrorKind::value_error, "categorical must hold one flag per feature.");
    }
    const std::size_t k = neighbour_count(k_value, n_reference, 0);
    if (!std::isfinite(half)) raise_error(ErrorKind::value_error, "half must be finite.");
    require_finite(query, "query");
    require_finite(reference, "reference");
    Neighbours out(n_query, k);
    // Whole groups of queries per chunk, each group about as costly as a search of every
    // reference row (pruning only makes it cheaper).
    const RowChunks chunks = row_chunks(n_query, static_cast<double>(n_reference * n_features),
                                        call.arg("threads").cast<long long>(), velmora::metrics::coded_query_group);
    const velmora::metrics::CodedSpace space{.categorical = categorical.data(), .n_features = n_features, .half = half};
    const double* query_data = query.data();
    const double* reference_data = reference.data();
    double* distances = out.distances.mutable_data();
    std::int64_t* positions = out.positions.mutable_data();
    std::optional<velmora::metrics::CodedReference> prepared;
    std::vector<std::int64_t> order;
    {
        py::gil_scoped_release release;
        prepared.emplace(reference_data, n_reference, space);
        order =
            velmora::metrics::proximity_order(query_data, n_query, space, velmora::metrics::CodedReference::block_rows);
    }
    chunks.run([&](std::size_t first, std::size_t last) {
        velmora::metrics::coded_nearest_neighbours(query_data, order.data(), first, last, *prepared, k, distances,
                                                   positions);
    });
    return out.result();
}

py::object finite_argsort(const Call& call) {
    Matrix values = as_vector(call.arg("values"), "values");
    const std::size_t n = static_cast<std::size_t>(values.size());
    py::array_t<std::int64_t> order(static_cast<py::ssize_t>(n));
    const double* data = values.data();
    std::int64_t* out = order.mutable_data();
    std::size_t finite = 0;
    {
        py::gil_scoped_release release;
        finite = velmora::metrics::finite_argsort(data, n, out);
    }
    return py::make_tuple(order, py::int_(finite));
}

py::object average_ranks(const Call& call) {
    Matrix values = as_vector(call.arg("values"), "values");
    Positions order = as_array<std::int64_t>(call.arg("order"));
    const std::size_t n = static_cast<std::size_t>(values.size());
    if (order.ndim() != 1 || static_cast<std::size_t>(order.size()) > n) {
        raise_error(ErrorKind::value_error, "order must be a one-dimensional array of positions of values.");
    }
    const std::int64_t* positions = order.data();
    const auto n_ordered = static_cast<std::size_t>(order.size());
    for (std::size_t i = 0; i < n_ordered; ++i) {
        if (positions[i] < 0 || static_cast<std::size_t>(positions[i]) >= n) {
            raise_error(ErrorKind::index_error, "order holds a position outside values.");
        }
    }
    const py::object& keep_argument = call.arg("keep");
    std::optional<Flags> keep;
    if (!keep_argument.is_none()) {
        keep = as_array<std::uint8_t>(keep_argument);
        if (keep->ndim() != 1 || static_cast<std::size_t>(keep->size()) != n) {
            raise_error(ErrorKind::value_error, "keep must hold one flag per value.");
        }
    }
    py::array_t<double> ranks(static_cast<py::ssize_t>(n));
    const double* data = values.data();
    const std::uint8_t* kept = keep ? keep->data() : nullptr;
    double* out = ranks.mutable_data();
    {
        py::gil_scoped_release release;
        std::fill(out, out + n, std::nan(""));
        velmora::metrics::average_ranks(data, positions, n_ordered, kept, out);
    }
    return ranks;
}

py::object rbf_kernel_sums(const Call& call) {
    Matrix x = as_matrix(call.arg("x"), "x");
    Matrix y = as_matrix(call.arg("y"), "y");
    const double gamma = call.arg("gamma").cast<double>();
    const std::size_t n_x = static_cast<std::size_t>(x.shape(0));
    const std::size_t n_y = static_cast<std::size_t>(y.shape(0));
    const std::size_t n_features = shared_features(x, y, "x and y rows have different numbers of features.");
    require_finite(x, "x");
    require_finite(y, "y");
    const long long requested_threads = call.arg("threads").cast<long long>();
    const std::vector<double> x_columns = columns_of(x);
    const std::vector<double> y_columns = columns_of(y);
    std::vector<double> rows_xx(n_x), rows_yy(n_y), rows_xy(n_x);
    const double* x_data = x.data();
    const double* y_data = y.data();
    const double* x_cols = x_columns.data();
    const double* y_cols = y_columns.data();
    // The three sums' rows in chunks of about equal work: the two triangles (row i has
    // n - i - 1 terms) and the rectangle. Each row's sum is the same whatever the chunk
    // it falls in.
    auto triangle_chunks = [&](std::size_t n) {
        const double work = 0.5 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n_features);
        return std::max<std::size_t>(1, static_cast<std::size_t>(work / work_per_chunk));
    };
    const std::size_t xx_chunks = triangle_chunks(n_x);
    const std::size_t yy_chunks = triangle_chunks(n_y);
    const RowChunks xy = row_chunks(n_x, static_cast<double>(n_y * n_features), requested_threads);
    velmora::binding::run_chunks(
        xx_chunks + yy_chunks + xy.count(), threads_for_rows(requested_threads, n_x + n_y), [&](std::size_t c) {
            if (c < xx_chunks) {
                const auto [first, last] = triangle_share(n_x, c, xx_chunks);
                velmora::metrics::rbf_row_sums(x_data, n_x, x_cols, n_x, n_features, gamma, true, first, last,
                                               rows_xx.data());
            } else if (c < xx_chunks + yy_chunks) {
                const auto [first, last] = triangle_share(n_y, c - xx_chunks, yy_chunks);
                velmora::metrics::rbf_row_sums(y_data, n_y, y_cols, n_y, n_features, gamma, true, first, last,
                                               rows_yy.data());
            } else {
                const std::size_t first = (c - xx_chunks - yy_chunks) * xy.rows;
                velmora::metrics::rbf_row_sums(x_data, n_x, y_cols, n_y, n_features, gamma, false, first,
                                               std::min(n_x, first + xy.rows), rows_xy.data());
            }
        });
    return py::make_tuple(velmora::metrics::sequential_sum(rows_xx.data(), n_x),
                          velmora::metrics::sequential_sum(rows_yy.data(), n_y),
                          velmora::metrics::sequential_sum(rows_xy.data(), n_x));
}

py::object pairwise_squared_distances(const Call& call) {
    Matrix rows = as_matrix(call.arg("rows"), "rows");
    const std::size_t n_rows = static_cast<std::size_t>(rows.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(rows.shape(1));
    py::array_t<double> out({static_cast<py::ssize_t>(n_rows), static_cast<py::ssize_t>(n_rows)});
    const RowChunks chunks =
        row_chunks(n_rows, static_cast<double>(n_rows * n_features), call.arg("threads").cast<long long>());
    const std::vector<double> columns = columns_of(rows);
    const double* row_data = rows.data();
    const double* column_data = columns.data();
    double* out_data = out.mutable_data();
    chunks.run([&](std::size_t first, std::size_t last) {
        velmora::metrics::pairwise_squared_distances(row_data, column_data, n_rows, n_features, first, last, out_data);
    });
    return out;
}

py::object ks_wasserstein_sorted(const Call& call) {
    Matrix x = as_vector(call.arg("x"), "x");
    Matrix y = as_vector(call.arg("y"), "y");
    if (x.size() == 0 || y.size() == 0) raise_error(ErrorKind::value_error, "Both samples need at least one value.");
    require_finite(x, "x");
    require_finite(y, "y");
    require_ascending(x, "x");
    require_ascending(y, "y");
    const double* x_data = x.data();
    const double* y_data = y.data();
    const auto n_x = static_cast<std::size_t>(x.size());
    const auto n_y = static_cast<std::size_t>(y.size());
    velmora::metrics::KsWasserstein result{};
    {
        py::gil_scoped_release release;
        result = velmora::metrics::ks_wasserstein_sorted(x_data, n_x, y_data, n_y);
    }
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

const FunctionSpec coded_nearest_spec{
    .name = "coded_nearest_neighbours",
    .params = {{.name = "query", .annotation = "np.ndarray"},
               {.name = "reference", .annotation = "np.ndarray"},
               {.name = "categorical", .annotation = "np.ndarray"},
               {.name = "half", .kind = ArgKind::real, .annotation = "float"},
               {.name = "k", .kind = ArgKind::integer, .annotation = "int", .default_text = "1"},
               {.name = "threads", .kind = ArgKind::integer, .annotation = "int", .default_text = "0"}},
    .return_annotation = "tuple",
    .doc =
        "nearest_neighbours on coded rows: features flagged in categorical are category codes,\n"
        "the others numbers. A pair's squared distance is summed in feature order: (q - r)^2\n"
        "for a number, half twice for two differing codes, nothing for equal ones: the sum of\n"
        "the one-hot rows the codes stand for, bit for bit. Ties go to the lower position.",
    .implementation = coded_nearest_neighbours,
};

const FunctionSpec argsort_spec{
    .name = "finite_argsort",
    .params = {{.name = "values", .annotation = "np.ndarray"}},
    .return_annotation = "tuple",
    .doc =
        "(order, n_finite): positions of the values in ascending order (a stable sort, -0.0\n"
        "equal to 0.0), the non-finite values last in their original order, and how many\n"
        "values are finite.",
    .implementation = finite_argsort,
};

const FunctionSpec ranks_spec{
    .name = "average_ranks",
    .params = {{.name = "values", .annotation = "np.ndarray"},
               {.name = "order", .annotation = "np.ndarray"},
               {.name = "keep", .annotation = "Optional[np.ndarray]", .default_text = "None"}},
    .return_annotation = "np.ndarray",
    .doc =
        "Average ranks (1-based, ties sharing their mean rank) of values[order], an ascending\n"
        "run of positions, keeping only the positions where keep is true (all when keep is\n"
        "None) and ranking them among themselves; NaN at every other position.",
    .implementation = average_ranks,
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

const FunctionSpec pairwise_spec{
    .name = "pairwise_squared_distances",
    .params = {{.name = "rows", .annotation = "np.ndarray"},
               {.name = "threads", .kind = ArgKind::integer, .annotation = "int", .default_text = "0"}},
    .return_annotation = "np.ndarray",
    .doc =
        "The (n, n) matrix of squared distances between all pairs of rows, each summed\n"
        "feature by feature in feature order from 0.0. threads <= 0 uses every core.",
    .implementation = pairwise_squared_distances,
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
    module.doc() =
        "Numeric kernels of the metric library: the k nearest neighbours of dense rows and of\n"
        "coded rows, BLAKE3 digests of an array's contents and of an object array's cells, a\n"
        "stable argsort with the non-finite values last, average ranks along it, the Gaussian\n"
        "kernel sums of an MMD, pairwise squared distances, and the KS statistic with the\n"
        "1-Wasserstein distance of two sorted samples.";
    velmora::binding::add_function(module, nearest_spec);
    velmora::binding::add_function(module, coded_nearest_spec);
    velmora::metric_calls::add_digest_functions(module);
    velmora::binding::add_function(module, argsort_spec);
    velmora::binding::add_function(module, ranks_spec);
    velmora::binding::add_function(module, rbf_spec);
    velmora::binding::add_function(module, pairwise_spec);
    velmora::binding::add_function(module, ks_spec);
}
