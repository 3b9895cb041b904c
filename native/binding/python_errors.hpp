// Raising and recognising Python exceptions: the one way module code raises an
// exception of a given kind with an exact message, and tests a caught one.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace velmora {

namespace py = pybind11;

// The built-in exception classes module code raises or catches.
enum class ErrorKind {
    exception,  // Exception: every ordinary error, not KeyboardInterrupt or SystemExit
    type_error,
    value_error,
    index_error,
    attribute_error,
    import_error,
    name_error,
    os_error,
    file_exists_error,
    file_not_found_error,
};

// Raises `kind` with `message` (UTF-8 text) as a Python exception, thrown as
// py::error_already_set so that swallow_exception and callers see it like any other.
[[noreturn]] void raise_error(ErrorKind kind, const char* message);
[[noreturn]] void raise_error(ErrorKind kind, const std::string& message);
// The message as a str object, for text that need not be valid UTF-8 (lone
// surrogates of a caller's str).
[[noreturn]] void raise_error(ErrorKind kind, py::handle message);

// Whether the caught exception is an instance of `kind` (subclasses included).
bool matches(const py::error_already_set& error, ErrorKind kind);

// The name of the object's type, as the interpreter's messages show it.
std::string type_name(py::handle value);

}  // namespace velmora
