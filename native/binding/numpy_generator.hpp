// numpy's global legacy generator (the RandomState behind np.random's functions), as a
// source of uniform doubles the native kernels draw from exactly as numpy would.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "grid_release.hpp"
#include "noise_kernels.hpp"
#include "numpy_random.hpp"

namespace velmora {

namespace py = pybind11;

class NumpyGlobalGenerator {
public:
    // The generator when `np_random.<method>` (np_random: the np.random module) is still
    // the global RandomState's own method. Nothing when it was replaced, the global
    // state is not a plain RandomState, or numpy lacks one of the private names read
    // here (see private_names): the caller then lets numpy draw.
    static std::optional<NumpyGlobalGenerator> behind(const py::object& np_random, const char* method);

    // Holds the generator's lock for its lifetime, as numpy's own draws do (`with
    // bit_generator.lock`). Let the GIL go only inside this guard's scope, so that the
    // GIL is held again when the lock is released.
    class Lock {
    public:
        explicit Lock(py::object lock);
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        Lock(Lock&& other) noexcept = default;
        Lock& operator=(Lock&&) = delete;
        ~Lock();

    private:
        py::object lock_;
    };

    // Takes the lock; draw from source() only while the guard lives.
    [[nodiscard]] Lock lock() const;
    const noise::UniformSource& source() const { return source_; }

    // numpy's MT19937 state itself, when the bit generator is an MT19937 (as np.random's
    // always is unless set otherwise), for drawing in bulk; nothing for another one.
    // Advance it only while holding lock().
    noise::Mt19937State* mt19937_state() const { return mt19937_; }

    // The second normal the legacy Gaussian sampler keeps for its next draw
    // (get_state()'s has_gauss and gauss), and writing it back after native draws, so
    // that numpy's own later draws go on as if numpy had drawn. Call these outside
    // lock(): get_state and set_state are numpy's own.
    noise::CachedNormal cached_normal() const;
    void set_cached_normal(noise::CachedNormal cache) const;

private:
    NumpyGlobalGenerator(py::object random_state, py::object bit_generator, py::object capsule,
                         noise::UniformSource source, noise::Mt19937State* mt19937);

    py::object random_state_;
    py::object bit_generator_;
    py::object capsule_;  // keeps the state the source points into alive
    noise::UniformSource source_;
    noise::Mt19937State* mt19937_;
};

// A numpy bit generator (a BitGenerator, or the one of a Generator) as a source of
// 64-bit words, drawn as its own next_uint64 draws them (random_raw for the 64-bit
// generators: PCG64, PCG64DXSM, Philox, SFC64). Only public names are read: the bit
// generator's `capsule` (bitgen_t) and `lock`.
class NumpyBitGenerator {
public:
    // TypeError when `generator` is neither a Generator nor a BitGenerator.
    static NumpyBitGenerator of(const py::object& generator);

    // Holds the bit generator's lock, as numpy's own draws do; draw from words() only
    // while the guard lives.
    [[nodiscard]] NumpyGlobalGenerator::Lock lock() const;
    const privacy::WordSource& words() const { return words_; }

private:
    NumpyBitGenerator(py::object bit_generator, py::object capsule, privacy::WordSource words);

    py::object bit_generator_;
    py::object capsule_;  // keeps the state the source points into alive
    privacy::WordSource words_;
};

// The private numpy names read above, for the test that they still exist, as rows
// of the table pandas_internals::table() describes.
py::tuple numpy_private_names();

}  // namespace velmora
