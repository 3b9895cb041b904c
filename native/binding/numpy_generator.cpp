#include "numpy_generator.hpp"

#include <cstdint>
#include <utility>

#include "python_errors.hpp"
#include "python_ops.hpp"

namespace velmora {
namespace {

// The private names: the process-wide RandomState and its bit generator. (The bit
// generator's lock and capsule, and the bitgen_t layout of numpy/random/bitgen.h, are
// public.)
struct PrivateName {
    const char* module;
    const char* path;
    const char* used_for;
};
constexpr PrivateName global_state{"numpy.random.mtrand", "_rand", "the RandomState behind np.random's functions"};
constexpr PrivateName bit_generator_of_state{"numpy.random", "RandomState._bit_generator",
                                             "the bit generator the kernels draw from"};
constexpr const char* checked_versions = "numpy 2.0.2 and 2.5.5";

// numpy's bitgen_t (numpy/random/bitgen.h), whose layout numpy keeps stable.
struct BitGen {
    void* state;
    std::uint64_t (*next_uint64)(void*);
    std::uint32_t (*next_uint32)(void*);
    double (*next_double)(void*);
    std::uint64_t (*next_raw)(void*);
};

}  // namespace

std::optional<NumpyGlobalGenerator> NumpyGlobalGenerator::behind(const py::object& np_random, const char* method) {
    py::object state;
    py::object bit_generator;
    try {
        state = np_random.attr("mtrand").attr(global_state.path);
        py::object random_state_type = np_random.attr("RandomState");
        if (Py_TYPE(state.ptr()) != reinterpret_cast<PyTypeObject*>(random_state_type.ptr())) return std::nullopt;
        py::object bound = np_random.attr(method);
        if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != state.ptr()) return std::nullopt;
        py::object own = random_state_type.attr("__dict__")[method];
        if (PyMethod_GET_FUNCTION(bound.ptr()) != own.ptr()) return std::nullopt;
        bit_generator = state.attr("_bit_generator");
    } catch (py::error_already_set& error) {
        // A numpy without these names: its own draws are the only route.
        if (!matches(error, ErrorKind::attribute_error) && !error.matches(PyExc_KeyError)) throw;
        return std::nullopt;
    }
    py::object capsule = bit_generator.attr("capsule");
    auto* bitgen = static_cast<BitGen*>(PyCapsule_GetPointer(capsule.ptr(), "BitGenerator"));
    if (bitgen == nullptr) throw py::error_already_set();
    // An MT19937 bit generator's state is numpy's mt19937_state struct (key and position).
    const bool mt19937 = py::type::handle_of(bit_generator).is(np_random.attr("MT19937"));
    auto* mt19937_state = mt19937 ? static_cast<noise::Mt19937State*>(bitgen->state) : nullptr;
    return NumpyGlobalGenerator(state, bit_generator, capsule, noise::UniformSource{bitgen->state, bitgen->next_double},
                                mt19937_state);
}

NumpyGlobalGenerator::NumpyGlobalGenerator(py::object random_state, py::object bit_generator, py::object capsule,
                                           noise::UniformSource source, noise::Mt19937State* mt19937)
    : random_state_(std::move(random_state)),
      bit_generator_(std::move(bit_generator)),
      capsule_(std::move(capsule)),
      source_(source),
      mt19937_(mt19937) {}

noise::CachedNormal NumpyGlobalGenerator::cached_normal() const {
    py::dict state = random_state_.attr("get_state")(py::arg("legacy") = false);
    return noise::CachedNormal{truth(state["has_gauss"]), py::float_(state["gauss"]).cast<double>()};
}

void NumpyGlobalGenerator::set_cached_normal(noise::CachedNormal cache) const {
    py::dict state = random_state_.attr("get_state")(py::arg("legacy") = false);
    state["has_gauss"] = py::int_(cache.has ? 1 : 0);
    state["gauss"] = py::float_(cache.has ? cache.value : 0.0);
    random_state_.attr("set_state")(state);
}

NumpyGlobalGenerator::Lock NumpyGlobalGenerator::lock() const {
    return Lock(bit_generator_.attr("lock"));
}

NumpyGlobalGenerator::Lock::Lock(py::object lock) : lock_(std::move(lock)) {
    lock_.attr("acquire")();
}

NumpyGlobalGenerator::Lock::~Lock() {
    if (!lock_) return;  // moved from
    // Through the C API, so that nothing can throw out of the destructor. Releasing a
    // lock this guard acquired does not fail; should it, the error is reported as
    // unraisable, as the interpreter does for errors in __del__.
    PyObject* result = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
    if (result == nullptr) {
        PyErr_WriteUnraisable(lock_.ptr());
    } else {
        Py_DECREF(result);
    }
}

NumpyBitGenerator NumpyBitGenerator::of(const py::object& generator) {
    py::object random = py::module_::import("numpy.random");
    py::object bit_generator = generator;
    if (py::isinstance(generator, random.attr("Generator"))) bit_generator = generator.attr("bit_generator");
    if (!py::isinstance(bit_generator, random.attr("BitGenerator"))) {
        raise_error(ErrorKind::type_error, "generator must be a numpy Generator or BitGenerator");
    }
    py::object capsule = bit_generator.attr("capsule");
    auto* bitgen = static_cast<BitGen*>(PyCapsule_GetPointer(capsule.ptr(), "BitGenerator"));
    if (bitgen == nullptr) throw py::error_already_set();
    return NumpyBitGenerator(bit_generator, capsule, privacy::WordSource{bitgen->state, bitgen->next_uint64});
}

NumpyBitGenerator::NumpyBitGenerator(py::object bit_generator, py::object capsule, privacy::WordSource words)
    : bit_generator_(std::move(bit_generator)), capsule_(std::move(capsule)), words_(words) {}

NumpyGlobalGenerator::Lock NumpyBitGenerator::lock() const {
    return NumpyGlobalGenerator::Lock(bit_generator_.attr("lock"));
}

py::tuple numpy_private_names() {
    py::list names;
    for (const PrivateName& name : {global_state, bit_generator_of_state}) {
        names.append(py::make_tuple("exists", name.module, name.path, "", checked_versions, name.used_for));
    }
    // The mt19937_state struct the bulk draws advance in place: uint32 key[624], then
    // int pos (numpy/random/src/mt19937/mt19937.h; the key's length shows in `state`).
    names.append(py::make_tuple("key_length", "numpy.random", "MT19937", "624", checked_versions,
                                "the MT19937 state layout the bulk draws read and advance"));
    return py::tuple(names);
}

}  // namespace velmora
