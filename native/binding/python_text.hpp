// Text between Python str objects and C++: UTF-8 conversions, code points, and the
// comparisons of exact str objects the per-cell loops need.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "python_ops.hpp"

namespace velmora {

namespace py = pybind11;

// The UTF-8 bytes of a str; text UTF-8 cannot hold (a lone surrogate) raises the
// UnicodeEncodeError of str.encode().
std::string utf8_of(py::handle text);

// The UTF-8 bytes of a str, or nothing when it holds a lone surrogate.
std::optional<std::string> try_utf8(py::handle text);

// The round trip that keeps every str as it is: lone surrogates are passed through
// ("surrogatepass") as UTF-8 would encode them.
std::string utf8_surrogatepass(py::handle text);
py::str str_from_utf8_surrogatepass(std::string_view utf8);

// The code points of a str, lone surrogates included (any str converts).
std::u32string code_points(py::handle text);

// `text[begin:end]` for code-point positions within the str.
py::str substring(py::handle text, std::size_t begin, std::size_t end);

// `text.isidentifier()` for an exact str.
bool is_identifier(py::handle text);

// Equality and order (Python's == and <, code point order) of two exact str objects.
bool str_equal(py::handle a, py::handle b);
bool str_less(py::handle a, py::handle b);

// Which of four kinds a cell of an object column is, against one wanted text.
enum class TextMatch { equal, different, missing, other };

// Tells, cell by cell, whether a value is a str equal to one wanted text without a
// call into the interpreter: the canonical (narrowest) representation of a str makes
// equal text equal bytes of equal kind. The wanted text is interned, so that values
// read from source-code literals match by identity.
class TextMatcher {
public:
    explicit TextMatcher(std::string_view utf8);

    // equal / different for an exact str, missing for None or a float NaN, other for
    // any other value.
    TextMatch match(py::handle value) const;  // inline below: called once per cell

private:
    py::object wanted_;
    std::size_t length_;
    int kind_;
    const void* data_;
};

inline TextMatch TextMatcher::match(py::handle value) const {
    if (value.is(wanted_)) return TextMatch::equal;
    PyObject* item = value.ptr();
    if (PyUnicode_CheckExact(item)) {
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(item)) {
            // A legacy string, not yet in canonical form.
            return str_equal(value, wanted_) ? TextMatch::equal : TextMatch::different;
        }
#endif
        const bool equal = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)) == length_ &&
                           PyUnicode_KIND(item) == kind_ &&
                           std::memcmp(PyUnicode_DATA(item), data_, length_ * static_cast<std::size_t>(kind_)) == 0;
        return equal ? TextMatch::equal : TextMatch::different;
    }
    return is_missing_scalar(value) ? TextMatch::missing : TextMatch::other;
}

}  // namespace velmora
