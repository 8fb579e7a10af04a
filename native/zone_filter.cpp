// xalo_sdk.roi.zone_filter: polygon regions of interest, prepared once, and the
// per-frame filter that keeps and tags the detections or tracks inside them.
//
// filter_in_roi runs for every object of every frame on a small ARM board, so
// besides the plain route (Shapely points and `contains` calls through the
// helper methods) it has a native one: the vertex rings of the prepared
// regions are read out of their Shapely geometries once and anchor points are
// located in them by the geometry kernel (roi/geometry.hpp), which decides
// every boundary case as GEOS does. The native
// route is taken only while it cannot be told apart from the plain one: the
// helpers are not overridden, the region data still is the data the helpers
// would read, and the library objects involved are still the ones loaded.
#include "core/xcore.hpp"
#include "roi/geometry.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using xcore::Args;
using xcore::call;
using xcore::call_method;
using xcore::ref;
using xgeom::Area;
using xgeom::Location;
using xgeom::Part;
using xgeom::Ring;
using xgeom::usable;

namespace {

xcore::Globals G;

// Objects the module was loaded against, kept only to recognise them later.
struct Originals {
    PyObject* copy_module = nullptr;
    PyObject* copy_function = nullptr;
    PyObject* copy_reconstruct = nullptr;
    PyObject* copyreg_module = nullptr;
    PyObject* copyreg_newobj = nullptr;
    PyObject* shapely = nullptr;
    PyObject* geometry_contains = nullptr;  // BaseGeometry.contains
    PyTypeObject* point = nullptr;
    PyObject* point_new = nullptr;
    PyTypeObject* polygon = nullptr;
    PyTypeObject* multipolygon = nullptr;
    std::vector<PyTypeObject*> geometries;  // every geometry class of shapely.geometry
    PyTypeObject* ndarray = nullptr;
    PyTypeObject* float32 = nullptr;
    PyTypeObject* float64 = nullptr;
    // ZoneFilter's helpers as its namespace holds them
    PyObject* in_polygon = nullptr;
    PyObject* excluded = nullptr;
    PyObject* assign = nullptr;
    // what a class without copy hooks inherits from object
    PyObject* object_reduce_ex = nullptr;
    PyObject* object_reduce = nullptr;
    PyObject* object_getstate = nullptr;  // absent before Python 3.11
    PyObject* object_new = nullptr;
    Py_ssize_t plain_basicsize = 0;
    Py_ssize_t plain_dictoffset = 0;
    Py_ssize_t plain_weaklistoffset = 0;
    unsigned long plain_layout_flags = 0;
    PyObject* empty_tuple = nullptr;
    bool native_copy = false;  // default_copy equals copy.copy here
};
Originals O;

// A dict entry, or null when missing; an error in the lookup counts as missing.
PyObject* peek(PyObject* dict, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict, key.ptr());
    if (v == nullptr && PyErr_Occurred())
        PyErr_Clear();
    return v;
}

// `a, b, ... = value` with exactly n targets, raising what the interpreter
// raises. Returns true when only the interpreter's own code ran (lists,
// tuples and NumPy arrays), false when the value's iteration is Python code.
bool unpack(py::handle value, Py_ssize_t n, ref* out) {
    PyObject* v = value.ptr();
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) && PySequence_Fast_GET_SIZE(v) == n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = ref::borrow(PySequence_Fast_GET_ITEM(v, i));
        return true;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    ref it = ref::steal(raw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", (int)n, (int)i);
            throw py::error_already_set();
        }
        out[i] = ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        ref drop = ref::steal(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", (int)n);
        throw py::error_already_set();
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return PyTuple_CheckExact(v) || PyList_CheckExact(v) || Py_TYPE(v) == O.ndarray;
}

// ---- Region data read out of the Shapely geometries --------------------------------

struct BufferView {
    Py_buffer view;
    explicit BufferView(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
            throw py::error_already_set();
    }
    ~BufferView() { PyBuffer_Release(&view); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
};

// The ring's coordinates as Shapely holds them (float64). False when one is
// outside the range the exact predicates cover.
bool read_ring(py::handle shapely, py::handle ring_geometry, Ring& ring) {
    ref coords = call_method(shapely, XNAME("get_coordinates"), ring_geometry);
    BufferView buf(coords);
    const Py_buffer& v = buf.view;
    if (v.itemsize != 8 || v.format == nullptr || std::strcmp(v.format, "d") != 0 || v.len % 16 != 0)
        return false;
    return ring.assign(static_cast<const double*>(v.buf), (size_t)(v.len / 16));
}

bool read_polygon(py::handle shapely, py::handle polygon, Area& area) {
    Part part;
    if (!read_ring(shapely, call_method(shapely, XNAME("get_exterior_ring"), polygon), part.shell))
        return false;
    if (part.shell.empty())
        return true;  // an empty polygon contains nothing
    Py_ssize_t holes = PyNumber_AsSsize_t(call_method(shapely, XNAME("get_num_interior_rings"), polygon).ptr(),
                                          PyExc_OverflowError);
    if (holes == -1 && PyErr_Occurred())
        throw py::error_already_set();
    for (Py_ssize_t i = 0; i < holes; ++i) {
        Ring hole;
        if (!read_ring(shapely, call_method(shapely, XNAME("get_interior_ring"), polygon, py::int_(i)), hole))
            return false;
        if (!hole.empty())
            part.holes.push_back(std::move(hole));
    }
    area.add(std::move(part));
    return true;
}

// One geometry a point is tested against: natively when it is a polygon or
// multipolygon with usable coordinates, else by its own `contains`. A point
// outside the geometry's envelope is refused first either way, as GEOS does.
struct Shape {
    ref geometry;
    bool native = false;
    Area area;
    double minx = -INFINITY, miny = -INFINITY, maxx = INFINITY, maxy = INFINITY;

    bool envelope_covers(double x, double y) const { return x >= minx && x <= maxx && y >= miny && y <= maxy; }
};

// The envelope GEOS keeps for the geometry (all NaN, covering nothing, when empty).
void read_envelope(PyObject* geometry, Shape& shape) {
    xcore::catch_exception(
        [&] {
            ref bounds = call_method(O.shapely, XNAME("bounds"), geometry);
            BufferView buf(bounds);
            const Py_buffer& v = buf.view;
            if (v.itemsize != 8 || v.format == nullptr || std::strcmp(v.format, "d") != 0 || v.len != 32)
                return;
            const double* b = static_cast<const double*>(v.buf);
            shape.minx = b[0];
            shape.miny = b[1];
            shape.maxx = b[2];
            shape.maxy = b[3];
        },
        [](py::handle) {});
}

// False when the object is not one of Shapely's geometry classes.
bool load_shape(PyObject* obj, Shape& shape) {
    PyTypeObject* t = Py_TYPE(obj);
    bool known = false;
    for (PyTypeObject* g : O.geometries)
        known |= t == g;
    if (!known)
        return false;
    shape.geometry = ref::borrow(obj);
    read_envelope(obj, shape);
    if (t != O.polygon && t != O.multipolygon)
        return true;
    shape.native = xcore::catch_exception(
        [&] {
            py::handle shapely = O.shapely;
            if (t == O.polygon)
                return read_polygon(shapely, obj, shape.area);
            ref parts = call_method(shapely, XNAME("get_parts"), obj);
            for (py::handle part : parts) {
                if (Py_TYPE(part.ptr()) != O.polygon || !read_polygon(shapely, part, shape.area))
                    return false;
            }
            return true;
        },
        [](py::handle) { return false; });
    return true;
}

// One entry of _included_rois with the exclusion geometries stored for it.
// Entries and lists are compared by identity only; the geometries are held,
// so an identical object is the very geometry that was read.
struct Region {
    PyObject* entry = nullptr;
    ref key;                        // id(entry)
    Shape shape;
    PyObject* exclusions = nullptr;  // the stored list, or null when there is none
    std::vector<Shape> excluded;
};

struct Prepared {
    std::vector<Region> regions;
    std::vector<PyTypeObject*> geometry_types;

    void note_type(PyObject* geometry) {
        PyTypeObject* t = Py_TYPE(geometry);
        for (PyTypeObject* known : geometry_types)
            if (known == t)
                return;
        geometry_types.push_back(t);
    }
};

// Prepared data for the region list and exclusion map the helpers would read
// now, or null when they hold something the native route does not stand in for.
std::unique_ptr<Prepared> prepare(PyObject* included, PyObject* exclusions) {
    if (!PyList_CheckExact(included) || !PyDict_CheckExact(exclusions))
        return nullptr;
    auto prep = std::make_unique<Prepared>();
    Py_ssize_t n = PyList_GET_SIZE(included);
    prep->regions.resize((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Region& r = prep->regions[(size_t)i];
        r.entry = PyList_GET_ITEM(included, i);
        if (!PyDict_CheckExact(r.entry))
            return nullptr;
        PyObject* geometry = peek(r.entry, XNAME("shapely_polygon"));
        if (geometry == nullptr || !load_shape(geometry, r.shape))
            return nullptr;
        prep->note_type(geometry);
        r.key = ref::steal(PyLong_FromVoidPtr(r.entry));
        r.exclusions = peek(exclusions, r.key);
        if (r.exclusions == nullptr)
            continue;
        if (!PyList_CheckExact(r.exclusions))
            return nullptr;
        Py_ssize_t m = PyList_GET_SIZE(r.exclusions);
        r.excluded.resize((size_t)m);
        for (Py_ssize_t j = 0; j < m; ++j) {
            PyObject* g = PyList_GET_ITEM(r.exclusions, j);
            if (!load_shape(g, r.excluded[(size_t)j]))
                return nullptr;
            prep->note_type(g);
        }
    }
    return prep;
}

// Whether the prepared data is still what the helpers would read.
bool still_matches(const Prepared& prep, PyObject* included, PyObject* exclusions) {
    if (!PyList_CheckExact(included) || PyList_GET_SIZE(included) != (Py_ssize_t)prep.regions.size())
        return false;
    for (size_t i = 0; i < prep.regions.size(); ++i) {
        const Region& r = prep.regions[i];
        PyObject* entry = PyList_GET_ITEM(included, (Py_ssize_t)i);
        if (entry != r.entry || !PyDict_CheckExact(entry) ||
            peek(entry, XNAME("shapely_polygon")) != r.shape.geometry.ptr())
            return false;
        PyObject* list = peek(exclusions, r.key);
        if (list != r.exclusions)
            return false;
        if (list == nullptr)
            continue;
        if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != (Py_ssize_t)r.excluded.size())
            return false;
        for (size_t j = 0; j < r.excluded.size(); ++j)
            if (PyList_GET_ITEM(list, (Py_ssize_t)j) != r.excluded[j].geometry.ptr())
                return false;
    }
    for (PyTypeObject* t : prep.geometry_types)
        if (_PyType_Lookup(t, XNAME("contains").ptr()) != O.geometry_contains)
            return false;
    return true;
}

// Prepared data lives beside each ZoneFilter, not in it, so the instance's
// attributes stay exactly the documented ones (and copies and pickles of a
// filter keep working); a weak reference drops it with its filter.
struct Slot {
    ref weak;
    std::shared_ptr<Prepared> prepared;
};

std::unordered_map<PyObject*, Slot>& slots() {
    // Never destroyed: it holds Python objects that must not be released
    // after the interpreter is gone.
    static auto* table = new std::unordered_map<PyObject*, Slot>();
    return *table;
}

PyObject* forget_filter(PyObject*, PyObject* weak) {
    auto& table = slots();
    for (auto it = table.begin(); it != table.end(); ++it) {
        if (it->second.weak.ptr() == weak) {
            Slot gone = std::move(it->second);
            table.erase(it);
            break;
        }
    }
    return py::none().release().ptr();
}

PyMethodDef forget_filter_def = {"_forget_filter", forget_filter, METH_O, nullptr};

void store_prepared(py::handle self, std::unique_ptr<Prepared> prepared) {
    auto& table = slots();
    auto it = table.find(self.ptr());
    if (it != table.end()) {
        it->second.prepared = std::move(prepared);
        return;
    }
    static PyObject* const callback = PyCFunction_New(&forget_filter_def, nullptr);
    PyObject* weak = PyWeakref_NewRef(self.ptr(), callback);
    if (weak == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();  // no weak references: such a filter takes the plain route
        return;
    }
    table[self.ptr()] = Slot{ref::steal(weak), std::move(prepared)};
}

std::shared_ptr<Prepared> find_prepared(py::handle self) {
    auto& table = slots();
    auto it = table.find(self.ptr());
    return it == table.end() ? nullptr : it->second.prepared;
}

// ---- What a class does when its instances are read, written and copied --------------

PyObject* type_lookup(PyTypeObject* t, py::handle name) { return _PyType_Lookup(t, name.ptr()); }

// Type flags that tell where an instance keeps its __dict__, weak references
// and attribute values, on the interpreters that have them.
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

// copy.copy(x) for an instance of this class would create cls.__new__(cls)
// and update its __dict__ with x's, running nothing of the class's own.
bool copies_by_default(PyTypeObject* t) {
    if (Py_TYPE((PyObject*)t) != &PyType_Type || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_itemsize != 0)
        return false;
    if (PyType_IsSubtype(t, &PyType_Type) || PyType_IsSubtype(t, &PyList_Type) || PyType_IsSubtype(t, &PyDict_Type))
        return false;
    if (t->tp_basicsize != O.plain_basicsize || t->tp_dictoffset != O.plain_dictoffset ||
        t->tp_weaklistoffset != O.plain_weaklistoffset || (t->tp_flags & kLayoutFlags) != O.plain_layout_flags)
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
    // Set by the first copy of an instance; until then copy.copy does the work.
    PyObject* slotnames = peek(t->tp_dict, XNAME("__slotnames__"));
    return slotnames != nullptr && PyList_CheckExact(slotnames) && PyList_GET_SIZE(slotnames) == 0;
}

struct ItemClass {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    bool plain_read = false;   // info and tlwh come from the instance dict
    bool plain_write = false;  // roi_id and roi_name go to the instance dict
    bool default_copy = false;
};

// Keyed by the class and its attribute-cache version, which changes whenever
// the class or one of its bases is changed.
const ItemClass& item_class(PyTypeObject* t) {
    static ItemClass cache[16];
    ItemClass& c = cache[((uintptr_t)t >> 4) & 15];
    if (c.type == t && c.tag != 0 && c.tag == t->tp_version_tag && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return c;
    ItemClass fresh;
    fresh.type = t;
    fresh.plain_read = t->tp_getattro == PyObject_GenericGetAttr && type_lookup(t, XNAME("info")) == nullptr &&
                       type_lookup(t, XNAME("tlwh")) == nullptr;
    fresh.plain_write = t->tp_setattro == PyObject_GenericSetAttr && type_lookup(t, XNAME("roi_id")) == nullptr &&
                        type_lookup(t, XNAME("roi_name")) == nullptr;
    fresh.default_copy = O.native_copy && copies_by_default(t);
    fresh.tag = (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
    c = fresh;
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

// Whether default_copy gives what copy.copy gives on this interpreter, tried
// once on an instance of a plain class: attributes found by lookup, an equal
// but separate __dict__. Interpreters newer than those it was tried on take
// copy.copy itself.
bool native_copy_holds(py::handle plain_class, py::handle copy_module) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)plain_class;
    (void)copy_module;
    return false;
#else
    return xcore::catch_exception(
        [&] {
            ref original = call(plain_class);
            ref value = ref::steal(PyList_New(0));
            xcore::setattr(original, XNAME("info"), value);
            xcore::setattr(original, XNAME("tlwh"), Py_None);
            call_method(copy_module, XNAME("copy"), original);  // sets __slotnames__, as a first copy does
            if (!copies_by_default((PyTypeObject*)plain_class.ptr()))
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
#endif
}

// ---- Anchor arithmetic ----------------------------------------------------------------

bool small_int(PyObject* o, double& d) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v > (1LL << 53) || v < -(1LL << 53))
        return false;
    d = (double)v;
    return true;
}

// How Python computes with a number, when that is plain double arithmetic:
// a float or an int a double holds exactly computes as doubles; so does
// NumPy's float64, except that NumPy reports floating-point exceptions
// (division by zero, overflow, underflow) through its error settings.
enum NumberKind : int { kOtherNumber = 0, kPythonNumber = 1, kFloat64Number = 2 };

int number_kind(PyObject* o, double& d) {
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        return kPythonNumber;
    }
    if (Py_TYPE(o) == O.float64) {
        d = PyFloat_AS_DOUBLE(o);
        return kFloat64Number;
    }
    return PyLong_CheckExact(o) && small_int(o, d) ? kPythonNumber : kOtherNumber;
}

// The four values of a one-dimensional float64 array: unpacking it gives
// float64 scalars holding exactly these.
bool float64_box(PyObject* b, double* out) {
    if (Py_TYPE(b) != O.ndarray)
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(b, &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = view.ndim == 1 && view.shape[0] == 4 && view.itemsize == 8 && view.format != nullptr &&
              std::strcmp(view.format, "d") == 0;
    for (int i = 0; ok && i < 4; ++i)
        std::memcpy(&out[i], static_cast<const char*>(view.buf) + i * view.strides[0], sizeof(double));
    PyBuffer_Release(&view);
    return ok;
}

// A result that raised no floating-point exception NumPy would report.
inline bool quiet_result(double r) {
    double a = std::fabs(r);
    return a == 0.0 || (a >= 1e-290 && a <= 1e290);
}

// The value Shapely's Point reads from this anchor coordinate, when a double
// holds it exactly whatever array NumPy builds from the pair.
bool point_coordinate(PyObject* o, double& d) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == O.float64) {
        d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (Py_TYPE(o) == O.float32) {
        d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return PyLong_CheckExact(o) && small_int(o, d);
}

// Numbers whose arithmetic is the interpreter's or NumPy's own code.
bool library_number(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || t == O.float32 || t == O.float64;
}


ref steal_result(PyObject* result) { return ref::steal(result); }

PyObject* small_int_object(long v) {
    static PyObject* const ints[2] = {PyLong_FromLong(0), PyLong_FromLong(1)};
    return ints[v];
}

bool greater_than_one(py::handle value) {
    static PyObject* const one = PyFloat_FromDouble(1.0);
    return xcore::truth(steal_result(PyObject_RichCompare(value.ptr(), one, Py_GT)));
}

// The next item of an iterator, or an empty ref at its end.
ref next_item(py::handle it) {
    PyObject* next = PyIter_Next(it.ptr());
    if (next == nullptr && PyErr_Occurred())
        throw py::error_already_set();
    return next == nullptr ? ref() : ref::steal(next);
}

py::handle empty_text() {
    static PyObject* const text = xcore::intern_forever("");
    return text;
}

// ---- ZoneFilter: construction --------------------------------------------------------

ref roi_key(py::handle name) { return xcore::getattr(G.get(XNAME("RoiData")), name); }

ref item(py::handle mapping, py::handle key) { return steal_result(PyObject_GetItem(mapping.ptr(), key.ptr())); }

void set_item(py::handle mapping, py::handle key, py::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0)
        throw py::error_already_set();
}

// Reads the region data the filter will use and keeps it beside the filter.
void prepare_for(py::handle self) {
    xcore::catch_exception(
        [&] {
            ref included, exclusions;
            if (!xcore::getattr_optional(self, XNAME("_included_rois"), &included) ||
                !xcore::getattr_optional(self, XNAME("_exclusion_intersections"), &exclusions))
                return;
            std::unique_ptr<Prepared> prep = prepare(included.ptr(), exclusions.ptr());
            if (prep)
                store_prepared(self, std::move(prep));
        },
        [](py::handle) {});
}

py::object init(Args a) {
    py::handle self = a[0], polygons = a[1], frame_sz = a[2];
    xcore::setattr(self, XNAME("polygons"), Py_None);
    if (xcore::truth(polygons))
        xcore::setattr(self, XNAME("polygons"), call_method(G.get(XNAME("copy")), XNAME("deepcopy"), polygons));
    xcore::setattr(self, XNAME("rois"), polygons);
    if (xcore::truth(frame_sz)) {
        ref w = steal_result(PyNumber_Float(item(frame_sz, small_int_object(0)).ptr()));
        ref h = steal_result(PyNumber_Float(item(frame_sz, small_int_object(1)).ptr()));
        py::list size;
        size.append(w);
        size.append(h);
        xcore::setattr(self, XNAME("frame_sz"), size);
    } else {
        xcore::setattr(self, XNAME("frame_sz"), steal_result(Py_BuildValue("[dd]", 1.0, 1.0)));
    }
    xcore::setattr(self, XNAME("_included_rois"), py::list());
    xcore::setattr(self, XNAME("_empty_polygon"), Py_None);
    xcore::setattr(self, XNAME("_exclusion_intersections"), py::dict());
    if (!xcore::truth(xcore::getattr(self, XNAME("rois"))))
        return py::none();

    // Vertex arrays as float32 and their polygons, in place in the caller's entries.
    for (py::handle roi : xcore::getattr(self, XNAME("rois"))) {
        ref np = G.get(XNAME("np"));
        ref array = xcore::getattr(np, XNAME("array"));
        ref points = item(roi, roi_key(XNAME("POINTS_KEY")));
        ref vertices = xcore::vcall(array, {points, xcore::getattr(G.get(XNAME("np")), XNAME("float32"))},
                                    XKW("dtype"));
        set_item(roi, roi_key(XNAME("POINTS_KEY")), vertices);
        ref polygon_class = G.get(XNAME("Polygon"));
        ref polygon = call(polygon_class, item(roi, roi_key(XNAME("POINTS_KEY"))));
        set_item(roi, XNAME("shapely_polygon"), polygon);
    }
    py::list excluded;
    for (py::handle roi : xcore::getattr(self, XNAME("rois"))) {
        if (!xcore::truth(item(roi, roi_key(XNAME("INCLUDE_KEY")))))
            excluded.append(roi);
    }
    // Every include-exclude overlap is computed here, once, so that filtering
    // only ever tests points.
    for (py::handle roi : xcore::getattr(self, XNAME("rois"))) {
        Py_ssize_t count = PyObject_Length(item(roi, roi_key(XNAME("POINTS_KEY"))).ptr());
        if (count < 0)
            throw py::error_already_set();
        if (count == 0) {
            xcore::setattr(self, XNAME("_empty_polygon"), roi);
            continue;
        }
        if (!xcore::truth(item(roi, roi_key(XNAME("INCLUDE_KEY")))))
            continue;
        call_method(xcore::getattr(self, XNAME("_included_rois")), XNAME("append"), roi);
        py::list overlaps;
        for (py::handle ex : excluded) {
            ref intersection = xcore::getattr(item(roi, XNAME("shapely_polygon")), XNAME("intersection"));
            ref overlap = call(intersection, item(ex, XNAME("shapely_polygon")));
            if (!xcore::truth(xcore::getattr(overlap, XNAME("is_empty"))))
                overlaps.append(overlap);
        }
        ref table = xcore::getattr(self, XNAME("_exclusion_intersections"));
        set_item(table, steal_result(PyLong_FromVoidPtr(roi.ptr())), overlaps);
    }
    prepare_for(self);
    return py::none();
}

// ---- ZoneFilter: filtering -------------------------------------------------------------

struct Anchor {
    ref rx, ry;        // the values of the plain arithmetic, made on demand when computed natively
    double x = 0.0, y = 0.0;
    bool exact = false;  // x and y are the coordinates Shapely's Point would hold
    ref point;
};

struct CachedKey {
    ref value;
    uint64_t epoch = UINT64_MAX;
};

// One call of filter_in_roi over its objects. Module globals and the region
// data are re-read whenever Python code whose effects are unknown (a property,
// a custom mapping, a __copy__, ...) may have run: `epoch_` counts such points.
class Filter {
public:
    Filter(py::handle self, ref included, ref empty, ref fx, ref fy, ref ax, ref ay)
        : self_(self), included_(std::move(included)), empty_(std::move(empty)), fx_(std::move(fx)),
          fy_(std::move(fy)), ax_(std::move(ax)), ay_(std::move(ay)) {
        // The anchor fractions must be floats, so that both products are float products.
        int kx = number_kind(ax_.ptr(), ax_d_), ky = number_kind(ay_.ptr(), ay_d_);
        fast_anchor_ = kx != kOtherNumber && ky != kOtherNumber && !PyLong_CheckExact(ax_.ptr()) &&
                       !PyLong_CheckExact(ay_.ptr());
        anchor_float64_ = kx == kFloat64Number || ky == kFloat64Number;
        // Division by zero goes the plain way, which raises (or warns) as Python does.
        int kfx = number_kind(fx_.ptr(), fx_d_), kfy = number_kind(fy_.ptr(), fy_d_);
        fast_divide_ = kfx != kOtherNumber && kfy != kOtherNumber && fx_d_ != 0.0 && fy_d_ != 0.0;
        divide_float64_ = kfx == kFloat64Number || kfy == kFloat64Number;
    }

    py::object over(py::handle det_or_trk) {
        PyObject* d = det_or_trk.ptr();
        if (PyList_CheckExact(d) || PyTuple_CheckExact(d)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(d); ++i)
                process(ref::borrow(PySequence_Fast_GET_ITEM(d, i)));
            return std::move(result_);
        }
        ref it = steal_result(PyObject_GetIter(d));
        while (ref obj = next_item(it)) {
            foreign();
            process(obj);
        }
        return std::move(result_);
    }

private:
    void foreign() { ++epoch_; }

    void process(py::handle obj) {
        const ItemClass cls = item_class(Py_TYPE(obj.ptr()));
        ref info;
        bool has_info = xcore::getattr_optional(obj, XNAME("info"), &info);
        if (!cls.plain_read) {
            foreign();
            if (has_info)
                info = xcore::getattr(obj, XNAME("info"));  // read again after hasattr, as Python does
        }
        ref box;
        if (!has_info) {
            box = xcore::getattr(obj, XNAME("tlwh"));
        } else if (PyDict_CheckExact(info.ptr())) {
            ref tlwh = xcore::getattr(obj, XNAME("tlwh"));
            PyObject* rect = PyDict_GetItemWithError(info.ptr(), XNAME("rect").ptr());
            if (rect == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            box = rect != nullptr ? ref::borrow(rect) : std::move(tlwh);
        } else {
            ref get = xcore::getattr(info, XNAME("get"));
            ref tlwh = xcore::getattr(obj, XNAME("tlwh"));
            foreign();
            box = call(get, XNAME("rect"), tlwh);
        }
        Anchor anchor;
        PyObject* b = box.ptr();
        double values[4];
        bool done = false;
        if (fast_anchor_ && (PyList_CheckExact(b) || PyTuple_CheckExact(b)) && PySequence_Fast_GET_SIZE(b) == 4)
            done = double_anchor(PySequence_Fast_ITEMS(b), anchor);
        else if (fast_anchor_ && float64_box(b, values))
            done = anchor_from(values[0], values[1], values[2], values[3], true, anchor);
        if (!done) {
            ref v[4];
            if (!unpack(box, 4, v))
                foreign();
            compute_anchor(v, anchor);
        }
        matched_.clear();
        match(anchor, matched_);
        tag(obj, has_info, matched_);
    }

    // The anchor in doubles, when Python's arithmetic on these numbers is
    // exactly that and raises or reports nothing.
    bool double_anchor(PyObject* const* v, Anchor& a) {
        double x = 0.0, y = 0.0, w = 0.0, h = 0.0;
        int kx = number_kind(v[0], x), ky = number_kind(v[1], y);
        int kw = number_kind(v[2], w), kh = number_kind(v[3], h);
        if (kx == kOtherNumber || ky == kOtherNumber || kw == kOtherNumber || kh == kOtherNumber)
            return false;
        return anchor_from(x, y, w, h, (kx | ky | kw | kh) & kFloat64Number, a);
    }

    bool anchor_from(double x, double y, double w, double h, bool float64, Anchor& a) {
        float64 |= anchor_float64_;
        if (float64 && !(usable(x) && usable(y) && usable(w) && usable(h) && usable(ax_d_) && usable(ay_d_)))
            return false;
        double rx = x + w * ax_d_;
        double ry = y + h * ay_d_;
        if (w > 1.0 && h > 1.0) {
            if (!fast_divide_)
                return false;
            float64 |= divide_float64_;
            if (float64 && !(usable(fx_d_) && usable(fy_d_)))
                return false;
            rx = rx / fx_d_;
            ry = ry / fy_d_;
        }
        if (float64 && !(quiet_result(rx) && quiet_result(ry)))
            return false;
        a.x = rx;
        a.y = ry;
        a.exact = true;
        return true;
    }

    // rx = x + w * ax, ry = y + h * ay, divided by the frame size for pixel boxes.
    void compute_anchor(ref* v, Anchor& a) {
        PyObject* const items[4] = {v[0].ptr(), v[1].ptr(), v[2].ptr(), v[3].ptr()};
        if (fast_anchor_ && double_anchor(items, a))
            return;
        bool library = library_number(ax_.ptr()) && library_number(ay_.ptr());
        for (int i = 0; i < 4; ++i)
            library &= library_number(v[i].ptr());
        if (!library)
            foreign();
        ref rx = steal_result(PyNumber_Add(v[0].ptr(), steal_result(PyNumber_Multiply(v[2].ptr(), ax_.ptr())).ptr()));
        ref ry = steal_result(PyNumber_Add(v[1].ptr(), steal_result(PyNumber_Multiply(v[3].ptr(), ay_.ptr())).ptr()));
        if (greater_than_one(v[2]) && greater_than_one(v[3])) {
            if (!library_number(fx_.ptr()) || !library_number(fy_.ptr()))
                foreign();
            rx = steal_result(PyNumber_TrueDivide(rx.ptr(), fx_.ptr()));
            ry = steal_result(PyNumber_TrueDivide(ry.ptr(), fy_.ptr()));
        }
        a.exact = point_coordinate(rx.ptr(), a.x) && point_coordinate(ry.ptr(), a.y);
        a.rx = std::move(rx);
        a.ry = std::move(ry);
    }

    ref point(Anchor& a) {
        if (!a.point) {
            if (!a.rx) {
                a.rx = steal_result(PyFloat_FromDouble(a.x));
                a.ry = steal_result(PyFloat_FromDouble(a.y));
            }
            a.point = call(G.get(XNAME("Point")), a.rx, a.ry);
        }
        return a.point;
    }

    // The prepared regions, when they still stand for what the helpers would
    // read; null sends the object the plain way.
    bool ready() {
        if (checked_epoch_ != epoch_) {
            prepared_ = check();
            checked_epoch_ = epoch_;
        }
        return prepared_ != nullptr;
    }

    std::shared_ptr<Prepared> check() {
        PyTypeObject* t = Py_TYPE(self_.ptr());
        if (t->tp_getattro != PyObject_GenericGetAttr ||
            type_lookup(t, XNAME("_is_point_in_polygon")) != O.in_polygon ||
            type_lookup(t, XNAME("_is_point_excluded_for_polygon")) != O.excluded ||
            type_lookup(t, XNAME("_assign_roi_info")) != O.assign ||
            type_lookup(t, XNAME("_exclusion_intersections")) != nullptr)
            return nullptr;
        PyObject* raw = PyObject_GenericGetDict(self_.ptr(), nullptr);
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
        std::shared_ptr<Prepared> prep = find_prepared(self_);
        if (prep && still_matches(*prep, included_.ptr(), exclusions))
            return prep;
        std::unique_ptr<Prepared> fresh = prepare(included_.ptr(), exclusions);
        if (!fresh || !still_matches(*fresh, included_.ptr(), exclusions))
            return nullptr;
        store_prepared(self_, std::move(fresh));
        return find_prepared(self_);
    }

    void match(Anchor& a, std::vector<ref>& matched) {
        if (a.exact && usable(a.x) && usable(a.y) && ready()) {
            for (const Region& r : prepared_->regions) {
                if (!contains(r.shape, a))
                    continue;
                bool excluded = false;
                for (const Shape& s : r.excluded) {
                    if (contains(s, a)) {
                        excluded = true;
                        break;
                    }
                }
                if (!excluded)
                    matched.push_back(ref::borrow(r.entry));
            }
            return;
        }
        // The plain way: a Shapely point and the helpers as attributes of the instance.
        ref pt = point(a);
        ref it = steal_result(PyObject_GetIter(included_.ptr()));
        while (ref entry = next_item(it)) {
            foreign();
            if (!xcore::truth(xcore::vcall_method(self_, XNAME("_is_point_in_polygon"), {pt, entry})))
                continue;
            if (!xcore::truth(xcore::vcall_method(self_, XNAME("_is_point_excluded_for_polygon"), {pt, entry})))
                matched.push_back(std::move(entry));
        }
    }

    bool contains(const Shape& s, Anchor& a) {
        if (!s.envelope_covers(a.x, a.y))
            return false;
        if (s.native) {
            Location loc = xgeom::locate_in_area(s.area, a.x, a.y);
            if (loc != xgeom::kUnknown)
                return loc == xgeom::kInterior;
        }
        return xcore::truth(call_method(s.geometry, XNAME("contains"), point(a)));
    }

    void tag(py::handle obj, bool has_info, std::vector<ref>& matched) {
        bool whole_frame = false;
        if (!empty_.is_none()) {
            if (!PyDict_CheckExact(empty_.ptr()))
                foreign();
            whole_frame = xcore::truth(empty_) && matched.empty();
        }
        if (whole_frame)
            matched.assign(1, empty_);
        else if (matched.empty())
            return;
        ref copy = copy_of(obj);
        if (ready()) {
            assign(copy, matched, has_info);
        } else {
            py::list entries;
            for (const ref& e : matched)
                entries.append(e);
            foreign();
            xcore::vcall_method(self_, XNAME("_assign_roi_info"), {copy, entries, has_info ? Py_True : Py_False});
        }
        if (PyList_Append(result_.ptr(), copy.ptr()) != 0)
            throw py::error_already_set();
    }

    // copy.copy(obj), made here when copy.copy would only allocate the
    // instance and copy its __dict__.
    ref copy_of(py::handle obj) {
        // The class as it is now: code run since the object was read may have changed it.
        if (item_class(Py_TYPE(obj.ptr())).default_copy && copy_untouched(Py_TYPE(obj.ptr()))) {
            ref state = steal_result(PyObject_GenericGetDict(obj.ptr(), nullptr));
            if (!peek(state.ptr(), XNAME("__reduce_ex__")) && !peek(state.ptr(), XNAME("__reduce__")) &&
                !peek(state.ptr(), XNAME("__getstate__")))
                return default_copy(obj.ptr(), state.ptr());
        }
        ref made = call(xcore::getattr(G.get(XNAME("copy")), XNAME("copy")), obj);
        foreign();
        return made;
    }

    bool copy_untouched(PyTypeObject* t) {
        if (copy_epoch_ != epoch_) {
            copy_epoch_ = epoch_;
            copy_checked_type_ = nullptr;
            PyObject* module = G.peek(XNAME("copy"));
            copy_ok_ = module == O.copy_module;
            if (copy_ok_) {
                PyObject* d = PyModule_GetDict(module);
                copy_ok_ = peek(d, XNAME("copy")) == O.copy_function &&
                           peek(d, XNAME("_reconstruct")) == O.copy_reconstruct &&
                           peek(PyModule_GetDict(O.copyreg_module), XNAME("__newobj__")) == O.copyreg_newobj;
            }
        }
        if (!copy_ok_)
            return false;
        if (t == copy_checked_type_)
            return true;
        PyObject* d = PyModule_GetDict(O.copy_module);
        PyObject* dispatch = peek(d, XNAME("_copy_dispatch"));
        PyObject* table = peek(d, XNAME("dispatch_table"));
        if (dispatch == nullptr || table == nullptr || !PyDict_CheckExact(dispatch) || !PyDict_CheckExact(table) ||
            peek(dispatch, (PyObject*)t) != nullptr || peek(table, (PyObject*)t) != nullptr)
            return false;
        copy_checked_type_ = t;
        return true;
    }

    // A class attribute of a module global (RoiData.ROI_ID_KEY, KEY.ROI_ID),
    // kept while no unknown code runs.
    // The handle stays valid until the next lookup through the same cache.
    py::handle class_key(CachedKey& c, py::handle holder_name, py::handle attr) {
        if (c.epoch == epoch_)
            return c.value;
        ref holder = G.get(holder_name);
        c.value = xcore::getattr(holder, attr);
        if (Py_TYPE(holder.ptr()) == &PyType_Type && PyUnicode_CheckExact(c.value.ptr())) {
            c.epoch = epoch_;
        } else {
            c.epoch = UINT64_MAX;
            foreign();
        }
        return c.value;
    }

    // entry.get(RoiData.<key>, ""), as a new reference.
    PyObject* entry_value(py::handle entry, CachedKey& c, py::handle key_name) {
        if (PyDict_CheckExact(entry.ptr())) {
            py::handle key = class_key(c, XNAME("RoiData"), key_name);
            PyObject* v = PyDict_GetItemWithError(entry.ptr(), key.ptr());
            if (v == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            return py::reinterpret_borrow<py::object>(v != nullptr ? py::handle(v) : empty_text()).release().ptr();
        }
        ref get = xcore::getattr(entry, XNAME("get"));
        foreign();
        ref key = ref::borrow(class_key(c, XNAME("RoiData"), key_name));
        ref value = call(get, key, empty_text());
        foreign();
        return value.release().ptr();
    }

    void store(py::handle mapping, py::handle key, py::handle value) {
        if (PyDict_CheckExact(mapping.ptr()) && PyUnicode_CheckExact(key.ptr())) {
            if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0)
                throw py::error_already_set();
            return;
        }
        foreign();
        set_item(mapping, key, value);
    }

    // What _assign_roi_info does.
    void assign(py::handle copy, const std::vector<ref>& entries, bool has_info) {
        const ItemClass cls = item_class(Py_TYPE(copy.ptr()));
        Py_ssize_t n = (Py_ssize_t)entries.size();
        ref ids = steal_result(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(ids.ptr(), i, entry_value(entries[(size_t)i], id_key_, XNAME("ROI_ID_KEY")));
        ref names = steal_result(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(names.ptr(), i, entry_value(entries[(size_t)i], label_key_, XNAME("ROI_LABEL_KEY")));
        if (has_info) {
            ref info = xcore::getattr(copy, XNAME("info"));
            if (!cls.plain_read)
                foreign();
            uint64_t read_at = epoch_;
            store(info, class_key(tag_id_, XNAME("KEY"), XNAME("ROI_ID")), ids);
            // Python reads item_copy.info again; from an instance dict that no
            // code has touched since, it is the same object.
            if (!cls.plain_read || epoch_ != read_at) {
                info = xcore::getattr(copy, XNAME("info"));
                if (!cls.plain_read)
                    foreign();
            }
            store(info, class_key(tag_name_, XNAME("KEY"), XNAME("ROI_NAME")), names);
        } else {
            xcore::setattr(copy, XNAME("roi_id"), ids);
            if (!cls.plain_write)
                foreign();
            xcore::setattr(copy, XNAME("roi_name"), names);
            if (!cls.plain_write)
                foreign();
        }
    }

    py::handle self_;
    ref included_, empty_, fx_, fy_, ax_, ay_;
    bool fast_anchor_ = false, fast_divide_ = false, anchor_float64_ = false, divide_float64_ = false;
    double ax_d_ = 0.0, ay_d_ = 0.0, fx_d_ = 0.0, fy_d_ = 0.0;
    uint64_t epoch_ = 0;
    uint64_t checked_epoch_ = UINT64_MAX;
    std::shared_ptr<Prepared> prepared_;
    uint64_t copy_epoch_ = UINT64_MAX;
    bool copy_ok_ = false;
    PyTypeObject* copy_checked_type_ = nullptr;
    CachedKey id_key_, label_key_, tag_id_, tag_name_;
    std::vector<ref> matched_;  // reused from object to object
    py::list result_;
};

py::object filter_in_roi(Args a) {
    py::handle self = a[0], det_or_trk = a[1], frame_arg = a[2], anchor_pt = a[3];
    return xcore::catch_exception(
        [&]() -> py::object {
            ref frame_sz = ref::borrow(frame_arg);
            if (!xcore::truth(frame_sz))
                frame_sz = xcore::getattr(self, XNAME("frame_sz"));
            if (!xcore::truth(xcore::getattr(self, XNAME("rois"))))
                return ref::borrow(det_or_trk);
            ref fx = item(frame_sz, small_int_object(0));
            ref fy = item(frame_sz, small_int_object(1));
            ref anchor[2];
            unpack(anchor_pt, 2, anchor);
            ref included = xcore::getattr(self, XNAME("_included_rois"));
            ref empty = xcore::getattr(self, XNAME("_empty_polygon"));
            Filter filter(self, std::move(included), std::move(empty), std::move(fx), std::move(fy),
                          std::move(anchor[0]), std::move(anchor[1]));
            return filter.over(det_or_trk);
        },
        [&](py::handle exc) -> py::object {
            call(G.get(XNAME("exception_traceback")), G.get(XNAME("logger")), exc);
            return py::list();
        });
}

// ---- ZoneFilter: helpers --------------------------------------------------------------

py::object is_point_in_polygon(Args a) {
    py::handle point_shapely = a[0], polygon = a[1];
    return call_method(item(polygon, XNAME("shapely_polygon")), XNAME("contains"), point_shapely);
}

py::object is_point_excluded_for_polygon(Args a) {
    py::handle self = a[0], point_shapely = a[1], polygon = a[2];
    ref get = xcore::getattr(xcore::getattr(self, XNAME("_exclusion_intersections")), XNAME("get"));
    ref geometries = call(get, steal_result(PyLong_FromVoidPtr(polygon.ptr())), py::list());
    for (py::handle geometry : geometries) {
        if (xcore::truth(call_method(geometry, XNAME("contains"), point_shapely)))
            return py::bool_(true);
    }
    return py::bool_(false);
}

py::list entry_values(py::handle matched_polygons, py::handle key_name) {
    py::list values;
    for (py::handle entry : matched_polygons) {
        ref get = xcore::getattr(entry, XNAME("get"));
        values.append(call(get, roi_key(key_name), empty_text()));
    }
    return values;
}

py::object assign_roi_info(Args a) {
    py::handle item_copy = a[0], matched_polygons = a[1], has_info_attr = a[2];
    py::list ids = entry_values(matched_polygons, XNAME("ROI_ID_KEY"));
    py::list names = entry_values(matched_polygons, XNAME("ROI_LABEL_KEY"));
    if (xcore::truth(has_info_attr)) {
        ref info = xcore::getattr(item_copy, XNAME("info"));
        set_item(info, xcore::getattr(G.get(XNAME("KEY")), XNAME("ROI_ID")), ids);
        info = xcore::getattr(item_copy, XNAME("info"));
        set_item(info, xcore::getattr(G.get(XNAME("KEY")), XNAME("ROI_NAME")), names);
    } else {
        xcore::setattr(item_copy, XNAME("roi_id"), ids);
        xcore::setattr(item_copy, XNAME("roi_name"), names);
    }
    return py::none();
}

// ---- Module set-up helpers ---------------------------------------------------------------

PyObject* keep(py::handle obj) { return py::reinterpret_borrow<py::object>(obj).release().ptr(); }

// obj.<name>, kept, or null when it is missing (or cannot be read).
PyObject* keep_optional(py::handle obj, const char* name) {
    ref value;
    bool found = xcore::catch_exception([&] { return xcore::getattr_optional(obj, ref::steal(PyUnicode_FromString(name)), &value); },
                                        [](py::handle) { return false; });
    return found ? keep(value) : nullptr;
}

void remember_originals(py::handle copy_module, py::handle np, py::handle zone_filter) {
    O.copy_module = keep(copy_module);
    O.copy_function = keep(copy_module.attr("copy"));
    // Private names of the copy machinery: where one is missing, every copy
    // is made by copy.copy itself.
    O.copy_reconstruct = keep_optional(copy_module, "_reconstruct");
    py::module_ copyreg = py::module_::import("copyreg");
    O.copyreg_module = keep(copyreg);
    O.copyreg_newobj = keep_optional(copyreg, "__newobj__");

    py::module_ shapely = py::module_::import("shapely");
    O.shapely = keep(shapely);
    py::module_ geometry = py::module_::import("shapely.geometry");
    for (const char* name : {"Point", "LineString", "LinearRing", "Polygon", "MultiPoint", "MultiLineString",
                             "MultiPolygon", "GeometryCollection"})
        O.geometries.push_back((PyTypeObject*)keep(geometry.attr(name)));
    O.point = (PyTypeObject*)keep(geometry.attr("Point"));
    O.point_new = keep(type_lookup(O.point, XNAME("__new__")));
    O.polygon = (PyTypeObject*)keep(geometry.attr("Polygon"));
    O.multipolygon = (PyTypeObject*)keep(geometry.attr("MultiPolygon"));
    O.geometry_contains = keep(type_lookup(O.polygon, XNAME("contains")));

    O.ndarray = (PyTypeObject*)keep(np.attr("ndarray"));
    O.float32 = (PyTypeObject*)keep(np.attr("float32"));
    O.float64 = (PyTypeObject*)keep(np.attr("float64"));

    PyTypeObject* cls = (PyTypeObject*)zone_filter.ptr();
    O.in_polygon = keep(type_lookup(cls, XNAME("_is_point_in_polygon")));
    O.excluded = keep(type_lookup(cls, XNAME("_is_point_excluded_for_polygon")));
    O.assign = keep(type_lookup(cls, XNAME("_assign_roi_info")));

    O.object_reduce_ex = keep(type_lookup(&PyBaseObject_Type, XNAME("__reduce_ex__")));
    O.object_reduce = keep(type_lookup(&PyBaseObject_Type, XNAME("__reduce__")));
    PyObject* getstate = type_lookup(&PyBaseObject_Type, XNAME("__getstate__"));
    O.object_getstate = getstate != nullptr ? keep(getstate) : nullptr;
    O.object_new = keep(type_lookup(&PyBaseObject_Type, XNAME("__new__")));
    // The layout of an instance of a class with nothing but a __dict__.
    py::object plain = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)("_Plain", py::tuple(), py::dict());
    PyTypeObject* pt = (PyTypeObject*)plain.ptr();
    O.plain_basicsize = pt->tp_basicsize;
    O.plain_dictoffset = pt->tp_dictoffset;
    O.plain_weaklistoffset = pt->tp_weaklistoffset;
    O.plain_layout_flags = pt->tp_flags & kLayoutFlags;
    O.empty_tuple = keep(py::tuple());
    O.native_copy = O.copy_reconstruct != nullptr && O.copyreg_newobj != nullptr && native_copy_holds(plain, copy_module);
}

}  // namespace

PYBIND11_MODULE(zone_filter, m) {
    G.init(m);
    m.doc() = "v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy";
    ref copy_module = G.import("copy");
    ref np = G.import("numpy", "np");
    G.import_from("shapely.geometry", "Polygon");
    G.import_from("shapely.geometry", "Point");
    G.import_from("xalo_sdk.constants", "KEY");
    G.import_from("xalo_sdk.logging", "exception_traceback");
    ref get_logger = G.import_from("xalo_sdk.logging", "get_logger");
    G.set("logger", call(get_logger, py::str("ZoneFilter")));

    xcore::ClassBuilder(G, "RoiData")
        .attr("POLYGON_INFO", py::str("polygon_roi"))
        .attr("ROI_ID_KEY", py::str("roi_id"))
        .attr("ROI_LABEL_KEY", py::str("label"))
        .attr("INCLUDE_KEY", py::str("include"))
        .attr("POINTS_KEY", py::str("points"))
        .attr("POLYGON_EDGE", py::int_(1))
        .finish();

    using xcore::Function;
    py::object zone_filter =
        xcore::ClassBuilder(G, "ZoneFilter")
            .def(Function("__init__", init)
                     .arg("self")
                     .arg("polygons", nullptr, py::none())
                     .arg("frame_sz", nullptr, py::none())
                     .doc("check the point in polygon area\n"
                          ":param polygons: polygon information in the previous roi node\n"
                          ":param frame_sz: size of the frame"))
            .def(Function("filter_in_roi", filter_in_roi)
                     .arg("self")
                     .arg("det_or_trk")
                     .arg("frame_sz", nullptr, py::none())
                     .arg("anchor_pt", nullptr, py::make_tuple(0.5, 0.5))
                     .doc(":param det_or_trk: this param is detection result or tracking result\n"
                          ":param frame_sz: frame size of the image frame\n"
                          ":param anchor_pt: anchored position of tracking result or detection result\n"
                          ":return:"))
            .def_static(Function("_is_point_in_polygon", is_point_in_polygon)
                            .arg("point_shapely")
                            .arg("polygon")
                            .doc("Whether the region entry's polygon contains the point (its boundary does not)."))
            .def(Function("_is_point_excluded_for_polygon", is_point_excluded_for_polygon)
                     .arg("self")
                     .arg("point_shapely")
                     .arg("polygon")
                     .doc("Whether the point lies in one of the stored overlaps of the region entry with the "
                          "exclude regions."))
            .def_static(Function("_assign_roi_info", assign_roi_info)
                            .arg("item_copy")
                            .arg("matched_polygons")
                            .arg("has_info_attr")
                            .doc("Tag the copy with the ids and labels of the matched region entries: in its info "
                                 "mapping when it has one, else as its roi_id and roi_name attributes."))
            .finish();
    remember_originals(copy_module, np, zone_filter);
}
