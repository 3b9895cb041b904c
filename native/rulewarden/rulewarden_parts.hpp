// Registration functions of the rule engine module, one per topic.
#pragma once

#include "velmora_python.hpp"

namespace velmora::rulewarden {

// The dataclass ConstraintViolationReport with summary() and fix().
void register_violation_report(py::module_& module);

// The engine class Rulewarden: rule store, parsing and validation.
void register_rule_engine(py::module_& module);

}  // namespace velmora::rulewarden
