// The project header every binding and module file includes first: pybind11, the
// namespace alias and the shared binding layer's vocabulary.
#pragma once

#include <pybind11/pybind11.h>

#include "module_builder.hpp"
#include "native_function.hpp"
#include "python_errors.hpp"
#include "python_imports.hpp"
#include "python_ops.hpp"
#include "python_text.hpp"
#include "signature_text.hpp"

namespace py = pybind11;

namespace velmora {

using binding::Call;
using binding::ClassBuilder;
using binding::FunctionSpec;
}  // namespace velmora
