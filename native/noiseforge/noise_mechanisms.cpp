// The noise mechanisms: Laplace and Gaussian noise added to an array, with the budget
// read from the processor at call time.
#include "velmora_python.hpp"
#include "column_passes.hpp"
#include "noiseforge_parts.hpp"

#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace velmora::noiseforge {

py::object budget(const Call& call, const char* name) {
    py::object value = call.self().attr(name);
    if (is_float(value) && std::isnan(float_value(value))) {
        raise_error(ErrorKind::value_error,
                    std::string(name) + " is NaN, which would make every noisy value NaN; pass a positive number");
    }
    return value;
}

py::object finite_scale(const py::object& scale, const char* what, const char* cause, const py::object& sensitivity) {
    if (!is_float(scale) || !std::isinf(float_value(scale))) return scale;
    // An infinite value in the data makes the sensitivity infinite: that noise is the
    // data's own doing, and left as it is.
    if (!sensitivity.is_none() && !std::isfinite(as_double(sensitivity))) return scale;
    raise_error(ErrorKind::value_error,
                std::string(what) + " is infinite, which would make the noisy values infinite or " + "NaN: " + cause);
}

std::optional<NumpyGlobalGenerator> global_generator(const Call& call, const char* method) {
    return NumpyGlobalGenerator::behind(call.global("np").attr("random"), method);
}

std::size_t core_count() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : reported;
}

std::optional<std::vector<double>> native_standard_normals(const Call& call, std::size_t n) {
    std::optional<NumpyGlobalGenerator> generator = global_generator(call, "normal");
    if (!generator) return std::nullopt;
    noise::Mt19937State* state = generator->mt19937_state();
    if (state == nullptr) return std::nullopt;
    const noise::CachedNormal cache = generator->cached_normal();
    std::vector<noise::PolarPair> pairs(noise::pairs_needed(n, cache));
    {
        NumpyGlobalGenerator::Lock held = generator->lock();
        // Pure C++ on buffers held by this call and numpy's generator state.
        py::gil_scoped_release unlocked;
        noise::polar_pairs(*state, pairs.data(), pairs.size());
    }
    std::vector<double> normals(n);
    noise::CachedNormal left;
    {
        py::gil_scoped_release unlocked;
        left = noise::normals_from_pairs(pairs.data(), cache, n, normals.data(), noise::threads_for(n, core_count()));
    }
    generator->set_cached_normal(left);
    return normals;
}

std::optional<py::array_t<double>> noisy_buffer(const py::object& noisy, std::size_t size) {
    if (!py::type::handle_of(noisy).is(numpy().attr("ndarray"))) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(noisy);
    if (array.dtype().num() != py::detail::npy_api::NPY_DOUBLE_ || array.ndim() != 1 ||
        static_cast<std::size_t>(array.shape(0)) != size || !(array.flags() & py::array::c_style)) {
        return std::nullopt;
    }
    char order = array.dtype().byteorder();
    if (order != '=' && order != '|') return std::nullopt;
    return py::reinterpret_borrow<py::array_t<double>>(array);
}

namespace {

py::object add_laplace_noise(const Call& call) {
    const py::object& data = call[1];
    py::object scale = finite_scale(divide(call[2], budget(call, "epsilon")), "the Laplace scale sensitivity / epsilon",
                                    "epsilon is too small or the sensitivity too large", call[2]);
    py::object noise = call.global("np").attr("random").attr("laplace")(0, scale, data.attr("shape"));
    return data + noise;
}

}  // namespace

py::object gaussian_sigma(const Call& call, const py::object& sensitivity) {
    py::object np = call.global("np");
    py::object delta = budget(call, "delta");
    py::object epsilon = budget(call, "epsilon");
    py::object ratio = divide(py::float_(1.25), delta);
    py::object factor = np.attr("sqrt")(py::int_(2) * np.attr("log")(ratio));
    const double factor_value = factor.cast<double>();
    // A negative delta, or one above 1.25, leaves sigma NaN, which would make every
    // noisy value NaN.
    if (std::isnan(factor_value)) {
        raise_error(ErrorKind::value_error,
                    "delta must be greater than 0 and at most 1.25 for the Gaussian mechanism, got " +
                        py::str(py::repr(delta)).cast<std::string>());
    }
    // The factor is a numpy float; taking it as a Python float keeps the value and makes a
    // zero epsilon raise ZeroDivisionError instead of yielding an infinite sigma.
    return finite_scale(divide(py::float_(factor_value) * sensitivity, epsilon), "the Gaussian sigma",
                        "delta or epsilon is too small, or the sensitivity too large", sensitivity);
}

namespace {

py::object add_gaussian_noise(const Call& call) {
    const py::object& data = call[1];
    py::object sigma = gaussian_sigma(call, call[2]);
    py::object noise = call.global("np").attr("random").attr("normal")(0, sigma, data.attr("shape"));
    return data + noise;
}

}  // namespace

const FunctionSpec add_laplace_noise_spec{
    .name = "_add_laplace_noise",
    .params = {{.name = "self"},
               {.name = "data", .annotation = "np.ndarray"},
               {.name = "sensitivity", .kind = ArgKind::real, .annotation = "float"}},
    .return_annotation = "np.ndarray",
    .doc = "Add Laplace noise for differential privacy.",
    .implementation = add_laplace_noise,
};

const FunctionSpec add_gaussian_noise_spec{
    .name = "_add_gaussian_noise",
    .params = {{.name = "self"},
               {.name = "data", .annotation = "np.ndarray"},
               {.name = "sensitivity", .kind = ArgKind::real, .annotation = "float"}},
    .return_annotation = "np.ndarray",
    .doc = "Add Gaussian noise for differential privacy.",
    .implementation = add_gaussian_noise,
};

}  // namespace velmora::noiseforge
