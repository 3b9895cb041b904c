#include "interrupts.hpp"

namespace velmora::binding {

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

bool signal_raised_without_gil() {
    py::gil_scoped_acquire held;
    return PyErr_CheckSignals() != 0;
}

}  // namespace velmora::binding
