// The noise mechanisms and the column passes: Laplace and Gaussian noise, the numerical
// and categorical perturbation, and the minimal-noise mode.
#include "velmora_python.hpp"
#include "noiseforge_parts.hpp"

namespace velmora::noiseforge {
namespace {

py::object divide(const py::handle& a, const py::handle& b) {
    PyObject* result = PyNumber_TrueDivide(a.ptr(), b.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool truth(const py::handle& value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
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

py::object add_laplace_noise(const Call& call) {
    const py::object& data = call[1];
    py::object scale = divide(call[2], call.self().attr("epsilon"));
    py::object noise = call.global("np").attr("random").attr("laplace")(0, scale, data.attr("shape"));
    return data + noise;
}

py::object add_gaussian_noise(const Call& call) {
    const py::object& self = call.self();
    const py::object& data = call[1];
    py::object np = call.global("np");
    py::object ratio = divide(py::float_(1.25), self.attr("delta"));
    py::object factor = np.attr("sqrt")(py::int_(2) * np.attr("log")(ratio));
    // The factor is a numpy float; taking it as a Python float keeps the value and makes a
    // zero epsilon raise ZeroDivisionError instead of yielding an infinite sigma.
    py::object sigma = divide(py::float_(factor.cast<double>()) * call[2], self.attr("epsilon"));
    py::object noise = np.attr("random").attr("normal")(0, sigma, data.attr("shape"));
    return data + noise;
}

// Writes `values` into the non-missing rows of `col`, by position: labels may repeat.
void write_back(const Call& call, const py::object& work, const py::object& col, const py::object& column,
                const py::object& values) {
    py::object np = call.global("np");
    py::object positions = np.attr("flatnonzero")(column.attr("notna")().attr("to_numpy")());
    py::object where = work.attr("columns").attr("get_loc")(col);
    velmora::set_item(work.attr("iloc"), py::make_tuple(positions, where), values);
}

// The column's observed range (max - min), 1.0 when it is 0.
py::object observed_range(const py::object& col_data) {
    py::object range = col_data.attr("max")() - col_data.attr("min")();
    if (equals(range, py::int_(0))) return py::float_(1.0);
    return range;
}

void numerical_column(const Call& call, const py::object& source, const py::object& work, const py::object& col) {
    const py::object& self = call.self();
    py::object np = call.global("np");
    py::object column = source[col];
    py::object col_data = column.attr("dropna")();
    if (py::len(col_data) == 0) return;
    bool is_integer = false;
    binding::swallow_exception([&] {
        is_integer = truth(np.attr("all")(rich_compare(np.attr("mod")(col_data, 1), py::int_(0), Py_EQ)));
    });
    py::object data_range = observed_range(col_data);
    py::object sensitivity = data_range * self.attr("noise_scale");
    py::object noisy = self.attr("_add_laplace_noise")(col_data.attr("values"), sensitivity);
    write_back(call, work, col, column, noisy);
    py::object margin = data_range * py::float_(0.1);
    py::object lower = col_data.attr("min")() - margin;
    py::object upper = col_data.attr("max")() + margin;
    velmora::set_item(work, col, np.attr("clip")(work[col], lower, upper));
    if (is_integer) velmora::set_item(work, col, work[col].attr("round")());
}

// A categorical column's noisy category distribution: the categories that occur, in
// pandas' value_counts order, and their probabilities after the second normalisation.
struct NoisyDistribution {
    py::list categories;
    py::object probs;
};

NoisyDistribution noisy_distribution(const Call& call, const py::object& value_counts) {
    const py::object& self = call.self();
    py::object np = call.global("np");
    py::object laplace = np.attr("random").attr("laplace");
    NoisyDistribution result;
    py::list noisy;
    for (py::handle item : value_counts.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object count = pair[1];
        // A category column counts its unused categories with 0; they never occurred, so
        // they take no part in the redraw.
        if (equals(count, py::int_(0))) continue;
        py::object noise = laplace(0, divide(py::float_(1.0), self.attr("epsilon")));
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

void categorical_column(const Call& call, const py::object& source, const py::object& work, const py::object& col) {
    py::object np = call.global("np");
    py::object column = source[col];
    py::object value_counts = column.attr("value_counts")();
    if (py::len(column.attr("dropna")()) == 0) return;
    NoisyDistribution distribution = noisy_distribution(call, value_counts);
    py::object rows = py::int_(py::len(source));
    py::object choice = np.attr("random").attr("choice");
    py::object new_values;
    if (all_of_one_type(distribution.categories)) {
        new_values = choice(distribution.categories, py::arg("size") = rows, py::arg("p") = distribution.probs);
    } else {
        // numpy would turn mixed values into one common type (1 and "a" into "1" and
        // "a"); drawing indices takes the same random numbers and keeps the objects.
        py::ssize_t count = static_cast<py::ssize_t>(py::len(distribution.categories));
        py::object originals = np.attr("empty")(count, py::arg("dtype") = py::module_::import("builtins").attr("object"));
        for (py::ssize_t i = 0; i < count; ++i) velmora::set_item(originals, py::int_(i), distribution.categories[i]);
        py::object indices = choice(py::int_(count), py::arg("size") = rows, py::arg("p") = distribution.probs);
        new_values = originals[indices];
    }
    velmora::set_item(work, col, new_values);
}

py::object apply_numerical_dp(const Call& call) {
    py::object work = call[1].attr("copy")();
    numerical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work;
}

py::object apply_categorical_dp(const Call& call) {
    py::object work = call[1].attr("copy")();
    categorical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work;
}

py::object apply_minimal_noise(const Call& call) {
    const py::object& self = call.self();
    const py::object& df = call[1];
    py::object np = call.global("np");
    py::object random = np.attr("random");
    py::object work = df.attr("copy")();
    py::object columns = df.attr("columns");
    py::object rows = py::int_(py::len(df));

    py::list number_types;
    number_types.append(np.attr("number"));
    py::object number_columns = df.attr("select_dtypes")(py::arg("include") = number_types).attr("columns");
    for (py::handle col : number_columns) {
        if (!contains(columns, col)) continue;
        py::object noise = random.attr("normal")(0, self.attr("numerical_noise_std"), rows);
        velmora::set_item(work, col, py::object(df[col]) + noise);
    }

    py::list categorical_types;
    for (const char* name : {"object", "category", "bool"}) categorical_types.append(name);
    py::object categorical_columns = df.attr("select_dtypes")(py::arg("include") = categorical_types).attr("columns");
    for (py::handle col : categorical_columns) {
        if (!contains(columns, col)) continue;
        py::object random_values = random.attr("random")(rows);
        py::object mask = rich_compare(random_values, self.attr("categorical_noise_prob"), Py_LT);
        if (!truth(mask.attr("any")())) continue;
        py::object unique_values = df[col].attr("dropna")().attr("unique")();
        if (py::len(unique_values) < 2) continue;
        py::object new_values = random.attr("choice")(unique_values, py::arg("size") = mask.attr("sum")());
        velmora::set_item(work.attr("loc"), py::make_tuple(mask, col), new_values);
    }
    return work;
}

}  // namespace

void numerical_pass(const Call& call, const py::object& source, const py::object& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        if (!contains(columns, col)) continue;
        numerical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

void categorical_pass(const Call& call, const py::object& source, const py::object& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        if (!contains(columns, col)) continue;
        categorical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

void gaussian_pass(const Call& call, const py::object& work, const py::list& cols) {
    const py::object& self = call.self();
    for (py::handle handle : cols) {
        py::object col = py::reinterpret_borrow<py::object>(handle);
        if (!contains(work.attr("columns"), col)) continue;
        py::object column = work[col];
        py::object col_data = column.attr("dropna")();
        if (py::len(col_data) == 0) continue;
        py::object sensitivity = observed_range(col_data) * self.attr("noise_scale");
        py::object noisy = self.attr("_add_gaussian_noise")(col_data.attr("values"), sensitivity);
        write_back(call, work, col, column, noisy);
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
