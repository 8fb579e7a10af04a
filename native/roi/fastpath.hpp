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
    xcore::interp::InstanceLayout plain_layout;  // of a class with nothing but a __dict__
    PyObject* empty_tuple = nullptr;
    bool native_copy = false;  // default_copy equals copy.copy here
};
extern Originals O;


using xcore::peek;

inline PyObject* type_lookup(PyTypeObject* t, py::handle name) { return xcore::interp::type_lookup(t, name.ptr()); }

// Fills O at module set-up, after ZoneFilter has been made.
void remember_originals(py::handle copy_module, py::handle np, py::handle zone_filter);

struct ItemClass {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    bool plain_read = false;   // info and tlwh come from the instance dict
    bool plain_write = false;  // roi_id and roi_name go to the instance dict
    bool default_copy = false;
};

// What the interpreter does with instances of the class, cached per class
// version.
const ItemClass& item_class(PyTypeObject* t);

// The shallow copy copy.copy makes of an instance of a class that copies by
// default, from the instance's __dict__ (state).
ref default_copy(PyObject* item, PyObject* state);

// Whether copy.copy is still the function it was, with nothing registered
// for the class; rechecked whenever `epoch` has moved on.
class CopyCheck {
public:
    bool untouched(PyTypeObject* t, uint64_t epoch);

private:
    uint64_t epoch_ = UINT64_MAX;
    bool ok_ = false;
    PyTypeObject* checked_type_ = nullptr;
};

struct Prepared;

// The prepared regions of the filter `self` for its `_included_rois` list
// `included`, when its helpers, its region data and the Shapely Point are
// what the native route stands in for; null otherwise.
std::shared_ptr<Prepared> native_regions(py::handle self, PyObject* included);

}  // namespace xroi
