// The prepared regions of a ZoneFilter as the geometry kernel takes them:
// the polygons and multipolygons of its include entries and stored overlaps,
// read out of their Shapely geometries, kept beside the filter.
#pragma once

#include "core/xcore.hpp"
#include "roi/geometry.hpp"

#include <memory>
#include <vector>

namespace xroi {

namespace py = pybind11;
using xcore::ref;

// One geometry a point is tested against: natively when it is a polygon or
// multipolygon with usable coordinates, else by its own `contains`. A point
// outside the geometry's envelope is refused first either way, as GEOS does.
struct Shape {
    ref geometry;
    bool native = false;
    xgeom::Area area;
    double minx = -INFINITY, miny = -INFINITY, maxx = INFINITY, maxy = INFINITY;

    bool envelope_covers(double x, double y) const { return x >= minx && x <= maxx && y >= miny && y <= maxy; }
};

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
std::unique_ptr<Prepared> prepare(PyObject* included, PyObject* exclusions);

// Whether the prepared data is still what the helpers would read.
bool still_matches(const Prepared& prep, PyObject* included, PyObject* exclusions);

// Prepared data lives beside each ZoneFilter, not in it, so the instance's
// attributes stay exactly the documented ones (and copies and pickles of a
// filter keep working); a weak reference drops it with its filter.
// Called once from module init, before any filter is prepared.
void init_prepared_table();
void store_prepared(py::handle self, std::unique_ptr<Prepared> prepared);
std::shared_ptr<Prepared> find_prepared(py::handle self);

}  // namespace xroi
