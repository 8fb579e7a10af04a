#include "roi/fastpath.hpp"

#include "roi/regions.hpp"

namespace xroi {

Originals O;

using xcore::call;
using xcore::call_method;

// ---- What a class does when its instances are read, written and copied --------------

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

// An attribute the class itself holds (in its own __dict__), borrowed from it.
PyObject* own_attribute(PyTypeObject* t, py::handle name) {
#if PY_VERSION_HEX >= 0x030C0000
    ref dict = ref::steal(PyType_GetDict(t));
    return dict ? peek(dict.ptr(), name) : nullptr;
#else
    return t->tp_dict != nullptr ? peek(t->tp_dict, name) : nullptr;
#endif
}

// copy.copy(x) for an instance of this class would create cls.__new__(cls)
// and update its __dict__ with x's, running nothing of the class's own: an
// ordinary class whose instances have a __dict__ and nothing else, whose
// __new__ is object's, with none of the copy hooks but object's own.
bool copies_by_default(PyTypeObject* t) {
    if (Py_TYPE((PyObject*)t) != &PyType_Type || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_itemsize != 0)
        return false;
    if (PyType_IsSubtype(t, &PyType_Type) || PyType_IsSubtype(t, &PyList_Type) || PyType_IsSubtype(t, &PyDict_Type))
        return false;
    if (layout_of(t) != O.plain_layout)
        return false;
    if (t->tp_new != PyBaseObject_Type.tp_new || t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    if (type_lookup(t, XNAME("__copy__")) != nullptr || type_lookup(t, XNAME("__setstate__")) != nullptr ||
        type_lookup(t, XNAME("__getnewargs_ex__")) != nullptr || type_lookup(t, XNAME("__getnewargs__")) != nullptr)
        return false;
    if (type_lookup(t, XNAME("__reduce_ex__")) != O.object_reduce_ex ||
        type_lookup(t, XNAME("__reduce__")) != O.object_reduce ||
        type_lookup(t, XNAME("__getstate__")) != O.object_getstate || type_lookup(t, XNAME("__new__")) != O.object_new)
        return false;
    PyObject* dict_descr = type_lookup(t, XNAME("__dict__"));
    if (dict_descr == nullptr || Py_TYPE(dict_descr) != &PyGetSetDescr_Type)
        return false;
    if (!O.slotnames_cached)
        return true;
    // copy.copy's first copy of an instance leaves the class's slot names in
    // it; until then copy.copy does the work, so that the class changes as it would.
    PyObject* slotnames = own_attribute(t, XNAME("__slotnames__"));
    return slotnames != nullptr && PyList_CheckExact(slotnames) && PyList_GET_SIZE(slotnames) == 0;
}

// Whether copy.copy is still the function loaded, and the functions it
// reconstructs with too (where the copy module has them).
bool copy_untouched() {
    PyObject* module = G.peek(XNAME("copy"));
    if (module != O.copy_module)
        return false;
    PyObject* d = PyModule_GetDict(module);
    if (peek(d, XNAME("copy")) != O.copy_function)
        return false;
    if (O.copy_reconstruct != nullptr && peek(d, XNAME("_reconstruct")) != O.copy_reconstruct)
        return false;
    return O.copyreg_newobj == nullptr ||
           peek(PyModule_GetDict(O.copyreg_module), XNAME("__newobj__")) == O.copyreg_newobj;
}

// No reducer is registered for the class where copy.copy looks
// (copyreg.dispatch_table, as the copy module holds it).
bool no_reducer(PyTypeObject* t) {
    PyObject* table = peek(PyModule_GetDict(O.copy_module), XNAME("dispatch_table"));
    if (table == nullptr || !PyDict_CheckExact(table))
        return false;
    int found = PyDict_Contains(table, (PyObject*)t);
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

const ItemClass& ItemClasses::of(PyTypeObject* t, uint64_t epoch) {
    for (const ItemClass& c : seen_)
        if (c.type == t && c.epoch == epoch)
            return c;
    if (copy_epoch_ != epoch) {
        copy_epoch_ = epoch;
        copy_untouched_ = O.native_copy && copy_untouched();
    }
    ItemClass& c = seen_[next_++ & 3];
    c.type = t;
    c.epoch = epoch;
    c.plain_read = t->tp_getattro == PyObject_GenericGetAttr && type_lookup(t, XNAME("info")) == nullptr &&
                   type_lookup(t, XNAME("tlwh")) == nullptr;
    c.plain_write = t->tp_setattro == PyObject_GenericSetAttr && type_lookup(t, XNAME("roi_id")) == nullptr &&
                    type_lookup(t, XNAME("roi_name")) == nullptr;
    c.default_copy = copy_untouched_ && copies_by_default(t) && no_reducer(t);
    return c;
}

// The shallow copy copy.copy makes of such an instance: object.__new__(cls),
// then the new instance's own __dict__ updated with the items of the state,
// as copy's reconstruction does. Only public calls touch the new instance, so
// interpreters that keep instance attributes outside the dict (inline values)
// see an ordinary instance.
ref default_copy(PyObject* item, PyObject* state) {
    ref copy = ref::steal(PyBaseObject_Type.tp_new(Py_TYPE(item), O.empty_tuple, nullptr));
    if (PyDict_GET_SIZE(state) != 0) {
        ref dict = ref::steal(PyObject_GenericGetDict(copy.ptr(), nullptr));
        if (PyDict_Update(dict.ptr(), state) != 0)
            throw py::error_already_set();
    }
    return copy;
}

namespace {

// Whether default_copy gives what copy.copy gives on this interpreter, tried
// once on an instance of a plain class: attributes found by lookup, an equal
// but separate __dict__, and the class left as copy.copy leaves it. Where it
// does not, every object is copied by copy.copy itself.
bool native_copy_holds(py::handle plain_class, py::handle copy_module) {
    return xcore::catch_exception(
        [&] {
            PyTypeObject* t = (PyTypeObject*)plain_class.ptr();
            ref original = call(plain_class);
            ref value = ref::steal(PyList_New(0));
            xcore::setattr(original, XNAME("info"), value);
            xcore::setattr(original, XNAME("tlwh"), Py_None);
            call_method(copy_module, XNAME("copy"), original);
            O.slotnames_cached = own_attribute(t, XNAME("__slotnames__")) != nullptr;
            if (!copies_by_default(t) || !no_reducer(t))
                return false;
            ref state = ref::steal(PyObject_GenericGetDict(original.ptr(), nullptr));
            ref made = default_copy(original.ptr(), state.ptr());
            ref made_state = ref::steal(PyObject_GenericGetDict(made.ptr(), nullptr));
            ref found = xcore::getattr(made, XNAME("info"));
            return Py_TYPE(made.ptr()) == Py_TYPE(original.ptr()) && found.ptr() == value.ptr() &&
                   made_state.ptr() != state.ptr() &&
                   PyObject_RichCompareBool(made_state.ptr(), state.ptr(), Py_EQ) == 1;
        },
        [](py::handle) { return false; });
}

}  // namespace

// ---- Filters and the copy machinery as they are now ----------------------------------------

std::shared_ptr<Prepared> native_regions(py::handle self, PyObject* included) {
    PyTypeObject* t = Py_TYPE(self.ptr());
    if (t->tp_getattro != PyObject_GenericGetAttr ||
        type_lookup(t, XNAME("_is_point_in_polygon")) != O.in_polygon ||
        type_lookup(t, XNAME("_is_point_excluded_for_polygon")) != O.excluded ||
        type_lookup(t, XNAME("_assign_roi_info")) != O.assign ||
        type_lookup(t, XNAME("_exclusion_intersections")) != nullptr)
        return nullptr;
    PyObject* raw = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (raw == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    ref dict = ref::steal(raw);
    if (peek(dict.ptr(), XNAME("_is_point_in_polygon")) ||
        peek(dict.ptr(), XNAME("_is_point_excluded_for_polygon")) || peek(dict.ptr(), XNAME("_assign_roi_info")))
        return nullptr;
    PyObject* exclusions = peek(dict.ptr(), XNAME("_exclusion_intersections"));
    if (exclusions == nullptr || !PyDict_CheckExact(exclusions))
        return nullptr;
    if (G.peek(XNAME("Point")) != (PyObject*)O.point || type_lookup(O.point, XNAME("__new__")) != O.point_new)
        return nullptr;
    std::shared_ptr<Prepared> prep = find_prepared(self);
    if (prep && still_matches(*prep, included, exclusions))
        return prep;
    std::unique_ptr<Prepared> fresh = prepare(included, exclusions);
    if (!fresh || !still_matches(*fresh, included, exclusions))
        return nullptr;
    store_prepared(self, std::move(fresh));
    return find_prepared(self);
}

// ---- Module set-up ------------------------------------------------------------------------

namespace {

// obj.<name>, kept, or null when it is missing (or cannot be read).
PyObject* keep_optional(py::handle obj, const char* name) {
    ref value;
    bool found = xcore::catch_exception([&] { return xcore::getattr_optional(obj, ref::steal(PyUnicode_FromString(name)), &value); },
                                        [](py::handle) { return false; });
    return found ? xcore::keep_forever(value) : nullptr;
}

}  // namespace

void remember_originals(py::handle copy_module, py::handle np, py::handle zone_filter) {
    O.copy_module = xcore::keep_forever(copy_module);
    O.copy_function = xcore::keep_forever(copy_module.attr("copy"));
    // Functions copy.copy reconstructs with: where the copy modules have
    // them, a copy is made natively only while they are still these.
    O.copy_reconstruct = keep_optional(copy_module, "_reconstruct");
    py::module_ copyreg = py::module_::import("copyreg");
    O.copyreg_module = xcore::keep_forever(copyreg);
    O.copyreg_newobj = keep_optional(copyreg, "__newobj__");

    py::module_ shapely = py::module_::import("shapely");
    O.shapely = xcore::keep_forever(shapely);
    py::module_ geometry = py::module_::import("shapely.geometry");
    for (const char* name : {"Point", "LineString", "LinearRing", "Polygon", "MultiPoint", "MultiLineString",
                             "MultiPolygon", "GeometryCollection"})
        O.geometries.push_back((PyTypeObject*)xcore::keep_forever(geometry.attr(name)));
    O.point = (PyTypeObject*)xcore::keep_forever(geometry.attr("Point"));
    O.point_new = xcore::keep_forever(type_lookup(O.point, XNAME("__new__")));
    O.polygon = (PyTypeObject*)xcore::keep_forever(geometry.attr("Polygon"));
    O.multipolygon = (PyTypeObject*)xcore::keep_forever(geometry.attr("MultiPolygon"));
    O.geometry_contains = xcore::keep_forever(type_lookup(O.polygon, XNAME("contains")));

    O.ndarray = (PyTypeObject*)xcore::keep_forever(np.attr("ndarray"));
    O.float32 = (PyTypeObject*)xcore::keep_forever(np.attr("float32"));
    O.float64 = (PyTypeObject*)xcore::keep_forever(np.attr("float64"));

    PyTypeObject* cls = (PyTypeObject*)zone_filter.ptr();
    O.in_polygon = xcore::keep_forever(type_lookup(cls, XNAME("_is_point_in_polygon")));
    O.excluded = xcore::keep_forever(type_lookup(cls, XNAME("_is_point_excluded_for_polygon")));
    O.assign = xcore::keep_forever(type_lookup(cls, XNAME("_assign_roi_info")));

    O.object_reduce_ex = xcore::keep_forever(type_lookup(&PyBaseObject_Type, XNAME("__reduce_ex__")));
    O.object_reduce = xcore::keep_forever(type_lookup(&PyBaseObject_Type, XNAME("__reduce__")));
    PyObject* getstate = type_lookup(&PyBaseObject_Type, XNAME("__getstate__"));
    O.object_getstate = getstate != nullptr ? xcore::keep_forever(getstate) : nullptr;
    O.object_new = xcore::keep_forever(type_lookup(&PyBaseObject_Type, XNAME("__new__")));
    // The layout of an instance of a class with nothing but a __dict__.
    ref plain = xcore::call(reinterpret_cast<PyObject*>(&PyType_Type), XNAME("_Plain"),
                            ref::steal(PyTuple_New(0)), ref::steal(PyDict_New()));
    PyTypeObject* pt = (PyTypeObject*)plain.ptr();
    O.plain_layout = layout_of(pt);
    O.empty_tuple = xcore::keep_forever(py::tuple());
    O.native_copy = native_copy_holds(plain, copy_module);
}

}  // namespace xroi
