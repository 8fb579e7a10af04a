// The interpreter details listed in interp.hpp: their checks at import and
// their plain fallbacks.
#include "core/xcore.hpp"

#include <cstdlib>
#include <cstring>

namespace xcore::interp {

bool private_lookup_holds = false;
bool version_tag_holds = false;

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

// ---- instance layout and the copy route --------------------------------------------

namespace {

constexpr unsigned long kLayoutFlags = 0
#ifdef Py_TPFLAGS_MANAGED_DICT
                                       | Py_TPFLAGS_MANAGED_DICT
#endif
#ifdef Py_TPFLAGS_MANAGED_WEAKREF
                                       | Py_TPFLAGS_MANAGED_WEAKREF
#endif
#ifdef Py_TPFLAGS_INLINE_VALUES
                                       | Py_TPFLAGS_INLINE_VALUES
#endif
    ;

// Whether `table` (of the type `kind`, exactly) leaves t out; false when it
// is missing or of another type.
bool leaves_out(PyObject* table, PyTypeObject* kind, PyTypeObject* t) {
    if (table == nullptr || Py_TYPE(table) != kind)
        return false;
    int found = kind == &PyDict_Type ? PyDict_Contains(table, (PyObject*)t) : PySet_Contains(table, (PyObject*)t);
    if (found < 0)
        PyErr_Clear();
    return found == 0;
}

}  // namespace

InstanceLayout layout_of(PyTypeObject* t) noexcept {
    InstanceLayout l;
    l.basicsize = t->tp_basicsize;
    l.dictoffset = t->tp_dictoffset;
    l.weaklistoffset = t->tp_weaklistoffset;
    l.flags = t->tp_flags & kLayoutFlags;
    return l;
}

bool copy_tables_pass(PyObject* copy_dict, PyTypeObject* t) noexcept {
#ifdef XALO_COPY_ROUTE
    if (!leaves_out(peek(copy_dict, XNAME("dispatch_table")), &PyDict_Type, t))
        return false;
#if PY_VERSION_HEX >= 0x030E0000
    return leaves_out(peek(copy_dict, XNAME("_copy_atomic_types")), &PySet_Type, t) &&
           leaves_out(peek(copy_dict, XNAME("_copy_builtin_containers")), &PySet_Type, t);
#else
    return leaves_out(peek(copy_dict, XNAME("_copy_dispatch")), &PyDict_Type, t);
#endif
#else
    (void)copy_dict;
    (void)t;
    return false;
#endif
}

PyObject* cached_slotnames(PyTypeObject* t) noexcept {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_dict == nullptr)
        return nullptr;
    return peek(t->tp_dict, XNAME("__slotnames__"));
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
    (void)t;
}

}  // namespace xcore::interp
