// The noise mechanisms and the column passes: Laplace and Gaussian noise, the numerical
// and categorical perturbation, and the minimal-noise mode.
//
// Each pass has a native route for the columns the kernels handle (numpy float64,
// float32, int64 and int32 buffers; object columns of str) and the plain pandas route
// for everything else. numpy draws every random number in both, with the same calls in
// the same order, and both yield the same frame bit for bit.
#include "velmora_python.hpp"
#include "noiseforge_parts.hpp"
#include "column_access.hpp"
#include "object_tally.hpp"

#include <cmath>

namespace velmora::noiseforge {

py::object divide(const py::handle& a, const py::handle& b) {
    PyObject* result = PyNumber_TrueDivide(a.ptr(), b.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object rich_compare(const py::handle& a, const py::handle& b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool compare(const py::handle& a, const py::handle& b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}


namespace {

// self.epsilon or self.delta as the mechanisms read them. A NaN budget would make every
// noisy value NaN without an error, so it is refused before anything is drawn.
py::object budget(const Call& call, const char* name) {
    py::object value = call.self().attr(name);
    if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()))) {
        throw py::value_error(std::string(name) + " is NaN, which would make every noisy value NaN; pass a positive number");
    }
    return value;
}

py::object add_laplace_noise(const Call& call) {
    const py::object& data = call[1];
    py::object scale = divide(call[2], budget(call, "epsilon"));
    py::object noise = call.global("np").attr("random").attr("laplace")(0, scale, data.attr("shape"));
    return data + noise;
}

py::object add_gaussian_noise(const Call& call) {
    const py::object& data = call[1];
    py::object np = call.global("np");
    py::object delta = budget(call, "delta");
    py::object epsilon = budget(call, "epsilon");
    py::object ratio = divide(py::float_(1.25), delta);
    py::object factor = np.attr("sqrt")(py::int_(2) * np.attr("log")(ratio));
    const double factor_value = factor.cast<double>();
    // A negative delta, or one above 1.25, leaves sigma NaN, which would make every
    // noisy value NaN.
    if (std::isnan(factor_value)) {
        throw py::value_error("delta must be greater than 0 and at most 1.25 for the Gaussian mechanism, got " +
                              py::str(py::repr(delta)).cast<std::string>());
    }
    // The factor is a numpy float; taking it as a Python float keeps the value and makes a
    // zero epsilon raise ZeroDivisionError instead of yielding an infinite sigma.
    py::object sigma = divide(py::float_(factor_value) * call[2], epsilon);
    py::object noise = np.attr("random").attr("normal")(0, sigma, data.attr("shape"));
    return data + noise;
}

// ---------------------------------------------------------------------------------
// Numerical columns

// Writes `values` into the non-missing rows of `col`, by position: labels may repeat.
void write_back(const Call& call, WorkFrame& work, const py::object& col, const py::object& column,
                const py::object& values) {
    py::object np = call.global("np");
    py::object positions = np.attr("flatnonzero")(column.attr("notna")().attr("to_numpy")());
    work.own(col);
    py::object where = work.frame().attr("columns").attr("get_loc")(col);
    velmora::set_item(work.frame().attr("iloc"), py::make_tuple(positions, where), values);
}

// The observed range (max - min) of numpy scalars, 1.0 when it is 0. Integers are
// subtracted as Python ints: in their own dtype the difference can overflow (an int8
// column from -100 to 100), giving a negative range and scale.
py::object observed_range(const py::object& low, const py::object& high) {
    py::object numpy_integer = py::module_::import("numpy").attr("integer");
    auto is_integer = [&](const py::object& value) {
        return py::isinstance(value, numpy_integer) || PyLong_CheckExact(value.ptr());
    };
    const bool integers = is_integer(low) && is_integer(high);
    py::object range = integers ? py::object(py::int_(high) - py::int_(low)) : high - low;
    if (equals(range, py::int_(0))) return py::float_(1.0);
    return range;
}

// Clipping to the widened observed range, then rounding, through pandas.
void clip_and_round(const Call& call, WorkFrame& work, const py::object& col, const py::object& lower,
                    const py::object& upper, bool is_integer) {
    py::object np = call.global("np");
    work.replace(col, np.attr("clip")(work.frame()[col], lower, upper));
    if (is_integer) work.replace(col, work.frame()[col].attr("round")());
}

void numerical_column_plain(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    const py::object& self = call.self();
    py::object np = call.global("np");
    py::object column = source[col];
    py::object col_data = column.attr("dropna")();
    if (py::len(col_data) == 0) return;
    bool is_integer = false;
    binding::swallow_exception([&] {
        is_integer = truth(np.attr("all")(rich_compare(np.attr("mod")(col_data, 1), py::int_(0), Py_EQ)));
    });
    py::object data_range = observed_range(col_data.attr("min")(), col_data.attr("max")());
    py::object sensitivity = data_range * self.attr("noise_scale");
    py::object noisy = self.attr("_add_laplace_noise")(col_data.attr("values"), sensitivity);
    write_back(call, work, col, column, noisy);
    py::object margin = data_range * py::float_(0.1);
    clip_and_round(call, work, col, col_data.attr("min")() - margin, col_data.attr("max")() + margin, is_integer);
}

// The noisy values as a contiguous float64 array of `size` elements, or nothing when
// they are something else (a subclass's mechanism may return anything).
std::optional<py::array_t<double>> noisy_buffer(const py::object& noisy, std::size_t size) {
    if (!py::isinstance<py::array>(noisy) || Py_TYPE(noisy.ptr()) != Py_TYPE(py::array().ptr())) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(noisy);
    if (array.dtype().num() != py::detail::npy_api::NPY_DOUBLE_ || array.ndim() != 1 ||
        static_cast<std::size_t>(array.shape(0)) != size || !(array.flags() & py::array::c_style)) {
        return std::nullopt;
    }
    char order = array.dtype().byteorder();
    if (order != '=' && order != '|') return std::nullopt;
    return py::reinterpret_borrow<py::array_t<double>>(array);
}

// A clip bound as a double, or nothing when it is missing (pandas then ignores it, a
// case left to the plain route).
std::optional<double> bound_value(const py::object& bound) {
    double value = PyFloat_AsDouble(bound.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (std::isnan(value)) return std::nullopt;
    return value;
}

// Writing noisy values into a column of type T keeps T when pandas can hold them all
// without loss; otherwise the column becomes float64. The native route builds the
// float64 column; the rare lossless case is left to pandas.
template <typename T>
bool becomes_float64(const double* noisy, std::size_t size) {
    if constexpr (std::is_same_v<T, double>) {
        (void)noisy;
        (void)size;
        return true;
    } else {
        return !noise::holds_losslessly<T>(noisy, size);
    }
}

// The column after noise: write-back into the non-missing rows, clipping to
// [lower, upper] when `clip`, rounding when `round`, all in one pass. Returns nothing
// when the plain route must finish the column instead.
template <typename T>
std::optional<py::array_t<double>> noisy_column(noise::ColumnView<T> view, const py::object& noisy, std::size_t present,
                                                bool clip, const py::object& lower, const py::object& upper,
                                                bool round) {
    std::optional<py::array_t<double>> values = noisy_buffer(noisy, present);
    if (!values || !becomes_float64<T>(values->data(), present)) return std::nullopt;
    double low = 0.0;
    double high = 0.0;
    if (clip) {
        std::optional<double> a = bound_value(lower);
        std::optional<double> b = bound_value(upper);
        if (!a || !b) return std::nullopt;
        // pandas' clip orders the two bounds first (min, then max).
        low = *b < *a ? *b : *a;
        high = *a < *b ? *b : *a;
    }
    py::array_t<double> out(static_cast<py::ssize_t>(view.size));
    const double* noisy_data = values->data();
    double* out_data = out.mutable_data();
    {
        // Pure C++ on buffers this call holds references to: no Python object is touched.
        py::gil_scoped_release unlocked;
        noise::scatter_noisy(view, noisy_data, clip, low, high, round, out_data);
    }
    return out;
}

// The numpy scalar of the column's type holding `value`, as pandas' min() and max() return.
template <typename T>
py::object numpy_scalar(const NumericColumn& column, T value) {
    return column.values.dtype().attr("type")(value);
}

// numpy's global legacy generator (np.random's RandomState): when the np.random
// function a step calls is still its own method, the kernels may draw from its bit
// generator directly, holding its lock, and get the numbers numpy would.
class GlobalGenerator {
public:
    // The generator when np.random.<method> is its own, unreplaced method.
    static std::optional<GlobalGenerator> behind(const Call& call, const char* method) {
        py::object random = call.global("np").attr("random");
        py::object state = random.attr("mtrand").attr("_rand");
        py::object random_state_type = random.attr("RandomState");
        if (Py_TYPE(state.ptr()) != reinterpret_cast<PyTypeObject*>(random_state_type.ptr())) return std::nullopt;
        py::object bound = random.attr(method);
        if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != state.ptr()) return std::nullopt;
        py::object own = random_state_type.attr("__dict__")[method];
        if (PyMethod_GET_FUNCTION(bound.ptr()) != own.ptr()) return std::nullopt;
        py::object bit_generator = state.attr("_bit_generator");
        py::object capsule = bit_generator.attr("capsule");
        auto* bitgen = static_cast<BitGen*>(PyCapsule_GetPointer(capsule.ptr(), "BitGenerator"));
        if (bitgen == nullptr) throw py::error_already_set();
        return GlobalGenerator(bit_generator, capsule, noise::UniformSource{bitgen->state, bitgen->next_double});
    }

    // Runs `body(source)` holding the generator's lock, as numpy's own draws do.
    template <typename Body>
    void draw(Body&& body) {
        py::object lock = bit_generator_.attr("lock");
        lock.attr("acquire")();
        try {
            body(source_);
        } catch (...) {
            lock.attr("release")();
            throw;
        }
        lock.attr("release")();
    }

private:
    // numpy's bitgen_t (numpy/random/bitgen.h), whose layout numpy keeps stable.
    struct BitGen {
        void* state;
        std::uint64_t (*next_uint64)(void*);
        std::uint32_t (*next_uint32)(void*);
        double (*next_double)(void*);
        std::uint64_t (*next_raw)(void*);
    };

    GlobalGenerator(py::object bit_generator, py::object capsule, noise::UniformSource source)
        : bit_generator_(std::move(bit_generator)), capsule_(std::move(capsule)), source_(source) {}

    py::object bit_generator_;
    py::object capsule_;  // keeps the state the source points into alive
    noise::UniformSource source_;
};

// The Laplace scale the own mechanism would use (float(sensitivity) / epsilon, raising
// what it raises), when the kernel can draw with it as numpy would: a finite,
// non-negative float. numpy draws in every other case.
std::optional<double> native_laplace_scale(const Call& call, const py::object& sensitivity) {
    double value = PyFloat_AsDouble(sensitivity.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    py::object scale = divide(py::float_(value), budget(call, "epsilon"));
    if (!PyFloat_CheckExact(scale.ptr())) return std::nullopt;
    double number = PyFloat_AS_DOUBLE(scale.ptr());
    if (!std::isfinite(number) || std::signbit(number)) return std::nullopt;
    return number;
}

// The laplace route with the draws inside the kernel: one pass draws, adds and writes
// the noisy column, a second clips and rounds it in place. Returns false when it does
// not apply (nothing drawn then).
template <typename T>
bool numerical_column_fused(const Call& call, WorkFrame& work, const py::object& col, noise::ColumnView<T> view,
                            const noise::ColumnSummary<T>& summary, const py::object& sensitivity,
                            const py::object& lower, const py::object& upper) {
    const py::object& self = call.self();
    if (!is_own_method(call, self, add_laplace_noise_spec)) return false;
    std::optional<GlobalGenerator> generator = GlobalGenerator::behind(call, "laplace");
    if (!generator) return false;
    std::optional<double> low = bound_value(lower);
    std::optional<double> high = bound_value(upper);
    if (!low || !high) return false;
    std::optional<double> scale = native_laplace_scale(call, sensitivity);
    if (!scale) return false;
    py::array_t<double> out(static_cast<py::ssize_t>(view.size));
    double* out_data = out.mutable_data();
    bool keeps_type = false;
    generator->draw([&](const noise::UniformSource& source) {
        // Pure C++ on buffers held by this call and numpy's generator state, under the
        // generator's lock: no Python object is touched.
        py::gil_scoped_release unlocked;
        keeps_type = noise::add_laplace_noise(view, source, *scale, out_data);
    });
    if (keeps_type) {
        // pandas would keep the column's type for these whole values: its own route.
        py::object noisy = out[call.global("np").attr("isnan")(out).attr("__invert__")()];
        write_back(call, work, col, work.frame()[col], noisy);
        clip_and_round(call, work, col, lower, upper, summary.whole);
        return true;
    }
    double a = *low < *high ? *low : *high;
    double b = *low < *high ? *high : *low;
    {
        py::gil_scoped_release unlocked;
        noise::clip_and_round(out_data, view.size, true, a, b, summary.whole);
    }
    work.replace_with_new(col, out);
    return true;
}

template <typename T>
void numerical_column_native(const Call& call, const py::object& source, WorkFrame& work, const py::object& col,
                             const NumericColumn& column, noise::ColumnView<T> view) {
    const py::object& self = call.self();
    noise::ColumnSummary<T> summary = noise::summarize(view);
    if (summary.present == 0) return;
    if (!summary.finite) {
        numerical_column_plain(call, source, work, col);
        return;
    }
    py::object low = numpy_scalar(column, summary.min);
    py::object high = numpy_scalar(column, summary.max);
    py::object data_range = observed_range(low, high);
    py::object sensitivity = data_range * self.attr("noise_scale");
    py::object margin = data_range * py::float_(0.1);
    py::object lower = low - margin;
    py::object upper = high + margin;
    if (numerical_column_fused(call, work, col, view, summary, sensitivity, lower, upper)) return;
    py::array_t<T> present(static_cast<py::ssize_t>(summary.present));
    noise::gather_present(view, present.mutable_data());
    py::object noisy = self.attr("_add_laplace_noise")(present, sensitivity);
    if (auto out = noisy_column(view, noisy, summary.present, true, lower, upper, summary.whole)) {
        work.replace_with_new(col, *out);
        return;
    }
    write_back(call, work, col, source[col], noisy);
    clip_and_round(call, work, col, lower, upper, summary.whole);
}

void numerical_column(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    if (work.labels_unique()) {
        if (std::optional<NumericColumn> column = numeric_column(source[col])) {
            with_view(*column, [&](auto view) { numerical_column_native(call, source, work, col, *column, view); });
            return;
        }
    }
    numerical_column_plain(call, source, work, col);
}

void gaussian_column(const Call& call, WorkFrame& work, const py::object& col) {
    const py::object& self = call.self();
    py::object column = work.frame()[col];
    std::optional<NumericColumn> numeric = work.labels_unique() ? numeric_column(column) : std::nullopt;
    if (numeric) {
        bool done = with_view(*numeric, [&](auto view) {
            using T = typename decltype(view)::value_type;
            noise::ColumnSummary<T> summary = noise::summarize(view);
            if (summary.present == 0) return true;
            if (!summary.finite) return false;
            py::object data_range = observed_range(numpy_scalar(*numeric, summary.min), numpy_scalar(*numeric, summary.max));
            py::object sensitivity = data_range * self.attr("noise_scale");
            py::array_t<T> present(static_cast<py::ssize_t>(summary.present));
            noise::gather_present(view, present.mutable_data());
            py::object noisy = self.attr("_add_gaussian_noise")(present, sensitivity);
            if (auto out = noisy_column(view, noisy, summary.present, false, py::none(), py::none(), false)) {
                work.replace_with_new(col, *out);
            } else {
                write_back(call, work, col, column, noisy);
            }
            return true;
        });
        if (done) return;
    }
    py::object col_data = column.attr("dropna")();
    if (py::len(col_data) == 0) return;
    py::object sensitivity = observed_range(col_data.attr("min")(), col_data.attr("max")()) * self.attr("noise_scale");
    py::object noisy = self.attr("_add_gaussian_noise")(col_data.attr("values"), sensitivity);
    write_back(call, work, col, column, noisy);
}

// ---------------------------------------------------------------------------------
// Categorical columns

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
        noisy.append(compare(noisy_count, py::int_(0), Py_GT) ? noisy_count : py::object(py::int_(0)));
    }
    py::object total_noisy = py::module_::import("builtins").attr("sum")(noisy);
    py::list probabilities;
    if (compare(total_noisy, py::int_(0), Py_GT)) {
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
    PyTypeObject* first = nullptr;
    for (py::handle value : values) {
        if (first == nullptr) first = Py_TYPE(value.ptr());
        if (Py_TYPE(value.ptr()) != first) return false;
    }
    return true;
}

py::object object_array_of(const Call& call, const py::list& values) {
    py::object np = call.global("np");
    py::ssize_t count = static_cast<py::ssize_t>(py::len(values));
    py::object array = np.attr("empty")(count, py::arg("dtype") = py::module_::import("builtins").attr("object"));
    for (py::ssize_t i = 0; i < count; ++i) velmora::set_item(array, py::int_(i), values[i]);
    return array;
}

// np.random.choice(count, size=rows, p=probs): drawn by the kernel from numpy's
// generator when choice is numpy's own and the probabilities are plainly valid (numpy
// would accept them); numpy draws otherwise, validating as it does.
py::object choice_indices(const Call& call, std::size_t count, const py::object& probs, std::size_t rows) {
    py::object np = call.global("np");
    std::optional<GlobalGenerator> generator = GlobalGenerator::behind(call, "choice");
    if (generator && count > 0) {
        py::array_t<double> p = py::reinterpret_borrow<py::array_t<double>>(np.attr("ascontiguousarray")(probs, py::arg("dtype") = np.attr("float64")));
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
            generator->draw([&](const noise::UniformSource& source) {
                // Pure C++ on buffers held by this call and numpy's generator state, under
                // the generator's lock: no Python object is touched.
                py::gil_scoped_release unlocked;
                noise::choice_indices(source, cdf_data, count, rows, out);
            });
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

void categorical_column(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    py::object column = source[col];
    std::optional<StrTally> tally;
    if (work.labels_unique()) {
        if (std::optional<py::array> objects = object_column(column)) tally = tally_str_column(*objects);
    }
    py::object value_counts;
    std::size_t present;
    if (tally) {
        value_counts = tally->value_counts(call);
        present = tally->present;
    } else {
        value_counts = column.attr("value_counts")();
        present = py::len(column.attr("dropna")());
    }
    if (present == 0) return;
    NoisyDistribution distribution = noisy_distribution(call, value_counts);
    py::object new_values = redraw(call, distribution, py::len(source), tally.has_value());
    if (tally) {
        work.replace_with_new(col, py::reinterpret_borrow<py::array>(new_values));
    } else {
        work.replace(col, new_values);
    }
}

// ---------------------------------------------------------------------------------
// Minimal mode

void minimal_number_column(const Call& call, const py::object& df, WorkFrame& work, const py::object& col) {
    py::object np = call.global("np");
    py::object column = df[col];
    py::object noise = np.attr("random").attr("normal")(0, call.self().attr("numerical_noise_std"), py::int_(py::len(df)));
    std::optional<NumericColumn> numeric = work.labels_unique() ? numeric_column(column) : std::nullopt;
    if (numeric) {
        if (std::optional<py::array_t<double>> values = noisy_buffer(noise, py::len(df))) {
            py::array_t<double> out(static_cast<py::ssize_t>(py::len(df)));
            with_view(*numeric, [&](auto view) { noise::add_noise(view, values->data(), out.mutable_data()); });
            work.replace_with_new(col, out);
            return;
        }
    }
    work.replace(col, column + noise);
}

void minimal_categorical_column(const Call& call, const py::object& df, WorkFrame& work, const py::object& col) {
    py::object random = call.global("np").attr("random");
    py::object probability = call.self().attr("categorical_noise_prob");
    std::size_t rows = py::len(df);
    py::object random_values = random.attr("random")(py::int_(rows));
    py::object column = df[col];
    std::optional<py::array> objects = work.labels_unique() ? object_column(column) : std::nullopt;
    std::optional<py::array_t<double>> uniform = noisy_buffer(random_values, rows);
    if (objects && uniform && PyFloat_CheckExact(probability.ptr())) {
        // An object column: the selected rows are found natively and the column is
        // rebuilt with the new values at their positions.
        py::array_t<std::int64_t> positions(static_cast<py::ssize_t>(rows));
        std::size_t selected =
            noise::positions_below(uniform->data(), rows, probability.cast<double>(), positions.mutable_data());
        if (selected == 0) return;
        std::optional<StrTally> tally = tally_str_column(*objects);
        py::object unique_values = tally ? tally->unique_values(call) : column.attr("dropna")().attr("unique")();
        if (py::len(unique_values) < 2) return;
        py::object new_values = random.attr("choice")(unique_values, py::arg("size") = py::int_(selected));
        py::object rebuilt = objects->attr("copy")();
        py::slice first(0, static_cast<py::ssize_t>(selected), 1);
        velmora::set_item(rebuilt, positions[first], new_values);
        // Handed over as an object Series: a bare object array would make pandas infer a
        // datetime, timedelta or period dtype from date-like values, where writing only
        // the selected cells keeps the column's object dtype.
        py::object object_type = py::module_::import("builtins").attr("object");
        work.replace(col, call.global("pd").attr("Series")(rebuilt, py::arg("index") = work.frame().attr("index"),
                                                          py::arg("dtype") = object_type, py::arg("copy") = false));
        return;
    }
    py::object mask = rich_compare(random_values, probability, Py_LT);
    if (!truth(mask.attr("any")())) return;
    py::object unique_values = column.attr("dropna")().attr("unique")();
    if (py::len(unique_values) < 2) return;
    py::object new_values = random.attr("choice")(unique_values, py::arg("size") = mask.attr("sum")());
    work.own(col);
    velmora::set_item(work.frame().attr("loc"), py::make_tuple(mask, col), new_values);
}

py::object apply_numerical_dp(const Call& call) {
    WorkFrame work(call[1]);
    numerical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work.finish();
}

py::object apply_categorical_dp(const Call& call) {
    WorkFrame work(call[1]);
    categorical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work.finish();
}

py::object apply_minimal_noise(const Call& call) {
    WorkFrame work(call[1]);
    minimal_pass(call, call[1], work);
    return work.finish();
}

}  // namespace

void numerical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        if (!contains(columns, col)) continue;
        numerical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

void categorical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        if (!contains(columns, col)) continue;
        categorical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

void gaussian_pass(const Call& call, WorkFrame& work, const py::object& cols) {
    for (py::handle handle : cols) {
        py::object col = py::reinterpret_borrow<py::object>(handle);
        if (!contains(work.frame().attr("columns"), col)) continue;
        gaussian_column(call, work, col);
    }
}

void minimal_pass(const Call& call, const py::object& df, WorkFrame& work) {
    py::object columns = df.attr("columns");
    for (py::handle col : number_columns(call, df)) {
        if (contains(columns, col)) minimal_number_column(call, df, work, py::reinterpret_borrow<py::object>(col));
    }
    py::list categorical_types;
    for (const char* name : {"object", "category", "bool"}) categorical_types.append(name);
    py::object categorical_columns = selected_columns(df, categorical_types);
    for (py::handle col : categorical_columns) {
        if (contains(columns, col)) minimal_categorical_column(call, df, work, py::reinterpret_borrow<py::object>(col));
    }
}

const FunctionSpec add_laplace_noise_spec{
    "_add_laplace_noise",
    "NoiseforgeProcessor._add_laplace_noise",
    {{"self"}, {"data", ArgKind::object, "np.ndarray"}, {"sensitivity", ArgKind::real, "float"}},
    "np.ndarray",
    "Add Laplace noise for differential privacy.",
    add_laplace_noise};

const FunctionSpec add_gaussian_noise_spec{
    "_add_gaussian_noise",
    "NoiseforgeProcessor._add_gaussian_noise",
    {{"self"}, {"data", ArgKind::object, "np.ndarray"}, {"sensitivity", ArgKind::real, "float"}},
    "np.ndarray",
    "Add Gaussian noise for differential privacy.",
    add_gaussian_noise};

const FunctionSpec apply_numerical_dp_spec{
    "_apply_numerical_dp",
    "NoiseforgeProcessor._apply_numerical_dp",
    {{"self"}, {"df", ArgKind::object, "pd.DataFrame"}, {"numerical_cols", ArgKind::list, "list"}},
    "pd.DataFrame",
    "Apply differential privacy to numerical columns.",
    apply_numerical_dp};

const FunctionSpec apply_categorical_dp_spec{
    "_apply_categorical_dp",
    "NoiseforgeProcessor._apply_categorical_dp",
    {{"self"}, {"df", ArgKind::object, "pd.DataFrame"}, {"categorical_cols", ArgKind::list, "list"}},
    "pd.DataFrame",
    "Apply differential privacy to categorical columns.",
    apply_categorical_dp};

const FunctionSpec apply_minimal_noise_spec{"_apply_minimal_noise",
                                            "NoiseforgeProcessor._apply_minimal_noise",
                                            {{"self"}, {"df", ArgKind::object, "pd.DataFrame"}},
                                            "pd.DataFrame",
                                            "Apply minimal noise addition for very conservative privacy.",
                                            apply_minimal_noise};

}  // namespace velmora::noiseforge
