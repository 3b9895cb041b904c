// Moving text between Python str objects and the UTF-8 strings the page is built from.
// Lone surrogates survive the round trip ("surrogatepass" both ways), so the page holds
// exactly the text Python gave.
#pragma once

#include <string>

#include "velmora_python.hpp"

namespace velmora::evaluator {

// format(value, spec) as UTF-8: the object's own __format__, so ints, floats and numpy
// scalars format exactly as Python shows them.
inline std::string formatted(py::handle value, const char* spec) {
    return utf8_surrogatepass(format(value, spec));
}

// A str object from UTF-8 bytes made by formatted / utf8_surrogatepass.
inline py::str python_text(const std::string& utf8) {
    return str_from_utf8_surrogatepass(utf8);
}

// The static method _generate_plot_html, registered with to_html.
extern const FunctionSpec generate_plot_html_spec;

}  // namespace velmora::evaluator
