// The interpreter details listed in interp.hpp: their checks at import and
// their plain fallbacks.
#include "core/xcore.hpp"

#include <cstdlib>
#include <cstring>

namespace xcore::interp {

bool private_lookup_holds = false;
bool version_tag_holds = false;
bool private_clock_holds = false;

// ---- type_lookup ---------------------------------------------------------------

PyObject* lookup_by_mro(PyTypeObject* t, PyObject* name) noexcept {
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base))
            continue;
#if PY_VERSION_HEX >= 0x030C0000
        // A new reference to a dict the class keeps: what it holds stays
        // borrowed from the class.
        ref dict = ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        PyObject* found = dict ? peek(dict.ptr(), name) : nullptr;
#else
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        PyObject* found = dict ? peek(dict, name) : nullptr;
#endif
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

// ---- checks at import ------------------------------------------------------------

namespace {

// A class with a base, as Python code makes them: `base` holds `inherited`,
// the class itself `own`.
ref probe_class() {
    using namespace pybind11::literals;
    py::handle type_type((PyObject*)&PyType_Type);
    py::object base = type_type("_ProbeBase", py::make_tuple(), py::dict("inherited"_a = 1));
    return ref(type_type("_Probe", py::make_tuple(base), py::dict("own"_a = 2)));
}

#ifdef XALO_PRIVATE_TYPE_LOOKUP
bool private_lookup_agrees(PyTypeObject* t) {
    for (const char* n : {"own", "inherited", "__init__", "__xalo_missing__"}) {
        ref name = ref::steal(PyUnicode_InternFromString(n));
        if (_PyType_Lookup(t, name.ptr()) != lookup_by_mro(t, name.ptr()))
            return false;
    }
    return true;
}
#endif

#ifdef XALO_VERSION_TAG
// Reading an attribute through the class gives it a tag; changing the class
// must take that tag away or renew it.
bool version_tag_moves(PyTypeObject* t) {
    version_tag_holds = true;
    xcore::getattr((PyObject*)t, XNAME("own"));
    unsigned int before = class_version(t);
    xcore::setattr((PyObject*)t, XNAME("own"), py::int_(3));
    return before == 0 || class_version(t) != before;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
bool clock_agrees() {
    try {
        ref time = ref(py::module_::import("time").attr("time"));
        double before = PyFloat_AsDouble(xcore::call(time).ptr());
        private_clock_holds = true;
        double now = 0.0;
        clock_seconds(&now);
        double after = PyFloat_AsDouble(xcore::call(time).ptr());
        return !PyErr_Occurred() && before <= now && now <= after;
    } catch (py::error_already_set&) {
        return false;
    }
}
#endif

}  // namespace

bool plain_only() {
    static const bool plain = [] {
        const char* v = std::getenv("XALO_PLAIN_INTERPRETER");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return plain;
}

void check_at_import() {
    static bool checked = false;
    if (checked || plain_only())
        return;
    checked = true;
    ref probe = probe_class();
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(probe.ptr());
#ifdef XALO_PRIVATE_TYPE_LOOKUP
    private_lookup_holds = private_lookup_agrees(t);
#endif
#ifdef XALO_VERSION_TAG
    version_tag_holds = version_tag_moves(t);
#endif
#if PY_VERSION_HEX < 0x030D0000
    private_clock_holds = clock_agrees();
    PyErr_Clear();
#endif
    (void)t;
}

}  // namespace xcore::interp
