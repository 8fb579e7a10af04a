#include "roi/regions.hpp"

#include "roi/fastpath.hpp"

#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace xroi {

using xcore::call_method;
using xgeom::Area;
using xgeom::Part;
using xgeom::Ring;

namespace {

// The ring's coordinates as Shapely holds them (float64). False when one is
// outside the range the exact predicates cover.
bool read_ring(py::handle shapely, py::handle ring_geometry, Ring& ring) {
    ref coords = call_method(shapely, XNAME("get_coordinates"), ring_geometry);
    xcore::BufferView buf(coords, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = buf.view();
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

// The envelope GEOS keeps for the geometry (all NaN, covering nothing, when empty).
void read_envelope(PyObject* geometry, Shape& shape) {
    xcore::catch_exception(
        [&] {
            ref bounds = call_method(O.shapely, XNAME("bounds"), geometry);
            xcore::BufferView buf(bounds, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
            const Py_buffer& v = buf.view();
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
            return xcore::for_each(parts, [&](py::handle part) {
                return Py_TYPE(part.ptr()) == O.polygon && read_polygon(shapely, part, shape.area);
            });
        },
        [](py::handle) { return false; });
    return true;
}

}  // namespace

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
        if (type_lookup(t, XNAME("contains")) != O.geometry_contains)
            return false;
    return true;
}

namespace {

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

// Drops a filter's prepared data when the filter goes; made in module init.
PyObject* forget_callback = nullptr;

}  // namespace

void init_prepared_table() {
    forget_callback = PyCFunction_New(&forget_filter_def, nullptr);
    if (forget_callback == nullptr)
        throw py::error_already_set();
}

void store_prepared(py::handle self, std::unique_ptr<Prepared> prepared) {
    auto& table = slots();
    auto it = table.find(self.ptr());
    if (it != table.end()) {
        it->second.prepared = std::move(prepared);
        return;
    }
    PyObject* weak = PyWeakref_NewRef(self.ptr(), forget_callback);
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

}  // namespace xroi
