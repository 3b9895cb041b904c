// The categorical pass (_apply_categorical_dp): each column is redrawn from its
// category counts with Laplace noise. See column_passes.hpp for the routes.
#include "velmora_python.hpp"
#include "column_access.hpp"
#include "column_passes.hpp"
#include "interrupts.hpp"
#include "noiseforge_parts.hpp"
#include "object_tally.hpp"

#include <cmath>

namespace velmora::noiseforge {
namespace {

// A categorical column's noisy category distribution: the categories that occur, in
// pandas' value_counts order, and their probabilities after the second normalisation.
struct NoisyDistribution {
    py::list categories;
    py::object probs;
};

NoisyDistribution noisy_distribution(const Call& call, const py::object& value_counts) {
    py::object np = call.global("np");
    py::object laplace = np.attr("random").attr("laplace");
    py::object epsilon = budget(call, "epsilon");
    // The scale of every count's noise; an infinite one (a denormal epsilon) would give
    // NaN probabilities.
    if (py::len(value_counts) > 0) {
        finite_scale(divide(py::float_(1.0), epsilon), "the Laplace scale 1 / epsilon of the category counts",
                     "epsilon is too small");
    }
    NoisyDistribution result;
    py::list noisy;
    for (py::handle item : value_counts.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object count = pair[1];
        py::object noise = laplace(0, divide(py::float_(1.0), epsilon));
        // A category column counts its unused categories with 0; they never occurred, so
        // they take no part in the redraw. Their noise is still drawn, so the random
        // stream of every later column stays the same.
        if (equals(count, py::int_(0))) continue;
        py::object noisy_count = count + noise;
        result.categories.append(pair[0]);
        noisy.append(compare(noisy_count, py::int_(0), Comparison::gt) ? noisy_count : py::object(py::int_(0)));
    }
    py::object total_noisy = builtin("sum")(noisy);
    py::list probabilities;
    if (compare(total_noisy, py::int_(0), Comparison::gt)) {
        for (py::handle value : noisy) probabilities.append(divide(value, total_noisy));
    } else {
        py::object uniform = divide(py::float_(1.0), py::int_(py::len(result.categories)));
        for (std::size_t i = 0; i < py::len(result.categories); ++i) probabilities.append(uniform);
    }
    py::object probs = np.attr("array")(probabilities);
    result.probs = divide(probs, np.attr("sum")(probs));
    return result;
}

bool all_of_one_type(const py::list& values) {
    py::handle first;
    for (py::handle value : values) {
        py::handle type = py::type::handle_of(value);
        if (!first) first = type;
        if (!type.is(first)) return false;
    }
    return true;
}

py::object object_array_of(const Call& call, const py::list& values) {
    py::object np = call.global("np");
    py::ssize_t count = static_cast<py::ssize_t>(py::len(values));
    py::object array = np.attr("empty")(count, py::arg("dtype") = builtin("object"));
    for (py::ssize_t i = 0; i < count; ++i) velmora::set_item(array, py::int_(i), values[i]);
    return array;
}

// np.random.choice(count, size=rows, p=probs): drawn by the kernel from numpy's
// generator when choice is numpy's own and the probabilities are plainly valid (numpy
// would accept them); numpy draws otherwise, validating as it does.
py::object choice_indices(const Call& call, std::size_t count, const py::object& probs, std::size_t rows) {
    py::object np = call.global("np");
    std::optional<NumpyGlobalGenerator> generator = global_generator(call, "choice");
    if (generator && count > 0) {
        py::array_t<double> p = py::reinterpret_borrow<py::array_t<double>>(
            np.attr("ascontiguousarray")(probs, py::arg("dtype") = np.attr("float64")));
        const double* values = p.data();
        double sum = 0.0;
        bool valid = static_cast<std::size_t>(p.size()) == count && p.ndim() == 1;
        for (std::size_t i = 0; valid && i < count; ++i) {
            valid = std::isfinite(values[i]) && values[i] >= 0.0;
            sum += values[i];
        }
        if (valid && std::fabs(sum - 1.0) < 1e-9) {
            // numpy's own steps: cdf = p.cumsum(); cdf /= cdf[-1].
            py::object cdf_object = p.attr("cumsum")();
            cdf_object = divide(cdf_object, cdf_object[py::int_(-1)]);
            py::array_t<double> cdf = py::reinterpret_borrow<py::array_t<double>>(cdf_object);
            py::array_t<std::int64_t> indices(static_cast<py::ssize_t>(rows));
            const double* cdf_data = cdf.data();
            std::int64_t* out = indices.mutable_data();
            {
                NumpyGlobalGenerator::Lock held = generator->lock();
                // Pure C++ on buffers held by this call and numpy's generator state, under
                // the generator's lock: no Python object is touched.
                py::gil_scoped_release unlocked;
                noise::choice_indices(generator->source(), cdf_data, count, rows, out);
            }
            return indices;
        }
    }
    return np.attr("random").attr("choice")(py::int_(count), py::arg("size") = py::int_(rows), py::arg("p") = probs);
}

// The redrawn column: len(df) draws from the noisy distribution.
py::object redraw(const Call& call, const NoisyDistribution& distribution, std::size_t rows, bool str_values) {
    py::object np = call.global("np");
    std::size_t count = py::len(distribution.categories);
    if (!all_of_one_type(distribution.categories)) {
        // numpy would turn mixed values into one common type (1 and "a" into "1" and
        // "a"); drawing indices takes the same random numbers and keeps the objects.
        return object_array_of(call, distribution.categories)[choice_indices(call, count, distribution.probs, rows)];
    }
    // np.random.choice(categories, ...) draws indices exactly as choice(count, ...) does
    // and then takes them from np.array(categories); done here in the same steps.
    py::object values;
    bool one_dimensional = binding::swallow_exception([&] { values = np.attr("array")(distribution.categories); }) &&
                           values.attr("ndim").cast<int>() == 1;
    if (!one_dimensional) {
        // Categories that are sequences themselves (tuples) would make np.array(categories)
        // two-dimensional and np.random.choice refuse them; drawing indices takes the same
        // random numbers and keeps the objects.
        return object_array_of(call, distribution.categories)[choice_indices(call, count, distribution.probs, rows)];
    }
    py::object indices = choice_indices(call, count, distribution.probs, rows);
    // For str, numpy's array holds the text; the column gets it back as str objects, one
    // per category rather than one new object per row.
    if (str_values) {
        py::list text = values.attr("tolist")();
        py::array_t<std::int64_t> positions = py::array_t<std::int64_t>::ensure(indices);
        if (positions && positions.ndim() == 1) return take_objects(text, positions);
        return object_array_of(call, text)[indices];
    }
    return values[indices];
}

// The redrawn values as the column they replace holds them: a text column keeps its
// dtype. pandas 3 would make text drawn into an object column its str dtype, and text
// drawn into a StringDtype column the default str dtype; pandas 2 kept object columns of
// text as object. Other values take whatever pandas makes of the drawn array.
py::object as_column_values(const Call& call, const WorkFrame& work, const py::object& column,
                            const std::optional<py::object>& text_dtype, py::object new_values) {
    py::object pd = call.global("pd");
    if (text_dtype) return pd.attr("array")(new_values, py::arg("dtype") = *text_dtype);
    py::object dtype = column.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O' ||
        !py::isinstance<py::array>(new_values)) {
        return new_values;
    }
    const char kind = py::reinterpret_borrow<py::array>(new_values).dtype().kind();
    if (kind == 'U') {
        new_values = new_values.attr("astype")(builtin("object"));
    } else if (kind == 'O') {
        py::object inferred = pd.attr("api").attr("types").attr("infer_dtype")(new_values, py::arg("skipna") = true);
        if (!equals(inferred, py::str("string"))) return new_values;
    } else {
        return new_values;
    }
    // An object Series on the frame's own index is taken as it is: no str inference, and
    // no alignment (the labels may repeat).
    return pd.attr("Series")(new_values, py::arg("index") = work.frame().attr("index"),
                             py::arg("dtype") = builtin("object"), py::arg("copy") = false);
}

void categorical_column(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    py::object column = source[col];
    std::optional<py::object> text_dtype = string_dtype(column);
    std::optional<StrTally> tally;
    if (work.labels_unique() && !text_dtype) {
        if (std::optional<py::array> objects = object_column(column)) tally = tally_str_column(*objects);
    }
    py::object value_counts;
    std::size_t present;
    if (tally) {
        value_counts = tally->value_counts(call);
        present = tally->present;
    } else {
        // Also a string-dtype column: pandas counts it on its own storage (pyarrow's
        // kernels for pyarrow storage) faster than its cells could be read out. The
        // counts come in order of first appearance and are sorted as pandas 2's
        // value_counts() sorts them (pandas 3 sorts stably, which orders equal counts
        // differently), so a seed draws the same noise under both majors.
        value_counts =
            column.attr("value_counts")(py::arg("sort") = false).attr("sort_values")(py::arg("ascending") = false);
        present = py::len(column.attr("dropna")());
    }
    if (present == 0) return;
    NoisyDistribution distribution = noisy_distribution(call, value_counts);
    py::object new_values = redraw(call, distribution, py::len(source), tally.has_value() || text_dtype.has_value());
    if (tally) {
        work.replace_with_new(col, py::reinterpret_borrow<py::array>(new_values));
    } else {
        work.replace(col, as_column_values(call, work, column, text_dtype, new_values));
    }
}

py::object apply_categorical_dp(const Call& call) {
    WorkFrame work(call[1]);
    categorical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work.finish();
}

}  // namespace

void categorical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        binding::check_signals();  // Ctrl-C stops the pass between columns
        if (!contains(columns, col)) continue;
        categorical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

const FunctionSpec apply_categorical_dp_spec{
    .name = "_apply_categorical_dp",
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame"},
               {.name = "categorical_cols", .kind = ArgKind::list, .annotation = "list"}},
    .return_annotation = "pd.DataFrame",
    .doc = "Apply differential privacy to categorical columns.",
    .implementation = apply_categorical_dp,
};

}  // namespace velmora::noiseforge
