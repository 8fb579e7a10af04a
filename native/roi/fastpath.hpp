// When filter_in_roi may stand in natively for what Python code would do:
// the library objects the module was loaded against, how a detection's class
// reads, writes and copies its instances, and whether a filter's helpers and
// region data are still the ones the native route was prepared from.
#pragma once

#include "core/xcore.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace xroi {

namespace py = pybind11;
using xcore::ref;

extern xcore::Globals G;  // the module's globals, defined with the module

// Where instances of a class keep their attributes and weak references: the
// documented size, offsets and flags of its type object, compared only with
// those of a plain class made at import.
struct InstanceLayout {
    Py_ssize_t basicsize = 0;
    Py_ssize_t dictoffset = 0;
    Py_ssize_t weaklistoffset = 0;
    unsigned long flags = 0;  // those of the layout flags this interpreter has

    bool operator==(const InstanceLayout& o) const {
        return basicsize == o.basicsize && dictoffset == o.dictoffset && weaklistoffset == o.weaklistoffset &&
               flags == o.flags;
    }
    bool operator!=(const InstanceLayout& o) const { return !(*this == o); }
};
InstanceLayout layout_of(PyTypeObject* t) noexcept;

// Objects the module was loaded against, kept only to recognise them later.
struct Originals {
    PyObject* copy_module = nullptr;
    PyObject* copy_function = nullptr;
    PyObject* copy_reconstruct = nullptr;  // these two may be missing
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
    InstanceLayout plain_layout;  // of a class with nothing but a __dict__
    PyObject* empty_tuple = nullptr;
    bool slotnames_cached = false;  // copy.copy leaves __slotnames__ = [] in a plain class
    bool native_copy = false;       // default_copy equals copy.copy here
};
extern Originals O;


using xcore::peek;

// cls.<name> as the class's own getattr finds it before calling a
// descriptor: the first class along __mro__ whose dict holds it. Borrowed,
// null when none does; no Python code runs. Public calls only (a walk of
// tp_mro), so every interpreter takes the same road.
inline PyObject* type_lookup(PyTypeObject* t, py::handle name) { return xcore::interp::lookup_by_mro(t, name.ptr()); }

// Fills O at module set-up, after ZoneFilter has been made.
void remember_originals(py::handle copy_module, py::handle np, py::handle zone_filter);

// What one filter_in_roi call may do natively with instances of a class,
// decided from the class's public attributes.
struct ItemClass {
    PyTypeObject* type = nullptr;
    uint64_t epoch = UINT64_MAX;  // the Filter's epoch it was decided at
    bool plain_read = false;      // info and tlwh come from the instance dict
    bool plain_write = false;     // roi_id and roi_name go to the instance dict
    bool default_copy = false;    // copy.copy would make default_copy's copy
};

// The classes of one call's objects (a frame has one or two), each decided
// once and again only after Python code of unknown effect has run (the
// call's epoch moved on): within a call nothing else can change a class.
class ItemClasses {
public:
    const ItemClass& of(PyTypeObject* t, uint64_t epoch);

private:
    ItemClass seen_[4];
    unsigned next_ = 0;
    uint64_t copy_epoch_ = UINT64_MAX;
    bool copy_untouched_ = false;  // copy.copy and its reducers as loaded
};

// The shallow copy copy.copy makes of an instance of a class that copies by
// default, from the instance's __dict__ (state).
ref default_copy(PyObject* item, PyObject* state);

struct Prepared;

// The prepared regions of the filter `self` for its `_included_rois` list
// `included`, when its helpers, its region data and the Shapely Point are
// what the native route stands in for; null otherwise.
std::shared_ptr<Prepared> native_regions(py::handle self, PyObject* included);

}  // namespace xroi
