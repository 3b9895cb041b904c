// Reaching modules and built-ins: the from-import statement, the builtins, and numpy.
#pragma once

#include <pybind11/pybind11.h>

namespace velmora {

namespace py = pybind11;

// `from <module_name> import <name>`, with the interpreter's semantics: the import goes
// through builtins.__import__ (so sys.modules entries and import hooks apply), a
// submodule of that name already imported also counts, and a module without the name
// raises the ImportError (message, name and path) the statement would raise.
py::object import_from(const char* module_name, const char* name);

// The built-in `name` (len, sorted, object, ...) of the running interpreter.
py::object builtin(const char* name);

// The numpy module, imported once per extension module and kept (safely, past the
// interpreter's own teardown). For code whose behaviour is to look `np` up among the
// module's globals at call time, Call::global("np") is the way instead.
py::module_ numpy();

}  // namespace velmora
