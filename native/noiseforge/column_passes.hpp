// What the column passes share: the budget the mechanisms read, the global generator
// the kernels draw from, and the test of a mechanism's output buffer.
//
// Each pass has a native route for the columns the kernels handle (numpy float64,
// float32, int64 and int32 buffers; object columns of str; for the categorical redraw
// also columns of pandas' string dtype, counted by pandas) and the plain pandas route
// for everything else. numpy draws every random number in both, with the same calls in
// the same order, and both yield the same frame bit for bit.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "velmora_python.hpp"
#include "numpy_generator.hpp"

namespace velmora::noiseforge {

// self.epsilon or self.delta as the mechanisms read them. A NaN budget would make every
// noisy value NaN without an error, so it is refused before anything is drawn.
py::object budget(const Call& call, const char* name);

// `scale` itself, or ValueError when it is an infinite float although `sensitivity` (None
// for a scale without one) is finite: a denormal epsilon or delta, whose noise would
// write infinities and NaN. `what` names the scale, `cause` says what makes it so.
py::object finite_scale(const py::object& scale, const char* what, const char* cause,
                        const py::object& sensitivity = py::none());

// numpy's global generator when np.random.<method> (np looked up as the module global)
// is still its own method: the kernels may then draw from it directly.
std::optional<NumpyGlobalGenerator> global_generator(const Call& call, const char* method);

// n standard normals drawn natively from np.random's MT19937 state, the numbers
// np.random.normal would draw (its cached second normal used first and the new one left
// behind), or nothing when np.random.normal is not numpy's own or the bit generator is
// not an MT19937: numpy draws then. The transforms run on every core.
std::optional<std::vector<double>> native_standard_normals(const Call& call, std::size_t n);

// The cores the transforms may use.
std::size_t core_count();

// The Gaussian mechanism's sigma for a float `sensitivity`, exactly as it computes it
// (sqrt(2 ln(1.25 / delta)) * sensitivity / epsilon), raising what it raises.
py::object gaussian_sigma(const Call& call, const py::object& sensitivity);

// The noisy values as a contiguous float64 array of `size` elements, or nothing when
// they are something else (a subclass's mechanism may return anything).
std::optional<py::array_t<double>> noisy_buffer(const py::object& noisy, std::size_t size);

}  // namespace velmora::noiseforge
