// velmora._metric_core._metric_kernels: the metric library's numeric
// kernels (native/common: dense_distances, coded_neighbours, ranks,
// distribution_distances, blake3) on numpy arrays.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velmora_python.hpp"
#include "blake3.hpp"
#include "coded_neighbours.hpp"
#include "dense_distances.hpp"
#include "distribution_distances.hpp"
#include "interrupts.hpp"
#include "object_arrays.hpp"
#include "ranks.hpp"

namespace {

using velmora::ArgKind;
using velmora::Call;
using velmora::ErrorKind;
using velmora::FunctionSpec;
using velmora::raise_error;
using velmora::binding::run_chunks;

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

// Work is cut into chunks of about this many multiply-adds (a few milliseconds), so that
// Ctrl-C is seen between them.
constexpr double work_per_chunk = 4e6;

// Chunks of `rows` rows that each cost `work_per_row`, in multiples of `unit` rows.
std::size_t rows_per_chunk(std::size_t rows, double work_per_row, std::size_t unit = 1) {
    const double wanted = work_per_chunk / std::max(1.0, work_per_row);
    const auto units = static_cast<std::size_t>(std::max(1.0, std::floor(wanted / static_cast<double>(unit))));
    return std::min(std::max<std::size_t>(rows, 1), units * unit);
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
        // Only plain buffers are touched in the chunks, which run without the GIL: the
        // arrays are owned by this frame and no Python object is created or released.
        const std::size_t rows = rows_per_chunk(n_query, static_cast<double>(n_reference * n_features));
        const double* columns = reference_columns.data();
        run_chunks((n_query + rows - 1) / rows, threads, [&](std::size_t c) {
            const std::size_t first = c * rows;
            const std::size_t last = std::min(n_query, first + rows);
            velmora::metrics::nearest_neighbours(query_data, n_query, columns, n_reference, n_features, k, exclude_self,
                                                 first, last, distance_data, position_data);
        });
    }
    return py::make_tuple(distances, positions);
}

py::object coded_nearest_neighbours(const Call& call) {
    Matrix query = as_matrix(call[0], "query");
    Matrix reference = as_matrix(call[1], "reference");
    using Flags = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
    Flags categorical = Flags::ensure(call[2]);
    if (!categorical) throw py::error_already_set();
    const double half = call[3].cast<double>();
    const long long k_value = call[4].cast<long long>();
    const std::size_t n_query = static_cast<std::size_t>(query.shape(0));
    const std::size_t n_reference = static_cast<std::size_t>(reference.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(query.shape(1));
    if (static_cast<std::size_t>(reference.shape(1)) != n_features) {
        raise_error(ErrorKind::value_error, "Query and reference rows have different numbers of features.");
    }
    if (categorical.ndim() != 1 || static_cast<std::size_t>(categorical.shape(0)) != n_features) {
        raise_error(ErrorKind::value_error, "categorical must hold one flag per feature.");
    }
    if (k_value < 1 || n_reference < static_cast<std::size_t>(k_value)) {
        raise_error(ErrorKind::value_error,
                    "Not enough reference rows for " + std::to_string(k_value) + " nearest neighbours.");
    }
    if (!std::isfinite(half)) raise_error(ErrorKind::value_error, "half must be finite.");
    require_finite(query, "query");
    require_finite(reference, "reference");
    const std::size_t k = static_cast<std::size_t>(k_value);
    py::array_t<double> distances({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)});
    py::array_t<std::int64_t> positions({static_cast<py::ssize_t>(n_query), static_cast<py::ssize_t>(k)});
    const std::size_t threads = thread_count(call[5], n_query / 128 + 1);
    {
        const velmora::metrics::CodedSpace space{
            .categorical = categorical.data(), .n_features = n_features, .half = half};
        const double* query_data = query.data();
        const double* reference_data = reference.data();
        double* distance_data = distances.mutable_data();
        std::int64_t* position_data = positions.mutable_data();
        std::optional<velmora::metrics::CodedReference> prepared;
        std::vector<std::int64_t> order;
        {
            // Plain buffers only while the GIL is released (see nearest_neighbours).
            py::gil_scoped_release release;
            prepared.emplace(reference_data, n_reference, space);
            order = velmora::metrics::proximity_order(query_data, n_query, space,
                                                      velmora::metrics::CodedReference::block_rows);
        }
        // Whole groups of queries per chunk, each group about as costly as a search of
        // every reference row (pruning only makes it cheaper).
        const std::size_t group = velmora::metrics::coded_query_group;
        const std::size_t rows = rows_per_chunk(n_query, static_cast<double>(n_reference * n_features), group);
        run_chunks((n_query + rows - 1) / rows, threads, [&](std::size_t c) {
            const std::size_t first = c * rows;
            const std::size_t last = std::min(n_query, first + rows);
            velmora::metrics::coded_nearest_neighbours(query_data, order.data(), first, last, *prepared, k,
                                                       distance_data, position_data);
        });
    }
    return py::make_tuple(distances, positions);
}

// The BLAKE3 hash of `n` bytes, its pieces hashed on every core (between pieces the
// calling thread checks for Ctrl-C). Call with the GIL held; the bytes must stay put.
velmora::digest::Digest hash_bytes(const std::uint8_t* bytes, std::size_t n) {
    const std::size_t pieces = velmora::digest::pieces_of(n);
    if (pieces == 1) return velmora::digest::blake3(bytes, n);
    std::vector<velmora::digest::ChainingValue> values(pieces);
    run_chunks(pieces, thread_count(py::int_(0), pieces),
               [&](std::size_t piece) { values[piece] = velmora::digest::piece_value(bytes, n, piece); });
    return velmora::digest::join_pieces(values.data(), pieces);
}

// The key of an array: BLAKE3 over what tells arrays apart (`kind`, the dtype, the shape)
// and the hash of the contents.
py::bytes array_key(const char* kind, const py::array& values, const velmora::digest::Digest& contents) {
    std::string header = kind;
    header += '\0';
    header += py::str(values.dtype().attr("str")).cast<std::string>();
    header += '\0';
    auto append = [&header](std::uint64_t number) {
        for (int byte = 0; byte < 8; ++byte) header += static_cast<char>((number >> (8 * byte)) & 0xFF);
    };
    append(static_cast<std::uint64_t>(values.ndim()));
    for (py::ssize_t axis = 0; axis < values.ndim(); ++axis) append(static_cast<std::uint64_t>(values.shape(axis)));
    header.append(reinterpret_cast<const char*>(contents.data()), contents.size());
    const velmora::digest::Digest key =
        velmora::digest::blake3(reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
    return py::bytes(reinterpret_cast<const char*>(key.data()), key.size());
}

py::object content_digest(const Call& call) {
    py::array contiguous = py::array::ensure(call[0], py::array::c_style);
    if (!contiguous) throw py::error_already_set();
    // The bytes of an object array are addresses, not contents (see cell_digest).
    if (contiguous.dtype().kind() == 'O') raise_error(ErrorKind::type_error, "values must not be an object array.");
    const auto* bytes = static_cast<const std::uint8_t*>(contiguous.data());
    return array_key("values", contiguous, hash_bytes(bytes, static_cast<std::size_t>(contiguous.nbytes())));
}

py::object cell_digest(const Call& call) {
    py::array objects = py::array::ensure(call[0]);
    if (!objects) throw py::error_already_set();
    const velmora::ObjectCells cells(objects);
    std::optional<std::vector<std::uint8_t>> values = velmora::cell_values(cells, call[1].cast<py::tuple>());
    if (!values) return py::none();
    return array_key("cells", objects, hash_bytes(values->data(), values->size()));
}

py::object finite_argsort(const Call& call) {
    Matrix values = as_vector(call[0], "values");
    const std::size_t n = static_cast<std::size_t>(values.size());
    py::array_t<std::int64_t> order(static_cast<py::ssize_t>(n));
    std::size_t finite = 0;
    {
        const double* data = values.data();
        std::int64_t* out = order.mutable_data();
        // Plain buffers only while the GIL is released (see nearest_neighbours).
        py::gil_scoped_release release;
        finite = velmora::metrics::finite_argsort(data, n, out);
    }
    return py::make_tuple(order, py::int_(finite));
}

py::object average_ranks(const Call& call) {
    Matrix values = as_vector(call[0], "values");
    using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using Flags = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
    Positions order = Positions::ensure(call[1]);
    if (!order) throw py::error_already_set();
    const std::size_t n = static_cast<std::size_t>(values.size());
    if (order.ndim() != 1 || static_cast<std::size_t>(order.size()) > n) {
        raise_error(ErrorKind::value_error, "order must be a one-dimensional array of positions of values.");
    }
    const std::int64_t* positions = order.data();
    for (py::ssize_t i = 0; i < order.size(); ++i) {
        if (positions[i] < 0 || static_cast<std::size_t>(positions[i]) >= n) {
            raise_error(ErrorKind::index_error, "order holds a position outside values.");
        }
    }
    Flags keep;
    if (!call[2].is_none()) {
        keep = Flags::ensure(call[2]);
        if (!keep) throw py::error_already_set();
        if (keep.ndim() != 1 || static_cast<std::size_t>(keep.size()) != n) {
            raise_error(ErrorKind::value_error, "keep must hold one flag per value.");
        }
    }
    py::array_t<double> ranks(static_cast<py::ssize_t>(n));
    double* out = ranks.mutable_data();
    std::fill(out, out + n, std::nan(""));
    velmora::metrics::average_ranks(values.data(), positions, static_cast<std::size_t>(order.size()),
                                    call[2].is_none() ? nullptr : keep.data(), out);
    return ranks;
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
        const double* x_cols = x_columns.data();
        const double* y_cols = y_columns.data();
        // The three sums' rows in chunks of about equal work: the two triangles (row i has
        // n - i - 1 terms) and the rectangle. Each row's sum is the same whatever the
        // chunk it falls in.
        auto triangle_chunks = [&](std::size_t n) {
            const double work = 0.5 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n_features);
            return std::max<std::size_t>(1, static_cast<std::size_t>(work / work_per_chunk));
        };
        const std::size_t xx_chunks = triangle_chunks(n_x);
        const std::size_t yy_chunks = triangle_chunks(n_y);
        const std::size_t xy_rows = rows_per_chunk(n_x, static_cast<double>(n_y * n_features));
        const std::size_t xy_chunks = (n_x + xy_rows - 1) / xy_rows;
        run_chunks(xx_chunks + yy_chunks + xy_chunks, threads, [&](std::size_t c) {
            if (c < xx_chunks) {
                const auto [first, last] = triangle_share(n_x, c, xx_chunks);
                velmora::metrics::rbf_row_sums(x_data, n_x, x_cols, n_x, n_features, gamma, true, first, last,
                                               rows_xx.data());
            } else if (c < xx_chunks + yy_chunks) {
                const auto [first, last] = triangle_share(n_y, c - xx_chunks, yy_chunks);
                velmora::metrics::rbf_row_sums(y_data, n_y, y_cols, n_y, n_features, gamma, true, first, last,
                                               rows_yy.data());
            } else {
                const std::size_t first = (c - xx_chunks - yy_chunks) * xy_rows;
                velmora::metrics::rbf_row_sums(x_data, n_x, y_cols, n_y, n_features, gamma, false, first,
                                               std::min(n_x, first + xy_rows), rows_xy.data());
            }
        });
        sums[0] = velmora::metrics::sequential_sum(rows_xx.data(), n_x);
        sums[1] = velmora::metrics::sequential_sum(rows_yy.data(), n_y);
        sums[2] = velmora::metrics::sequential_sum(rows_xy.data(), n_x);
    }
    return py::make_tuple(sums[0], sums[1], sums[2]);
}

py::object pairwise_squared_distances(const Call& call) {
    Matrix rows = as_matrix(call[0], "rows");
    const std::size_t n_rows = static_cast<std::size_t>(rows.shape(0));
    const std::size_t n_features = static_cast<std::size_t>(rows.shape(1));
    py::array_t<double> out({static_cast<py::ssize_t>(n_rows), static_cast<py::ssize_t>(n_rows)});
    const std::size_t threads = thread_count(call[1], n_rows / 64 + 1);
    {
        std::vector<double> columns = columns_of(rows);
        const double* row_data = rows.data();
        double* out_data = out.mutable_data();
        const double* column_data = columns.data();
        const std::size_t chunk_rows = rows_per_chunk(n_rows, static_cast<double>(n_rows * n_features));
        run_chunks((n_rows + chunk_rows - 1) / chunk_rows, threads, [&](std::size_t c) {
            const std::size_t first = c * chunk_rows;
            velmora::metrics::pairwise_squared_distances(row_data, column_data, n_rows, n_features, first,
                                                         std::min(n_rows, first + chunk_rows), out_data);
        });
    }
    return out;
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

const FunctionSpec digest_spec{
    .name = "content_digest",
    .params = {{.name = "values", .annotation = "np.ndarray"}},
    .return_annotation = "bytes",
    .doc =
        "A 32-byte BLAKE3 digest of the array's dtype, shape and bytes in C order: arrays\n"
        "differing in any of them get different digests (barring a BLAKE3 collision).",
    .implementation = content_digest,
};

const FunctionSpec cell_digest_spec{
    .name = "cell_digest",
    .params = {{.name = "values", .annotation = "np.ndarray"}, {.name = "singletons", .annotation = "tuple"}},
    .return_annotation = "Optional[bytes]",
    .doc =
        "A 32-byte BLAKE3 digest of the values of a one-dimensional object array, cell by\n"
        "cell with their types: str, int (64 bits), float, bool, None, and the objects of\n"
        "singletons (by position). None when a cell holds anything else.",
    .implementation = cell_digest,
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
    module.doc() = "Numeric kernels of the metric library: nearest neighbours, RBF kernel sums, KS and Wasserstein.";
    velmora::binding::add_function(module, nearest_spec);
    velmora::binding::add_function(module, coded_nearest_spec);
    velmora::binding::add_function(module, digest_spec);
    velmora::binding::add_function(module, cell_digest_spec);
    velmora::binding::add_function(module, argsort_spec);
    velmora::binding::add_function(module, ranks_spec);
    velmora::binding::add_function(module, rbf_spec);
    velmora::binding::add_function(module, pairwise_spec);
    velmora::binding::add_function(module, ks_spec);
}
