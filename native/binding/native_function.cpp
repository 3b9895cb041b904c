// The function type itself is one of the binding layer's few raw C API primitives: a
// static type with vectorcall, a method-binding __get__ and attribute getters.
#include "native_function.hpp"

#include <pybind11/detail/exception_translation.h>

#include <cstring>
#include <optional>

namespace velmora::binding {

struct CallAccess {
    static std::array<py::object, max_params>& values(Call& call) { return call.values_; }
    static void set(Call& call, py::handle function, py::handle globals, const FunctionSpec& spec) {
        call.function_ = function;
        call.globals_ = globals;
        call.spec_ = &spec;
    }
    static void set_kwargs(Call& call, py::object kwargs) { call.kwargs_ = std::move(kwargs); }
};

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PositionalRange range;
    bool takes_kwargs;
    PyObject* defaults;     // tuple: the default of each named parameter, or NULL slots as None
    PyObject* param_names;  // tuple of interned str, the named parameters
    PyObject* globals;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature;  // built on first request
    PyObject* dict;
};

bool has_default(const ParamSpec& param) {
    return !param.default_text.empty();
}

[[noreturn]] void raise_count_error(const FunctionObject* self, std::size_t found) {
    CountMessageParts parts = count_message_parts(self->range, found);
    std::string more_or_less(parts.more_or_less);
    std::string plural(parts.plural);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", self->spec->name,
                 more_or_less.c_str(), static_cast<Py_ssize_t>(parts.expected), plural.c_str(),
                 static_cast<Py_ssize_t>(found));
    throw py::error_already_set();
}

[[noreturn]] void raise_type_error(const ParamSpec& param, const char* expected, PyObject* given, bool subclass) {
    std::string name(param.name);
    if (subclass) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                     " Subclasses of builtin types are rejected; pass an exact %.200s.",
                     name.c_str(), expected, Py_TYPE(given)->tp_name, expected);
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     name.c_str(), expected, Py_TYPE(given)->tp_name);
    }
    throw py::error_already_set();
}

// Whether a None argument passes a nullable check: only where the default is None.
bool none_allowed(const ParamSpec& param) {
    return param.default_text == "None";
}

py::object convert(const ParamSpec& param, const py::object& value) {
    PyObject* given = value.ptr();
    switch (param.kind) {
        case ArgKind::integer: {
            if (PyLong_CheckExact(given)) return value;
            if (given == Py_None && none_allowed(param)) return value;
            if (!PyNumber_Check(given)) raise_type_error(param, "int", given, false);
            PyObject* converted = PyNumber_Long(given);
            if (converted == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(converted);
        }
        case ArgKind::real: {
            double number = PyFloat_AsDouble(given);
            if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            if (PyFloat_CheckExact(given)) return value;
            return py::float_(number);
        }
        case ArgKind::boolean: {
            int truth = PyObject_IsTrue(given);
            if (truth < 0) throw py::error_already_set();
            return py::bool_(truth != 0);
        }
        default:
            return value;
    }
}

void check_exact_type(const ParamSpec& param, const py::object& value) {
    PyObject* given = value.ptr();
    PyTypeObject* expected = nullptr;
    const char* expected_name = nullptr;
    if (param.kind == ArgKind::string) {
        expected = &PyUnicode_Type;
        expected_name = "str";
    } else if (param.kind == ArgKind::list) {
        expected = &PyList_Type;
        expected_name = "list";
    } else {
        return;
    }
    if (Py_TYPE(given) == expected) return;
    if (given == Py_None && none_allowed(param)) return;
    raise_type_error(param, expected_name, given, PyObject_TypeCheck(given, expected) != 0);
}

// Which named parameter a keyword is, or -1. Keywords are interned by the interpreter
// in nearly every call, so a pointer comparison usually decides.
Py_ssize_t find_param(const FunctionObject* self, PyObject* keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(self->param_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(self->param_names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(self->param_names, i), keyword, Py_EQ);
        if (equal < 0) throw py::error_already_set();
        if (equal) return i;
    }
    return -1;
}

void bind_arguments(const FunctionObject* self, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                    Call& call) {
    const FunctionSpec& spec = *self->spec;
    auto& values = CallAccess::values(call);
    if (nargs > self->range.maximum) raise_count_error(self, nargs);
    for (std::size_t i = 0; i < nargs; ++i) values[i] = py::reinterpret_borrow<py::object>(args[i]);

    // Keywords are read in call order; the first unknown or repeated one is reported,
    // but only after a missing required argument, which is reported first.
    enum class Pending { none, unexpected, repeated };
    Pending pending = Pending::none;
    PyObject* pending_keyword = nullptr;
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    py::object extra;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + static_cast<std::size_t>(k)];
        Py_ssize_t index = find_param(self, keyword);
        if (index >= 0 && static_cast<std::size_t>(index) < nargs) {
            if (pending == Pending::none) {
                pending = Pending::repeated;
                pending_keyword = keyword;
            }
        } else if (index >= 0) {
            values[static_cast<std::size_t>(index)] = py::reinterpret_borrow<py::object>(value);
        } else if (self->takes_kwargs) {
            if (!extra) extra = py::dict();
            if (PyDict_SetItem(extra.ptr(), keyword, value) < 0) throw py::error_already_set();
        } else if (pending == Pending::none) {
            pending = Pending::unexpected;
            pending_keyword = keyword;
        }
    }
    for (std::size_t i = nargs; i < self->range.required; ++i) {
        if (!values[i]) raise_count_error(self, i);
    }
    if (pending == Pending::repeated) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, pending_keyword);
        throw py::error_already_set();
    }
    if (pending == Pending::unexpected) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, pending_keyword);
        throw py::error_already_set();
    }
    if (self->takes_kwargs) CallAccess::set_kwargs(call, extra ? extra : py::dict());

    // Conversions first, in parameter order, then the exact-type tests, in parameter order.
    for (std::size_t i = 0; i < self->range.maximum; ++i) {
        if (!values[i]) {
            values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(self->defaults, i));
        }
        values[i] = convert(spec.params[i], values[i]);
    }
    for (std::size_t i = 0; i < self->range.maximum; ++i) check_exact_type(spec.params[i], values[i]);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    try {
        Call call;
        CallAccess::set(call, callable, self->globals, *self->spec);
        bind_arguments(self, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, call);
        py::object result = self->spec->implementation(call);
        return result.release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        // Every other C++ exception becomes the Python exception pybind11 gives it
        // (std::invalid_argument: ValueError, std::out_of_range: IndexError, ..., and
        // RuntimeError for a type it does not know), never a crash.
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    Py_VISIT(self->defaults);
    Py_VISIT(self->param_names);
    Py_VISIT(self->globals);
    Py_VISIT(self->module);
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->doc);
    Py_VISIT(self->annotations);
    Py_VISIT(self->signature);
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* op) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->param_names);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->module);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->signature);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    function_clear(op);
    PyObject_GC_Del(op);
}

PyObject* function_repr(PyObject* op) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, op);
}

// inspect.Signature built from the table the first time it is asked for.
PyObject* build_signature(FunctionObject* self) {
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::list parameters;
        const FunctionSpec& spec = *self->spec;
        for (std::size_t i = 0; i < spec.params.size(); ++i) {
            const ParamSpec& param = spec.params[i];
            py::dict keywords;
            keywords["name"] = py::str(std::string(param.name));
            keywords["kind"] =
                param.var_keyword ? parameter.attr("VAR_KEYWORD") : parameter.attr("POSITIONAL_OR_KEYWORD");
            if (!param.annotation.empty()) keywords["annotation"] = py::str(std::string(param.annotation));
            if (!param.var_keyword && has_default(param)) {
                keywords["default"] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(self->defaults, i));
            }
            parameters.append(parameter(**keywords));
        }
        py::dict keywords;
        if (spec.return_annotation[0] != '\0') keywords["return_annotation"] = py::str(spec.return_annotation);
        return inspect.attr("Signature")(parameters, **keywords).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    }
}

PyObject* get_signature(PyObject* op, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    if (self->signature == nullptr) {
        self->signature = build_signature(self);
        if (self->signature == nullptr) return nullptr;
    }
    Py_INCREF(self->signature);
    return self->signature;
}

// Getter and setter for one PyObject* member; deleting sets None, as functions do.
template <PyObject* FunctionObject::* Member>
PyObject* get_member(PyObject* op, void*) {
    PyObject* value = reinterpret_cast<FunctionObject*>(op)->*Member;
    if (value == nullptr) value = Py_None;
    Py_INCREF(value);
    return value;
}

template <PyObject* FunctionObject::* Member>
int set_member(PyObject* op, PyObject* value, void*) {
    PyObject*& slot = reinterpret_cast<FunctionObject*>(op)->*Member;
    PyObject* old = slot;
    slot = value ? value : Py_None;
    Py_INCREF(slot);
    Py_XDECREF(old);
    return 0;
}

// __name__ and __qualname__ hold a str, as on Python functions: anything else, and
// deletion, is refused with the interpreter's message (repr() relies on the str).
template <PyObject* FunctionObject::* Member>
int set_text_member(PyObject* op, PyObject* value, void* name) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(name));
        return -1;
    }
    return set_member<Member>(op, value, nullptr);
}

// __annotations__ holds a dict; deleting it leaves a new empty dict for the next read.
PyObject* get_annotations(PyObject* op, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    if (self->annotations == nullptr) {
        self->annotations = PyDict_New();
        if (self->annotations == nullptr) return nullptr;
    }
    Py_INCREF(self->annotations);
    return self->annotations;
}

int set_annotations(PyObject* op, PyObject* value, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(op);
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(self->annotations, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member<&FunctionObject::name>, set_text_member<&FunctionObject::name>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_member<&FunctionObject::qualname>, set_text_member<&FunctionObject::qualname>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__module__", get_member<&FunctionObject::module>, set_member<&FunctionObject::module>, nullptr, nullptr},
    {"__doc__", get_member<&FunctionObject::doc>, set_member<&FunctionObject::doc>, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_member<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
// The interpreter's own idiom for a static type: the header, every other slot zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    type.tp_name = "velmora_function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "A function of a velmora extension module.";
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_call = PyVectorcall_Call;
    type.tp_descr_get = function_descr_get;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_dealloc = function_dealloc;
    type.tp_repr = function_repr;
    type.tp_getset = function_getset;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

}  // namespace

bool is_bound_method_of(py::handle method, py::handle self, const FunctionSpec& spec) {
    if (!PyMethod_Check(method.ptr()) || PyMethod_GET_SELF(method.ptr()) != self.ptr()) return false;
    PyObject* function = PyMethod_GET_FUNCTION(method.ptr());
    return Py_TYPE(function) == &function_type && reinterpret_cast<FunctionObject*>(function)->spec == &spec;
}

py::object make_function(const FunctionSpec& spec, const std::string& qualname, py::handle module_name,
                         py::handle globals) {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) {
        throw py::error_already_set();
    }
    if (spec.params.size() > max_params) throw std::length_error("too many parameters in a FunctionSpec");

    py::object literal_eval = py::module_::import("ast").attr("literal_eval");
    py::list defaults;
    py::list names;
    py::dict annotations;
    for (const ParamSpec& param : spec.params) {
        std::string name(param.name);
        if (!param.annotation.empty()) annotations[name.c_str()] = py::str(std::string(param.annotation));
        if (param.var_keyword) continue;
        names.append(py::reinterpret_steal<py::str>(PyUnicode_InternFromString(name.c_str())));
        defaults.append(has_default(param) ? literal_eval(py::str(std::string(param.default_text))) : py::none());
    }
    if (spec.return_annotation[0] != '\0') annotations["return"] = py::str(spec.return_annotation);

    auto* self = PyObject_GC_New(FunctionObject, &function_type);
    if (self == nullptr) throw py::error_already_set();
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->range = positional_range(spec.params);
    self->takes_kwargs = !spec.params.empty() && spec.params.back().var_keyword;
    self->defaults = py::tuple(defaults).release().ptr();
    self->param_names = py::tuple(names).release().ptr();
    self->globals = globals.inc_ref().ptr();
    self->module = module_name.inc_ref().ptr();
    self->name = py::str(spec.name).release().ptr();
    self->qualname = py::str(qualname).release().ptr();
    self->doc = py::str(docstring_of(spec, qualname)).release().ptr();
    self->annotations = annotations.release().ptr();
    self->signature = nullptr;
    self->dict = nullptr;
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

}  // namespace velmora::binding
