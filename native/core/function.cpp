// The native function type: argument binding as Python binds a def, the
// declared-type checks, introspection attributes and method binding.
#include "core/xcore.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

namespace xcore {

namespace {

constexpr size_t kMaxParams = 12;


// What binding needs, shared by the calls of one function object.
struct Binding {
    Impl impl;
    size_t nparams = 0;
    size_t npos = 0;       // positional-or-keyword parameters, first in order
    int varkw = -1;        // index of the **kwargs parameter
    size_t ndefaults = 0;  // trailing positional parameters with defaults
    size_t required = 0;   // npos - ndefaults
    bool checked = false;  // some parameter has a declared check
    bool plain = false;    // no checks and no **kwargs: positional calls bind without copying
    // The default of positional parameter i (borrowed from the function's
    // read-only __defaults__), null for a required one.
    PyObject* default_at[kMaxParams] = {};
    ParamInfo params[kMaxParams];
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Binding* binding;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // dict or None
    PyObject* dict;
    PyObject* signature;   // built on first request
};

Check check_for(const std::string& annotation, bool* optional, const char** expected) {
    std::string inner = annotation;
    *optional = false;
    if (inner.size() > 10 && inner.compare(0, 9, "Optional[") == 0 && inner.back() == ']') {
        inner = inner.substr(9, inner.size() - 10);
        *optional = true;
    }
    static const struct {
        const char* text;
        Check check;
    } known[] = {{"str", Check::Str},   {"bytes", Check::Bytes}, {"dict", Check::Dict},
                 {"list", Check::List}, {"int", Check::Int},     {"float", Check::Float},
                 {"bool", Check::Bool}};
    for (const auto& k : known) {
        if (inner == k.text) {
            *expected = k.text;
            return k.check;
        }
    }
    *optional = false;
    *expected = nullptr;
    return Check::None;
}

// ---- Python's own texts for wrong calls --------------------------------------

PyObject* call_name(FunctionObject* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

void too_many_positional(FunctionObject* f, Py_ssize_t given) {
    const Binding& s = *f->binding;
    Py_ssize_t argcount = (Py_ssize_t)s.npos;
    Py_ssize_t defcount = (Py_ssize_t)s.ndefaults;
    ref sig = ref::steal(defcount ? PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount)
                                  : PyUnicode_FromFormat("%zd", argcount));
    bool plural = defcount ? true : argcount != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", call_name(f),
                 sig.ptr(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(FunctionObject* f, PyObject* const* slots, size_t end) {
    py::list names;
    for (size_t i = 0; i < end; ++i) {
        if (slots[i] == nullptr)
            names.append(ref::steal(PyObject_Repr(f->binding->params[i].name)));
    }
    Py_ssize_t len = (Py_ssize_t)names.size();
    auto item = [&](Py_ssize_t i) { return PyList_GET_ITEM(names.ptr(), i); };
    ref text;
    if (len == 1) {
        text = ref::borrow(item(0));
    } else if (len == 2) {
        text = ref::steal(PyUnicode_FromFormat("%U and %U", item(0), item(1)));
    } else {
        ref tail = ref::steal(PyUnicode_FromFormat(", %U, and %U", item(len - 2), item(len - 1)));
        ref head = ref::steal(PyList_GetSlice(names.ptr(), 0, len - 2));
        ref joined = ref::steal(PyUnicode_Join(py::str(", ").ptr(), head.ptr()));
        text = ref::steal(PyUnicode_Concat(joined.ptr(), tail.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", call_name(f), (int)len,
                 len == 1 ? "" : "s", text.ptr());
}

// ---- declared-type checks -----------------------------------------------------

const char* type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    if (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_HEAPTYPE)
        return full;
    const char* dot = strrchr(full, '.');
    return dot ? dot + 1 : full;
}

bool refuse(const ParamInfo& p, PyObject* value, bool subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)%s",
                 p.name, p.expected, type_name(value),
                 subclass ? ". Note that subclasses of builtin types are refused" : "");
    return false;
}

bool is_number(PyObject* value) {
    return PyNumber_Check(value) && !PyUnicode_Check(value);
}

// New objects made while binding (converted numbers, the **kwargs dict),
// owned until the call returns. Only as many slots are touched as are used.
class CallLocals {
public:
    CallLocals() = default;
    CallLocals(const CallLocals&) = delete;
    CallLocals& operator=(const CallLocals&) = delete;
    ~CallLocals() {
        if (n_ == 0 || thread_is_being_ended())
            return;
        for (size_t i = 0; i < n_; ++i)
            Py_DECREF(items_[i]);
    }
    PyObject* keep(ref r) {
        items_[n_] = r.release().ptr();
        return items_[n_++];
    }

private:
    PyObject* items_[kMaxParams];
    size_t n_ = 0;
};

// Checks *slot and, where a number is converted, replaces it by a new object
// kept in locals. Returns false with an error set on refusal.
bool check_param(const ParamInfo& p, PyObject** slot, CallLocals& locals) {
    PyObject* v = *slot;
    if (p.check == Check::None)
        return true;
    if (v == Py_None && p.optional)
        return true;
    PyTypeObject* exact = nullptr;
    switch (p.check) {
    case Check::Str: exact = &PyUnicode_Type; break;
    case Check::Bytes: exact = &PyBytes_Type; break;
    case Check::Dict: exact = &PyDict_Type; break;
    case Check::List: exact = &PyList_Type; break;
    case Check::Int:
        if (PyLong_CheckExact(v))
            return true;
        if (!is_number(v))
            return refuse(p, v, false);
        *slot = locals.keep(ref::steal(PyNumber_Long(v)));
        return true;
    case Check::Float:
        if (PyFloat_CheckExact(v))
            return true;
        if (!is_number(v))
            return refuse(p, v, false);
        *slot = locals.keep(ref::steal(PyNumber_Float(v)));
        return true;
    case Check::Bool:
        *slot = truth(v) ? Py_True : Py_False;
        return true;
    case Check::None: return true;
    }
    if (Py_TYPE(v) == exact)
        return true;
    return refuse(p, v, PyObject_TypeCheck(v, exact));
}

// ---- binding --------------------------------------------------------------------

Py_ssize_t find_param(const Binding& s, PyObject* key) {
    for (size_t i = 0; i < s.nparams; ++i)
        if (s.params[i].name == key && !s.params[i].varkw)
            return (Py_ssize_t)i;
    for (size_t i = 0; i < s.nparams; ++i) {
        if (s.params[i].varkw)
            continue;
        int eq = PyObject_RichCompareBool(s.params[i].name, key, Py_EQ);
        if (eq < 0)
            throw py::error_already_set();
        if (eq)
            return (Py_ssize_t)i;
    }
    return -1;
}

inline PyObject* result_of(ref result) {
    if (!result && !PyErr_Occurred())
        return py::none().release().ptr();
    return result.release().ptr();
}

// Kept out of line, so that the positional path in fn_vectorcall does not
// pay for this frame.
[[gnu::noinline]] PyObject* run(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Binding& s = *f->binding;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    CallLocals locals;

    // Each slot written once, one pointer at a time: the reads below then
    // take the value straight from the store, where after a memset (or
    // rep stos) of the whole array each read waited for it to finish.
    Py_ssize_t npos = (Py_ssize_t)s.npos;
    PyObject* slots[kMaxParams];
    for (size_t i = 0; i < s.nparams; ++i)
        slots[i] = (Py_ssize_t)i < nargs && (Py_ssize_t)i < npos ? args[i] : nullptr;
    if (s.varkw >= 0) {
        slots[s.varkw] = locals.keep(ref::steal(PyDict_New()));
    }
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", call_name(f));
                return nullptr;
            }
            Py_ssize_t idx = find_param(s, key);
            if (idx < 0) {
                if (s.varkw < 0) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                 call_name(f), key);
                    return nullptr;
                }
                if (PyDict_SetItem(slots[s.varkw], key, value) != 0)
                    return nullptr;
                continue;
            }
            if (slots[idx] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", call_name(f), key);
                return nullptr;
            }
            slots[idx] = value;
        }
    }
    if (nargs > npos) {
        too_many_positional(f, nargs);
        return nullptr;
    }
    if (nargs < npos) {
        size_t required = s.required;
        for (size_t i = (size_t)nargs; i < required; ++i) {
            if (slots[i] == nullptr) {
                missing_arguments(f, slots, required);
                return nullptr;
            }
        }
        for (size_t i = required; i < s.npos; ++i)
            if (slots[i] == nullptr)
                slots[i] = s.default_at[i];
    }
    if (s.checked)
        for (size_t i = 0; i < s.nparams; ++i)
            if (!check_param(s.params[i], &slots[i], locals))
                return nullptr;
    return result_of(s.impl(Args(slots, s.nparams, nullptr, s.params, s.nparams)));
}

// Every call enters here: a pending Python error propagates unchanged and a
// stray C++ exception becomes a Python exception. Only exception types are
// caught, so the forced unwind that ends a thread at interpreter exit passes.
PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const Binding& s = *f->binding;
    size_t nargs = (size_t)PyVectorcall_NARGS(nargsf);
    try {
        // The usual call: positional arguments only, to a function with
        // nothing to check or collect, binds without copying them.
        if (kwnames == nullptr && s.plain && nargs >= s.required && nargs <= s.npos)
            return result_of(s.impl(Args(args, nargs, s.default_at, s.params, s.nparams)));
        return run(f, args, nargsf, kwnames);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// ---- the type -------------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    delete reinterpret_cast<FunctionObject*>(self)->binding;
    PyObject_GC_Del(self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// inspect.signature() and help() read this.
PyObject* fn_get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->signature != nullptr) {
        Py_INCREF(f->signature);
        return f->signature;
    }
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object empty = Parameter.attr("empty");
        py::list params;
        const Binding& s = *f->binding;
        size_t required = s.npos - s.ndefaults;
        for (size_t i = 0; i < s.nparams; ++i) {
            const ParamInfo& p = s.params[i];
            py::object kind = Parameter.attr(p.varkw ? "VAR_KEYWORD" : "POSITIONAL_OR_KEYWORD");
            py::object dflt = empty;
            if (!p.varkw && i >= required)
                dflt = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - required));
            PyObject* ann = PyDict_GetItemWithError(f->annotations, p.name);
            if (ann == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            params.append(Parameter(py::handle(p.name), kind, py::arg("default") = dflt,
                                    py::arg("annotation") = ann ? py::handle(ann) : py::handle(empty)));
        }
        PyObject* ret = PyDict_GetItemWithError(f->annotations, XNAME("return").ptr());
        if (ret == nullptr && PyErr_Occurred())
            throw py::error_already_set();
        py::object sig = inspect.attr("Signature")(
            params, py::arg("return_annotation") = ret ? py::handle(ret) : py::handle(inspect.attr("Signature").attr("empty")));
        f->signature = sig.release().ptr();
        Py_INCREF(f->signature);
        return f->signature;
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

PyMemberDef fn_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* function_type() {
    static PyTypeObject* type = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
        static PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
        t.tp_name = "xalo_sdk.native_function";
        t.tp_basicsize = sizeof(FunctionObject);
        t.tp_dealloc = fn_dealloc;
        t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        t.tp_repr = fn_repr;
        t.tp_call = PyVectorcall_Call;
        t.tp_getattro = PyObject_GenericGetAttr;
        t.tp_setattro = PyObject_GenericSetAttr;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                     Py_TPFLAGS_METHOD_DESCRIPTOR;
        t.tp_traverse = fn_traverse;
        t.tp_clear = fn_clear;
        t.tp_members = fn_members;
        t.tp_getset = fn_getset;
        t.tp_descr_get = fn_descr_get;
        t.tp_dictoffset = offsetof(FunctionObject, dict);
        if (PyType_Ready(&t) != 0)
            throw py::error_already_set();
        return &t;
    }();
    return type;
}

}  // namespace

// ---- typed argument access -----------------------------------------------------

void Args::out_of_range(size_t i) const {
    PyErr_Format(PyExc_SystemError, "native function body reads argument %zu of %zu", i, n_);
    throw py::error_already_set();
}

py::handle Args::declared(size_t i, Check check, bool optional_allowed) const {
    py::handle v = at(i);
    const ParamInfo& p = params_[i];
    if (p.check != check || (p.optional && !optional_allowed)) {
        PyErr_Format(PyExc_SystemError, "parameter '%U' is read with a type its declaration does not check",
                     p.name);
        throw py::error_already_set();
    }
    return v;
}

std::string name_in_list(const char* list, size_t i) {
    std::string text(list);
    size_t begin = 0;
    for (size_t k = 0; k < i; ++k)
        begin = text.find(',', begin) + 1;
    size_t end = std::min(text.find(',', begin), text.size());
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.substr(begin, end - begin);
}

Function& Function::add(std::string name, const char* annotation, py::object dflt, Kind kind) {
    if (params_.size() >= kMaxParams)
        throw std::logic_error("too many parameters for a native function");
    params_.push_back(Param{std::move(name), annotation ? annotation : "", std::move(dflt), kind});
    return *this;
}

py::object Function::build(const std::string& qualname, py::handle module_name) const {
    auto binding = std::make_unique<Binding>();
    binding->impl = impl_;
    binding->nparams = params_.size();
    py::dict annotations;
    py::list defaults;
    for (size_t i = 0; i < params_.size(); ++i) {
        const Param& p = params_[i];
        ParamInfo& info = binding->params[i];
        info.name = intern_forever(p.name.c_str());
        info.varkw = p.kind == Kind::VarKeyword;
        info.check = check_for(p.annotation, &info.optional, &info.expected);
        binding->checked |= info.check != Check::None;
        if (!p.annotation.empty())
            annotations[py::handle(info.name)] = py::str(p.annotation);
        if (p.kind == Kind::PositionalOrKeyword) {
            if (binding->npos != i)
                throw std::logic_error("positional parameters must come first");
            ++binding->npos;
            if (p.default_value)
                defaults.append(p.default_value);
            else if (defaults.size() != 0)
                throw std::logic_error("non-default parameter follows default parameter");
        } else {
            binding->varkw = (int)i;
        }
    }
    binding->ndefaults = defaults.size();
    binding->required = binding->npos - binding->ndefaults;
    binding->plain = !binding->checked && binding->varkw < 0;
    if (returns_)
        annotations["return"] = py::str(returns_);

    PyObject* obj = (PyObject*)PyObject_GC_New(FunctionObject, function_type());
    if (obj == nullptr)
        throw py::error_already_set();
    auto* f = reinterpret_cast<FunctionObject*>(obj);
    f->vectorcall = fn_vectorcall;
    f->binding = binding.release();
    f->name = py::str(name_).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::reinterpret_borrow<py::object>(module_name).release().ptr();
    f->doc = doc_ ? py::str(doc_).release().ptr() : py::none().release().ptr();
    f->annotations = annotations.release().ptr();
    f->defaults = defaults.size() ? py::tuple(defaults).release().ptr() : py::none().release().ptr();
    f->kwdefaults = py::none().release().ptr();  // no keyword-only parameters
    for (size_t i = 0; i < f->binding->ndefaults; ++i)
        f->binding->default_at[f->binding->npos - f->binding->ndefaults + i] = PyTuple_GET_ITEM(f->defaults, i);
    f->dict = nullptr;
    f->signature = nullptr;
    PyObject_GC_Track(obj);
    return py::reinterpret_steal<py::object>(obj);
}

}  // namespace xcore
