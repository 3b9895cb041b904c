// velmora.privacy._privacy_kernels: the numeric mechanism of a protected release
// (native/common/grid_release.*) on numpy arrays, drawing from a numpy Generator.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "velmora_python.hpp"
#include "grid_release.hpp"
#include "numpy_generator.hpp"

namespace {

using velmora::ArgKind;
using velmora::Call;
using velmora::ErrorKind;
using velmora::FunctionSpec;
using velmora::raise_error;
using velmora::privacy::Grid;
using velmora::privacy::GridNoise;

std::size_t thread_count(long long requested) {
    if (requested <= 0) requested = static_cast<long long>(std::max(1U, std::thread::hardware_concurrency()));
    return static_cast<std::size_t>(requested);
}

template <typename T>
T bound_of(const py::object& value) {
    if constexpr (std::is_floating_point_v<T>) {
        return velmora::as_double(value);
    } else {
        return value.cast<T>();
    }
}

template <typename T>
py::object release(const py::array& values, const std::optional<py::array>& missing, const Call& call,
                   GridNoise noise) {
    Grid<T> grid;
    grid.low = bound_of<T>(call[2]);
    grid.high = bound_of<T>(call[3]);
    const long long steps = call[4].cast<long long>();
    if (steps < 0 || !(grid.low <= grid.high)) raise_error(ErrorKind::value_error, "The grid is empty.");
    grid.steps = static_cast<std::uint64_t>(steps);
    grid.step = call[5].cast<double>();
    const double scale = call[7].cast<double>();
    if (!std::isfinite(scale) || scale < 0.0 || !std::isfinite(grid.step) || grid.step <= 0.0) {
        raise_error(ErrorKind::value_error, "The noise scale and the grid step must be finite and positive.");
    }
    const std::size_t size = static_cast<std::size_t>(values.shape(0));
    velmora::NumpyBitGenerator generator = velmora::NumpyBitGenerator::of(call[8]);
    const std::size_t threads = thread_count(call[9].cast<long long>());
    py::array_t<T> out(static_cast<py::ssize_t>(size));
    const T* data = static_cast<const T*>(values.data());
    const std::uint8_t* flags = missing ? static_cast<const std::uint8_t*>(missing->data()) : nullptr;
    T* out_data = out.mutable_data();
    {
        velmora::NumpyGlobalGenerator::Lock held = generator.lock();
        // Pure C++ on buffers this call holds and the bit generator's state, under its
        // lock: no Python object is touched while the GIL is let go.
        py::gil_scoped_release unlocked;
        velmora::privacy::release_on_grid(data, flags, size, grid, noise, scale, generator.words(), threads, out_data);
    }
    return out;
}

py::object release_on_grid(const Call& call) {
    py::array values = py::reinterpret_borrow<py::array>(call[0]);
    if (!py::isinstance<py::array>(call[0]) || values.ndim() != 1 || !(values.flags() & py::array::c_style)) {
        raise_error(ErrorKind::value_error, "values must be a contiguous one-dimensional numpy array.");
    }
    std::optional<py::array> missing;
    if (!call[1].is_none()) {
        if (!py::isinstance<py::array>(call[1])) raise_error(ErrorKind::value_error, "missing must be a bool array.");
        missing = py::reinterpret_borrow<py::array>(call[1]);
        if (missing->ndim() != 1 || missing->shape(0) != values.shape(0) || missing->itemsize() != 1 ||
            !(missing->flags() & py::array::c_style) || missing->dtype().kind() != 'b') {
            raise_error(ErrorKind::value_error, "missing must be a contiguous bool array as long as values.");
        }
    }
    const std::string noise_name = call[6].cast<std::string>();
    if (noise_name != "laplace" && noise_name != "gaussian") {
        raise_error(ErrorKind::value_error, "noise must be 'laplace' or 'gaussian'.");
    }
    const GridNoise noise = noise_name == "laplace" ? GridNoise::laplace : GridNoise::gaussian;
    const char kind = values.dtype().kind();
    if (kind == 'f' && values.itemsize() == 8) return release<double>(values, missing, call, noise);
    if (kind == 'i' && values.itemsize() == 8) return release<std::int64_t>(values, missing, call, noise);
    if (kind == 'u' && values.itemsize() == 8) return release<std::uint64_t>(values, missing, call, noise);
    raise_error(ErrorKind::value_error, "values must be float64, int64 or uint64.");
}

const FunctionSpec release_spec{
    .name = "release_on_grid",
    .params = {{.name = "values", .annotation = "np.ndarray"},
               {.name = "missing", .annotation = "Optional[np.ndarray]"},
               {.name = "low", .annotation = "Union[int, float]"},
               {.name = "high", .annotation = "Union[int, float]"},
               {.name = "steps", .kind = ArgKind::integer, .annotation = "int"},
               {.name = "step", .kind = ArgKind::real, .annotation = "float"},
               {.name = "noise", .kind = ArgKind::string, .annotation = "str"},
               {.name = "scale", .kind = ArgKind::real, .annotation = "float"},
               {.name = "generator", .annotation = "np.random.Generator"},
               {.name = "threads", .kind = ArgKind::integer, .annotation = "int", .default_text = "0"}},
    .return_annotation = "np.ndarray",
    .doc =
        "The values released on the grid of `steps` steps of `step` from low to high: each\n"
        "value (float64; int64 or uint64 with whole bounds) clipped into [low, high] and\n"
        "rounded to its grid position, a missing one (NaN, or flagged in `missing`) given a\n"
        "random position, plus noise in whole steps (`noise` 'laplace' of scale `scale`, or\n"
        "'gaussian' of that standard deviation), clipped into the grid and mapped back to\n"
        "a value of the values' dtype. Draws next_uint64 words from the generator's bit\n"
        "generator, 2**16 cells at a time: 1 per cell (Laplace) or 2 per pair of cells\n"
        "(Gaussian), then 1 per cell when any cell is missing, then 1 per noise word below\n"
        "2**56 (a refinement of its uniform). threads <= 0 uses every core.",
    .implementation = release_on_grid,
};

}  // namespace

PYBIND11_MODULE(_privacy_kernels, module) {
    module.doc() = "The numeric mechanism of velmora.privacy: noise on a grid of public bounds.";
    velmora::binding::add_function(module, release_spec);
}
