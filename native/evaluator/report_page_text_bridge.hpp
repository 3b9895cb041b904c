// Moving text between Python str objects and the UTF-8 strings the page is built from,
// plus the few Python idioms the report page repeats. Lone surrogates survive the round
// trip ("surrogatepass" both ways), so the page holds exactly the text Python gave.
#pragma once

#include <string>

#include "velmora_python.hpp"

namespace velmora::evaluator {

// The UTF-8 bytes of a str object.
std::string utf8_of(py::handle text);

// format(value, spec) as UTF-8: the object's own __format__, so ints, floats and numpy
// scalars format exactly as Python shows them.
std::string formatted(py::handle value, const char* spec);

// A str object from UTF-8 bytes made by utf8_of / formatted.
py::str python_text(const std::string& utf8);

// The static method _generate_plot_html, registered with to_html.
extern const FunctionSpec generate_plot_html_spec;

}  // namespace velmora::evaluator
