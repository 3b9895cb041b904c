// The digests of _metric_kernels: BLAKE3 keys of an array's contents and of the values
// in an object array's cells, the keys of the metric library's stores of shared results.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmora_python.hpp"
#include "blake3.hpp"
#include "kernel_calls.hpp"
#include "object_arrays.hpp"

namespace velmora::metric_calls {
namespace {

// The BLAKE3 hash of `n` bytes, its pieces hashed on every core (between pieces the
// calling thread checks for Ctrl-C). Call with the GIL held; the bytes must stay put.
velmora::digest::Digest hash_bytes(const std::uint8_t* bytes, std::size_t n) {
    const std::size_t pieces = velmora::digest::pieces_of(n);
    if (pieces == 1) {
        py::gil_scoped_release release;
        return velmora::digest::blake3(bytes, n);
    }
    std::vector<velmora::digest::ChainingValue> values(pieces);
    velmora::binding::run_chunks(pieces, thread_count(0, pieces), [&](std::size_t piece) {
        values[piece] = velmora::digest::piece_value(bytes, n, piece);
    });
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
    py::array contiguous = py::array::ensure(call.arg("values"), py::array::c_style);
    if (!contiguous) throw py::error_already_set();
    // The bytes of an object array are addresses, not contents (see cell_digest).
    if (contiguous.dtype().kind() == 'O') raise_error(ErrorKind::type_error, "values must not be an object array.");
    const auto* bytes = static_cast<const std::uint8_t*>(contiguous.data());
    return array_key("values", contiguous, hash_bytes(bytes, static_cast<std::size_t>(contiguous.nbytes())));
}

py::object cell_digest(const Call& call) {
    py::array objects = py::array::ensure(call.arg("values"));
    if (!objects) throw py::error_already_set();
    const velmora::ObjectCells cells(objects);
    // Reading the cells touches their objects: with the GIL held; the bytes made of
    // them are hashed without it.
    std::optional<std::vector<std::uint8_t>> values =
        velmora::cell_values(cells, call.arg("singletons").cast<py::tuple>());
    if (!values) return py::none();
    return array_key("cells", objects, hash_bytes(values->data(), values->size()));
}

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

}  // namespace

void add_digest_functions(py::module_& module) {
    binding::add_function(module, digest_spec);
    binding::add_function(module, cell_digest_spec);
}

}  // namespace velmora::metric_calls
