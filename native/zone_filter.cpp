// xalo_sdk.roi.zone_filter: polygon regions of interest, prepared once, and the
// per-frame filter that keeps and tags the detections or tracks inside them.
//
// filter_in_roi runs for every object of every frame on a small ARM board, so
// besides the plain route (Shapely points and `contains` calls through the
// helper methods) it has a native one: the vertex rings of the prepared
// regions are read out of their Shapely geometries once and anchor points are
// located in them by the geometry kernel (roi/geometry.hpp), which decides
// every boundary case as GEOS does. The native route is taken only while it
// cannot be told apart from the plain one (roi/fastpath.hpp): the helpers are
// not overridden, the region data (roi/regions.hpp) still is the data the
// helpers would read, and the library objects involved are still the ones
// loaded.
#include "core/xcore.hpp"
#include "roi/fastpath.hpp"
#include "roi/geometry.hpp"
#include "roi/regions.hpp"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace py = pybind11;
using xcore::call;
using xcore::call_method;
using xcore::ref;
using xgeom::Location;
using xgeom::usable;

namespace xroi {
xcore::Globals G;
}  // namespace xroi

namespace {

using namespace xroi;

// Sequences whose iteration is the interpreter's or NumPy's own code.
bool library_sequence(PyObject* v) {
    return PyTuple_CheckExact(v) || PyList_CheckExact(v) || Py_TYPE(v) == O.ndarray;
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
    xcore::BufferView buf(b, PyBUF_STRIDES | PyBUF_FORMAT, false);
    if (!buf.ok())
        return false;
    const Py_buffer& view = buf.view();
    bool ok = view.ndim == 1 && view.shape[0] == 4 && view.itemsize == 8 && view.format != nullptr &&
              std::strcmp(view.format, "d") == 0;
    for (int i = 0; ok && i < 4; ++i)
        std::memcpy(&out[i], static_cast<const char*>(view.buf) + i * view.strides[0], sizeof(double));
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

// Made in module init.
struct {
    xcore::Constant zero, one, one_float;
} C;

PyObject* small_int_object(long v) {
    return (v == 0 ? C.zero : C.one).ptr();
}

bool greater_than_one(py::handle value) { return xcore::compare(value, C.one_float, Py_GT); }

// The next item of an iterator, or an empty ref at its end.
ref next_item(py::handle it) {
    PyObject* next = PyIter_Next(it.ptr());
    if (next == nullptr && PyErr_Occurred())
        throw py::error_already_set();
    return next == nullptr ? ref() : ref::steal(next);
}

py::handle empty_text() { return XNAME(""); }

// ---- Region check ---------------------------------------------------------------------

ref roi_key(py::handle name) { return xcore::getattr(G.get(XNAME("RoiData")), name); }

// entry[key], or an empty ref when the dict has no such key.
ref value_of(py::handle entry, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(entry.ptr(), key.ptr());
    if (v == nullptr && PyErr_Occurred())
        throw py::error_already_set();
    return v != nullptr ? ref::borrow(v) : ref();
}

// Raises ValueError("region entry <index> (roi_id=..., label=...): <what>").
[[noreturn]] void bad_entry(Py_ssize_t index, py::handle entry, const char* what, ...) {
    va_list args;
    va_start(args, what);
    PyObject* made = PyUnicode_FromFormatV(what, args);
    va_end(args);
    ref detail = steal_result(made);
    ref name = steal_result(PyUnicode_FromFormat("region entry %zd", index));
    if (PyDict_Check(entry.ptr())) {
        const char* open = " (";
        for (py::handle key_name : {XNAME("ROI_ID_KEY"), XNAME("ROI_LABEL_KEY")}) {
            ref key = roi_key(key_name);
            if (ref v = value_of(entry, key)) {
                name = steal_result(PyUnicode_FromFormat("%U%s%S=%R", name.ptr(), open, key.ptr(), v.ptr()));
                open = ", ";
            }
        }
        if (*open == ',')
            name = steal_result(PyUnicode_FromFormat("%U)", name.ptr()));
    }
    PyErr_SetObject(PyExc_ValueError, steal_result(PyUnicode_FromFormat("%U: %U", name.ptr(), detail.ptr())).ptr());
    throw py::error_already_set();
}

// One coordinate as a double, or false when it is not a real number.
bool coordinate(py::handle value, double& out) {
    out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

ref shapely_validation() { return ref::steal(PyImport_ImportModule("shapely.validation")); }

// A polygon whose edges cross or touch (a bow-tie) has no inside that the
// filter can rely on, and GEOS refuses to overlap it with an exclude region.
// The vertices are taken as the constructor takes them (float32); those that
// are not finite so are left to the constructor, which refuses them before
// GEOS sees them.
void check_valid_polygon(Py_ssize_t index, py::handle entry, py::handle points_key, py::handle points) {
    ref np = G.get(XNAME("np"));
    ref vertices = xcore::vcall(xcore::getattr(np, XNAME("array")), {points, xcore::getattr(np, XNAME("float32"))},
                                XKW("dtype"));
    if (!xcore::truth(call_method(call_method(np, XNAME("isfinite"), vertices), XNAME("all"))))
        return;
    ref polygon = call(G.get(XNAME("Polygon")), vertices);
    if (xcore::truth(xcore::getattr(polygon, XNAME("is_valid"))))
        return;
    ref why = call(xcore::getattr(shapely_validation(), XNAME("explain_validity")), polygon);
    bad_entry(index, entry, "%R is not a valid polygon (%U): its edges must not cross or touch each other",
              points_key.ptr(), why.ptr());
}

// A region entry as construction needs it: a dict with an include flag and a
// vertex list that is either empty (the whole frame) or a polygon of at least
// three (x, y) pairs, fractions of the frame when the frame size is known.
// Returns the number of vertices.
Py_ssize_t check_entry(Py_ssize_t index, py::handle entry, bool fractions) {
    if (!PyDict_Check(entry.ptr()))
        bad_entry(index, entry, "not a dict but %.200s", Py_TYPE(entry.ptr())->tp_name);
    ref include_key = roi_key(XNAME("INCLUDE_KEY"));
    ref include = value_of(entry, include_key);
    if (!include)
        bad_entry(index, entry, "%R is missing", include_key.ptr());
    if (!PyBool_Check(include.ptr()))
        bad_entry(index, entry, "%R must be True or False, not %.200s", include_key.ptr(),
                  Py_TYPE(include.ptr())->tp_name);
    ref points_key = roi_key(XNAME("POINTS_KEY"));
    ref points = value_of(entry, points_key);
    if (!points)
        bad_entry(index, entry, "%R is missing", points_key.ptr());
    PyObject* listed = PySequence_Fast(points.ptr(), "");
    if (listed == nullptr) {
        PyErr_Clear();
        bad_entry(index, entry, "%R is not a list of points but %.200s", points_key.ptr(),
                  Py_TYPE(points.ptr())->tp_name);
    }
    ref vertices = ref::steal(listed);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(listed);
    if (n == 0)
        return 0;
    if (n < 3)
        bad_entry(index, entry, "%R has %zd point%s; a region needs at least 3 (or none, for the whole frame)",
                  points_key.ptr(), n, n == 1 ? "" : "s");
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle point = PySequence_Fast_GET_ITEM(listed, i);
        PyObject* pair = PySequence_Fast(point.ptr(), "");
        if (pair == nullptr)
            PyErr_Clear();
        ref held = pair != nullptr ? ref::steal(pair) : ref();
        double x = 0.0, y = 0.0;
        if (pair == nullptr || PySequence_Fast_GET_SIZE(pair) != 2 ||
            !coordinate(PySequence_Fast_GET_ITEM(pair, 0), x) || !coordinate(PySequence_Fast_GET_ITEM(pair, 1), y) ||
            !std::isfinite(x) || !std::isfinite(y))
            bad_entry(index, entry, "point %zd is not two finite numbers: %R", i, point.ptr());
        if (fractions && !(x >= 0.0 && x <= 1.0 && y >= 0.0 && y <= 1.0))
            bad_entry(index, entry,
                      "point %zd %R lies outside the frame (with a frame size, points are fractions 0 to 1)", i,
                      point.ptr());
    }
    check_valid_polygon(index, entry, points_key, points);
    return n;
}

// What a board can afford: filtering costs about 15 ns per region for every
// object of every frame on a desktop core (several times that on a board),
// and construction about 2 us and 60 bytes per vertex (see the README).
constexpr Py_ssize_t kMaxAffordableRegions = 1000;
constexpr Py_ssize_t kMaxAffordableVertices = 100000;

void check_region_list(py::handle polygons, py::handle frame_sz) {
    if (!xcore::truth(polygons))
        return;
    bool fractions = xcore::truth(frame_sz);
    Py_ssize_t index = 0, vertices = 0;
    xcore::for_each(polygons, [&](py::handle entry) { vertices += check_entry(index++, entry, fractions); });
    if (index > kMaxAffordableRegions || vertices > kMaxAffordableVertices)
        call_method(G.get(XNAME("logger")), XNAME("warning"),
                    steal_result(PyUnicode_FromFormat(
                        "region list of %zd regions and %zd vertices: more than a board affords (%zd regions, %zd "
                        "vertices); filtering costs grow with the regions, construction with the vertices",
                        index, vertices, kMaxAffordableRegions, kMaxAffordableVertices)));
}

XALO_FUNCTION(check_regions, polygons, frame_sz) {
    check_region_list(a[p::polygons], a[p::frame_sz]);
    return py::none();
}

// ---- ZoneFilter: construction --------------------------------------------------------

using xcore::set_item;

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

// The overlap of an include and an exclude polygon. GEOS cannot overlap a
// polygon whose edges cross (a bow-tie); then both are taken in their valid
// form (the same area, split where the edges cross), so that such a region
// filters as its points are tested rather than stopping the module.
ref overlap_of(py::handle included, py::handle excluded) {
    try {
        return call(xcore::getattr(included, XNAME("intersection")), excluded);
    } catch (py::error_already_set&) {
        if (xcore::truth(xcore::getattr(included, XNAME("is_valid"))) &&
            xcore::truth(xcore::getattr(excluded, XNAME("is_valid"))))
            throw;
    }
    ref make_valid = xcore::getattr(shapely_validation(), XNAME("make_valid"));
    return call(xcore::getattr(call(make_valid, included), XNAME("intersection")), call(make_valid, excluded));
}

XALO_FUNCTION(init, self, polygons, frame_sz) {
    py::handle self = a[p::self], polygons = a[p::polygons], frame_sz = a[p::frame_sz];
    if (G.strict())
        check_region_list(polygons, frame_sz);
    xcore::setattr(self, XNAME("polygons"), Py_None);
    if (xcore::truth(polygons))
        xcore::setattr(self, XNAME("polygons"), call_method(G.get(XNAME("copy")), XNAME("deepcopy"), polygons));
    xcore::setattr(self, XNAME("rois"), polygons);
    if (xcore::truth(frame_sz)) {
        ref w = steal_result(PyNumber_Float(xcore::get_item(frame_sz, small_int_object(0)).ptr()));
        ref h = steal_result(PyNumber_Float(xcore::get_item(frame_sz, small_int_object(1)).ptr()));
        ref size = xcore::new_list();
        xcore::append(size, w);
        xcore::append(size, h);
        xcore::setattr(self, XNAME("frame_sz"), size);
    } else {
        xcore::setattr(self, XNAME("frame_sz"), steal_result(Py_BuildValue("[dd]", 1.0, 1.0)));
    }
    xcore::setattr(self, XNAME("_included_rois"), xcore::new_list());
    xcore::setattr(self, XNAME("_empty_polygon"), Py_None);
    xcore::setattr(self, XNAME("_exclusion_intersections"), ref::steal(PyDict_New()));
    if (!xcore::truth(xcore::getattr(self, XNAME("rois"))))
        return py::none();

    // Vertex arrays as float32 and their polygons, in place in the caller's entries.
    Py_ssize_t index = 0;
    xcore::for_each(xcore::getattr(self, XNAME("rois")), [&](py::handle roi) {
        ref np = G.get(XNAME("np"));
        ref array = xcore::getattr(np, XNAME("array"));
        ref points = xcore::get_item(roi, roi_key(XNAME("POINTS_KEY")));
        ref vertices = xcore::vcall(array, {points, xcore::getattr(G.get(XNAME("np")), XNAME("float32"))},
                                    XKW("dtype"));
        // Some GEOS builds (the boards') abort the process on an overlap of
        // polygons with infinite or NaN vertices: refuse them here instead.
        if (!xcore::truth(call_method(call_method(np, XNAME("isfinite"), vertices), XNAME("all")))) {
            PyErr_Format(PyExc_ValueError, "region entry %zd has a vertex that is not finite as a 32-bit float", index);
            throw py::error_already_set();
        }
        ++index;
        set_item(roi, roi_key(XNAME("POINTS_KEY")), vertices);
        ref polygon_class = G.get(XNAME("Polygon"));
        ref polygon = call(polygon_class, xcore::get_item(roi, roi_key(XNAME("POINTS_KEY"))));
        set_item(roi, XNAME("shapely_polygon"), polygon);
    });
    ref excluded = xcore::new_list();
    xcore::for_each(xcore::getattr(self, XNAME("rois")), [&](py::handle roi) {
        if (!xcore::truth(xcore::get_item(roi, roi_key(XNAME("INCLUDE_KEY")))))
            xcore::append(excluded, roi);
    });
    // Every include-exclude overlap is computed here, once, so that filtering
    // only ever tests points.
    xcore::for_each(xcore::getattr(self, XNAME("rois")), [&](py::handle roi) {
        Py_ssize_t count = PyObject_Length(xcore::get_item(roi, roi_key(XNAME("POINTS_KEY"))).ptr());
        if (count < 0)
            throw py::error_already_set();
        if (count == 0) {
            xcore::setattr(self, XNAME("_empty_polygon"), roi);
            return;
        }
        if (!xcore::truth(xcore::get_item(roi, roi_key(XNAME("INCLUDE_KEY")))))
            return;
        call_method(xcore::getattr(self, XNAME("_included_rois")), XNAME("append"), roi);
        ref overlaps = xcore::new_list();
        xcore::for_each(excluded, [&](py::handle ex) {
            ref overlap = overlap_of(xcore::get_item(roi, XNAME("shapely_polygon")),
                                     xcore::get_item(ex, XNAME("shapely_polygon")));
            if (!xcore::truth(xcore::getattr(overlap, XNAME("is_empty"))))
                xcore::append(overlaps, overlap);
        });
        ref table = xcore::getattr(self, XNAME("_exclusion_intersections"));
        set_item(table, steal_result(PyLong_FromVoidPtr(roi.ptr())), overlaps);
    });
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
// a custom mapping, a __copy__, ...) may have run: every such step goes
// through python(), which counts them in `epoch_`. Library code recognised as
// the very code loaded (Shapely's Point and contains, NumPy's buffers) does
// not count.
class Filter {
    // Runs a step that may run Python code of unknown effect (when `may`),
    // and marks every cached lookup stale once it is done: the one place
    // where the caches learn that they may be out of date.
    template <typename Step>
    decltype(auto) python(Step&& step, bool may = true) {
        struct Stale {
            uint64_t& epoch;
            bool may;
            ~Stale() { epoch += may; }
        } stale{epoch_, may};
        return step();
    }

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

    // The call's one decision: a list or tuple of objects goes the native
    // road (below) while that can take them, and the rest of it the general
    // road, object by object; any other iterable goes the general road.
    ref over(py::handle det_or_trk) {
        PyObject* d = det_or_trk.ptr();
        if (PyList_CheckExact(d) || PyTuple_CheckExact(d)) {
            bool native = ready() && (empty_.is_none() || PyDict_CheckExact(empty_.ptr()));
            for (Py_ssize_t i = native ? native_road(d) : 0; i < PySequence_Fast_GET_SIZE(d); ++i) {
                pace();
                process(ref::borrow(PySequence_Fast_GET_ITEM(d, i)));
            }
            return std::move(result_);
        }
        ref it = steal_result(PyObject_GetIter(d));
        while (ref obj = python([&] { return next_item(it); })) {
            pace();
            process(obj);
        }
        return std::move(result_);
    }

private:
    using Clock = std::chrono::steady_clock;

    // Runs between two objects. The native route runs no bytecode, so on a
    // long frame the interpreter would neither see a pending signal nor hand
    // the GIL to a thread that asked for it. Every few objects the clock is
    // read: each millisecond the pending signals are handled (a
    // KeyboardInterrupt then ends the call between two objects, none of them
    // half tagged), and every second switch interval the GIL is released
    // once. A thread that has waited a whole interval has asked for the GIL
    // by then, and the release hands it over; releasing more often would
    // restart that wait each time and starve it. An ordinary frame pays a
    // counter per object and a clock read per 64 objects.
    void pace() {
        if ((++paced_ & 63) == 0)
            pace_by_clock();
    }

    [[gnu::noinline]] void pace_by_clock() {
        Clock::time_point now = Clock::now();
        if (paced_ == 64) {
            signals_at_ = handover_at_ = now;
            return;
        }
        if (now - signals_at_ < std::chrono::milliseconds(1))
            return;
        bool handover = false;
        // Signal handlers, other threads and (from Python 3.13 on) a garbage
        // collection may run any code here.
        python([&] {
            if (handover_every_ == Clock::duration::zero())
                handover_every_ = 2 * switch_interval();
            handover = now - handover_at_ >= handover_every_;
            if (handover) {
                PyThreadState* state = PyEval_SaveThread();
                PyEval_RestoreThread(state);
            }
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
        });
        signals_at_ = Clock::now();
        if (handover)
            handover_at_ = signals_at_;
    }

    // sys.getswitchinterval(), 5 ms when it cannot be read.
    static Clock::duration switch_interval() {
        double seconds = 0.005;
        PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
        if (get != nullptr) {
            PyObject* value = PyObject_CallNoArgs(get);
            if (value != nullptr) {
                ref owned = ref::steal(value);
                double read = PyFloat_AsDouble(value);
                if (read > 0.0 && read < 1.0)
                    seconds = read;
            }
        }
        PyErr_Clear();
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }


    // The native road runs no Python code: objects of classes that read,
    // write and copy by default (decided once per class), boxes whose anchor
    // is plain double arithmetic, located in the prepared regions, and a
    // whole-frame entry (if any) that is a dict. It stops
    // at the first object it cannot take, before anything is done to that
    // object, and returns its index: from there the general road goes on.
    Py_ssize_t native_road(PyObject* seq) {
        Py_ssize_t i = 0;
        for (; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            pace();
            if (checked_epoch_ != epoch_ && !ready())  // pace() ran Python code
                break;
            PyObject* obj = PySequence_Fast_GET_ITEM(seq, i);
            const ItemClass& cls = classes_.of(Py_TYPE(obj), epoch_);
            if (!cls.plain_read || !cls.plain_write || !cls.default_copy)
                break;
            ref state = steal_result(PyObject_GenericGetDict(obj, nullptr));
            PyObject* info = peek(state.ptr(), XNAME("info"));
            PyObject* box = peek(state.ptr(), XNAME("tlwh"));
            if (box == nullptr || (info != nullptr && !PyDict_CheckExact(info)) || !copies_state(state.ptr()))
                break;
            if (info != nullptr) {
                PyObject* rect = PyDict_GetItemWithError(info, XNAME("rect").ptr());
                if (rect == nullptr && PyErr_Occurred()) {  // the general road raises it again
                    PyErr_Clear();
                    break;
                }
                box = rect != nullptr ? rect : box;
            }
            Anchor anchor;
            if (!native_anchor(box, anchor) || !usable(anchor.x) || !usable(anchor.y))
                break;
            matched_.clear();
            locate(anchor, matched_);
            if (matched_.empty()) {
                if (empty_.is_none() || PyDict_GET_SIZE(empty_.ptr()) == 0)
                    continue;
                matched_.assign(1, empty_);  // the whole-frame entry
            }
            ref copy = default_copy(obj, state.ptr());
            assign(copy, matched_, info != nullptr);
            xcore::append(result_, copy);
        }
        return i;
    }

    // The general road: each step that may run Python code of unknown
    // effect goes through python(), and what was decided is decided again.
    void process(py::handle obj) {
        const ItemClass cls = classes_.of(Py_TYPE(obj.ptr()), epoch_);
        bool custom = !cls.plain_read;
        ref info;
        bool has_info = python([&] { return xcore::getattr_optional(obj, XNAME("info"), &info); }, custom);
        if (has_info && custom)  // read again after hasattr, as Python does
            info = python([&] { return xcore::getattr(obj, XNAME("info")); });
        ref box;
        if (!has_info) {
            box = python([&] { return xcore::getattr(obj, XNAME("tlwh")); }, custom);
        } else if (PyDict_CheckExact(info.ptr())) {
            ref tlwh = python([&] { return xcore::getattr(obj, XNAME("tlwh")); }, custom);
            PyObject* rect = PyDict_GetItemWithError(info.ptr(), XNAME("rect").ptr());
            if (rect == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            box = rect != nullptr ? ref::borrow(rect) : std::move(tlwh);
        } else {
            ref get = python([&] { return xcore::getattr(info, XNAME("get")); });
            ref tlwh = python([&] { return xcore::getattr(obj, XNAME("tlwh")); }, custom);
            box = python([&] { return call(get, XNAME("rect"), tlwh); });
        }
        Anchor anchor;
        PyObject* b = box.ptr();
        if (!native_anchor(b, anchor)) {
            ref v[4];
            python([&] { xcore::unpack(box, 4, v); }, !library_sequence(b));
            compute_anchor(v, anchor);
        }
        matched_.clear();
        match(anchor, matched_);
        tag(obj, has_info, matched_);
    }

    // The anchor of a box of four numbers in a list, tuple or float64 array,
    // when that is plain double arithmetic.
    bool native_anchor(PyObject* b, Anchor& a) {
        if (!fast_anchor_)
            return false;
        if ((PyList_CheckExact(b) || PyTuple_CheckExact(b)) && PySequence_Fast_GET_SIZE(b) == 4)
            return double_anchor(PySequence_Fast_ITEMS(b), a);
        double v[4];
        return float64_box(b, v) && anchor_from(v[0], v[1], v[2], v[3], true, a);
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
        ref rx, ry;
        bool pixels = python(
            [&] {
                rx = steal_result(PyNumber_Add(v[0].ptr(), steal_result(PyNumber_Multiply(v[2].ptr(), ax_.ptr())).ptr()));
                ry = steal_result(PyNumber_Add(v[1].ptr(), steal_result(PyNumber_Multiply(v[3].ptr(), ay_.ptr())).ptr()));
                return greater_than_one(v[2]) && greater_than_one(v[3]);
            },
            !library);
        if (pixels) {
            python(
                [&] {
                    rx = steal_result(PyNumber_TrueDivide(rx.ptr(), fx_.ptr()));
                    ry = steal_result(PyNumber_TrueDivide(ry.ptr(), fy_.ptr()));
                },
                !library || !library_number(fx_.ptr()) || !library_number(fy_.ptr()));
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
            prepared_ = xroi::native_regions(self_, included_.ptr());
            checked_epoch_ = epoch_;
        }
        return prepared_ != nullptr;
    }

    void match(Anchor& a, std::vector<ref>& matched) {
        if (a.exact && usable(a.x) && usable(a.y) && ready()) {
            locate(a, matched);
            return;
        }
        // The plain way: a Shapely point and the helpers as attributes of the instance.
        ref pt = point(a);
        ref it = steal_result(PyObject_GetIter(included_.ptr()));
        while (ref entry = python([&] { return next_item(it); })) {
            if (!python([&] { return xcore::truth(xcore::vcall_method(self_, XNAME("_is_point_in_polygon"), {pt, entry})); }))
                continue;
            if (!python([&] {
                    return xcore::truth(xcore::vcall_method(self_, XNAME("_is_point_excluded_for_polygon"), {pt, entry}));
                }))
                matched.push_back(std::move(entry));
        }
    }

    // The include entries whose region holds the anchor and none of whose
    // stored overlaps does, from the prepared regions.
    void locate(Anchor& a, std::vector<ref>& matched) {
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
        if (!empty_.is_none())
            whole_frame = python([&] { return xcore::truth(empty_); }, !PyDict_CheckExact(empty_.ptr())) && matched.empty();
        if (whole_frame)
            matched.assign(1, empty_);
        else if (matched.empty())
            return;
        ref copy = copy_of(obj);
        if (ready()) {
            assign(copy, matched, has_info);
        } else {
            ref entries = xcore::new_list();
            for (const ref& e : matched)
                xcore::append(entries, e);
            python([&] {
                xcore::vcall_method(self_, XNAME("_assign_roi_info"), {copy, entries, has_info ? Py_True : Py_False});
            });
        }
        if (PyList_Append(result_.ptr(), copy.ptr()) != 0)
            throw py::error_already_set();
    }

    // Whether an instance with this __dict__ copies by default: copy.copy
    // reads these hooks from the instance.
    static bool copies_state(PyObject* state) {
        return !peek(state, XNAME("__reduce_ex__")) && !peek(state, XNAME("__reduce__")) &&
               !peek(state, XNAME("__getstate__"));
    }

    // copy.copy(obj), made here when copy.copy would only allocate the
    // instance and copy its __dict__.
    ref copy_of(py::handle obj) {
        // The class as it is now: code run since the object was read may have changed it.
        if (classes_.of(Py_TYPE(obj.ptr()), epoch_).default_copy) {
            ref state = steal_result(PyObject_GenericGetDict(obj.ptr(), nullptr));
            if (copies_state(state.ptr()))
                return default_copy(obj.ptr(), state.ptr());
        }
        return python([&] { return call(xcore::getattr(G.get(XNAME("copy")), XNAME("copy")), obj); });
    }

    // A class attribute of a module global (RoiData.ROI_ID_KEY, KEY.ROI_ID),
    // kept while no unknown code runs. A text held by a plain class is read
    // without running Python, and hashes and compares without either; any
    // other value is read again at each use.
    // The handle stays valid until the next lookup through the same cache.
    py::handle class_key(CachedKey& c, py::handle holder_name, py::handle attr) {
        if (c.epoch == epoch_)
            return c.value;
        ref holder = G.get(holder_name);
        PyObject* raw =
            Py_TYPE(holder.ptr()) == &PyType_Type ? type_lookup((PyTypeObject*)holder.ptr(), attr) : nullptr;
        bool plain = raw != nullptr && PyUnicode_CheckExact(raw);
        c.value = python([&] { return xcore::getattr(holder, attr); }, !plain);
        c.epoch = plain ? epoch_ : UINT64_MAX;
        return c.value;
    }

    // entry.get(RoiData.<key>, ""), as a new reference.
    PyObject* entry_value(py::handle entry, CachedKey& c, py::handle key_name) {
        if (PyDict_CheckExact(entry.ptr())) {
            py::handle key = class_key(c, XNAME("RoiData"), key_name);
            PyObject* v = python([&] { return PyDict_GetItemWithError(entry.ptr(), key.ptr()); },
                                 !PyUnicode_CheckExact(key.ptr()));
            if (v == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            return ref::borrow(v != nullptr ? py::handle(v) : empty_text()).release().ptr();
        }
        ref get = python([&] { return xcore::getattr(entry, XNAME("get")); });
        ref key = ref::borrow(class_key(c, XNAME("RoiData"), key_name));
        return python([&] { return call(get, key, empty_text()); }).release().ptr();
    }

    void store(py::handle mapping, py::handle key, py::handle value) {
        if (PyDict_CheckExact(mapping.ptr()) && PyUnicode_CheckExact(key.ptr())) {
            if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0)
                throw py::error_already_set();
            return;
        }
        python([&] { set_item(mapping, key, value); });
    }

    // What _assign_roi_info does.
    void assign(py::handle copy, const std::vector<ref>& entries, bool has_info) {
        const ItemClass cls = classes_.of(Py_TYPE(copy.ptr()), epoch_);
        Py_ssize_t n = (Py_ssize_t)entries.size();
        ref ids = steal_result(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(ids.ptr(), i, entry_value(entries[(size_t)i], id_key_, XNAME("ROI_ID_KEY")));
        ref names = steal_result(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(names.ptr(), i, entry_value(entries[(size_t)i], label_key_, XNAME("ROI_LABEL_KEY")));
        if (has_info) {
            ref info = python([&] { return xcore::getattr(copy, XNAME("info")); }, !cls.plain_read);
            uint64_t read_at = epoch_;
            store(info, class_key(tag_id_, XNAME("KEY"), XNAME("ROI_ID")), ids);
            // Python reads item_copy.info again; from an instance dict that no
            // code has touched since, it is the same object.
            if (!cls.plain_read || epoch_ != read_at)
                info = python([&] { return xcore::getattr(copy, XNAME("info")); }, !cls.plain_read);
            store(info, class_key(tag_name_, XNAME("KEY"), XNAME("ROI_NAME")), names);
        } else {
            python([&] { xcore::setattr(copy, XNAME("roi_id"), ids); }, !cls.plain_write);
            python([&] { xcore::setattr(copy, XNAME("roi_name"), names); }, !cls.plain_write);
        }
    }

    py::handle self_;
    ref included_, empty_, fx_, fy_, ax_, ay_;
    bool fast_anchor_ = false, fast_divide_ = false, anchor_float64_ = false, divide_float64_ = false;
    double ax_d_ = 0.0, ay_d_ = 0.0, fx_d_ = 0.0, fy_d_ = 0.0;
    uint64_t epoch_ = 0;
    uint64_t checked_epoch_ = UINT64_MAX;
    std::shared_ptr<Prepared> prepared_;
    xroi::ItemClasses classes_;
    CachedKey id_key_, label_key_, tag_id_, tag_name_;
    std::vector<ref> matched_;  // reused from object to object
    uint64_t paced_ = 0;        // objects begun, for pace()
    Clock::time_point signals_at_, handover_at_;
    Clock::duration handover_every_ = Clock::duration::zero();
    ref result_ = xcore::new_list();
};

// One frame's objects through the regions. Out of line: a filter without
// regions returns before this frame (the Filter's state) is set up.
[[gnu::noinline]] ref filter_frame(py::handle self, py::handle det_or_trk, py::handle frame_sz,
                                          py::handle anchor_pt) {
    ref fx = xcore::get_item(frame_sz, small_int_object(0));
    ref fy = xcore::get_item(frame_sz, small_int_object(1));
    ref anchor[2];
    xcore::unpack(anchor_pt, 2, anchor);
    ref included = xcore::getattr(self, XNAME("_included_rois"));
    ref empty = xcore::getattr(self, XNAME("_empty_polygon"));
    Filter filter(self, std::move(included), std::move(empty), std::move(fx), std::move(fy), std::move(anchor[0]),
                  std::move(anchor[1]));
    return filter.over(det_or_trk);
}

// Raises the caught exception again, with its traceback.
[[noreturn]] void raise_again(py::handle exc) {
    ref type = ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
    ref value = ref::borrow(exc);
    PyObject* traceback = PyException_GetTraceback(exc.ptr());  // a new reference, or null
    PyErr_Restore(type.release().ptr(), value.release().ptr(), traceback);
    throw py::error_already_set();
}

XALO_FUNCTION(filter_in_roi, self, det_or_trk, frame_sz, anchor_pt) {
    py::handle self = a[p::self], det_or_trk = a[p::det_or_trk], frame_arg = a[p::frame_sz],
               anchor_pt = a[p::anchor_pt];
    return xcore::catch_exception(
        [&]() -> ref {
            ref frame_sz = ref::borrow(frame_arg);
            if (!xcore::truth(frame_sz))
                frame_sz = xcore::getattr(self, XNAME("frame_sz"));
            if (!xcore::truth(xcore::getattr(self, XNAME("rois"))))
                return ref::borrow(det_or_trk);
            return filter_frame(self, det_or_trk, frame_sz, anchor_pt);
        },
        [&](py::handle exc) -> ref {
            if (G.strict())
                raise_again(exc);
            call(G.get(XNAME("exception_traceback")), G.get(XNAME("logger")), exc);
            return xcore::new_list();
        });
}

// ---- ZoneFilter: helpers --------------------------------------------------------------

XALO_FUNCTION(is_point_in_polygon, point_shapely, polygon) {
    py::handle point_shapely = a[p::point_shapely], polygon = a[p::polygon];
    return call_method(xcore::get_item(polygon, XNAME("shapely_polygon")), XNAME("contains"), point_shapely);
}

XALO_FUNCTION(is_point_excluded_for_polygon, self, point_shapely, polygon) {
    py::handle self = a[p::self], point_shapely = a[p::point_shapely], polygon = a[p::polygon];
    ref get = xcore::getattr(xcore::getattr(self, XNAME("_exclusion_intersections")), XNAME("get"));
    ref geometries = call(get, steal_result(PyLong_FromVoidPtr(polygon.ptr())), xcore::new_list());
    bool none_contains = xcore::for_each(geometries, [&](py::handle geometry) {
        return !xcore::truth(call_method(geometry, XNAME("contains"), point_shapely));
    });
    return py::bool_(!none_contains);
}

ref entry_values(py::handle matched_polygons, py::handle key_name) {
    ref values = xcore::new_list();
    xcore::for_each(matched_polygons, [&](py::handle entry) {
        ref get = xcore::getattr(entry, XNAME("get"));
        xcore::append(values, call(get, roi_key(key_name), empty_text()));
    });
    return values;
}

XALO_FUNCTION(assign_roi_info, item_copy, matched_polygons, has_info_attr) {
    py::handle item_copy = a[p::item_copy], matched_polygons = a[p::matched_polygons],
               has_info_attr = a[p::has_info_attr];
    ref ids = entry_values(matched_polygons, XNAME("ROI_ID_KEY"));
    ref names = entry_values(matched_polygons, XNAME("ROI_LABEL_KEY"));
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

}  // namespace

XALO_MODULE(zone_filter, "xalo_sdk.roi.zone_filter", m) {
    G.init(m);
    C.zero.init(PyLong_FromLong(0));
    C.one.init(PyLong_FromLong(1));
    C.one_float.init(PyFloat_FromDouble(1.0));
    xroi::init_prepared_table();
    m.doc() = "v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy";
    ref copy_module = G.import("copy");
    ref np = G.import("numpy", "np");
    G.import_from("shapely.geometry", "Polygon");
    G.import_from("shapely.geometry", "Point");
    G.import_from("xalo_sdk.constants", "KEY");
    G.import_from("xalo_sdk.constants", "STRICT");
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

    using xcore::declare;
    py::object zone_filter =
        xcore::ClassBuilder(G, "ZoneFilter")
            .def(declare<init>("__init__")
                     .arg<init::p::self>()
                     .arg<init::p::polygons>(nullptr, py::none())
                     .arg<init::p::frame_sz>(nullptr, py::none())
                     .doc("check the point in polygon area\n"
                          ":param polygons: polygon information in the previous roi node\n"
                          ":param frame_sz: size of the frame"))
            .def(declare<filter_in_roi>("filter_in_roi")
                     .arg<filter_in_roi::p::self>()
                     .arg<filter_in_roi::p::det_or_trk>()
                     .arg<filter_in_roi::p::frame_sz>(nullptr, py::none())
                     .arg<filter_in_roi::p::anchor_pt>(nullptr, py::make_tuple(0.5, 0.5))
                     .doc(":param det_or_trk: this param is detection result or tracking result\n"
                          ":param frame_sz: frame size of the image frame\n"
                          ":param anchor_pt: anchored position of tracking result or detection result\n"
                          ":return:"))
            .def_static(declare<is_point_in_polygon>("_is_point_in_polygon")
                            .arg<is_point_in_polygon::p::point_shapely>()
                            .arg<is_point_in_polygon::p::polygon>()
                            .doc("Whether the region entry's polygon contains the point (its boundary does not)."))
            .def(declare<is_point_excluded_for_polygon>("_is_point_excluded_for_polygon")
                     .arg<is_point_excluded_for_polygon::p::self>()
                     .arg<is_point_excluded_for_polygon::p::point_shapely>()
                     .arg<is_point_excluded_for_polygon::p::polygon>()
                     .doc("Whether the point lies in one of the stored overlaps of the region entry with the "
                          "exclude regions."))
            .def_static(declare<assign_roi_info>("_assign_roi_info")
                            .arg<assign_roi_info::p::item_copy>()
                            .arg<assign_roi_info::p::matched_polygons>()
                            .arg<assign_roi_info::p::has_info_attr>()
                            .doc("Tag the copy with the ids and labels of the matched region entries: in its info "
                                 "mapping when it has one, else as its roi_id and roi_name attributes."))
            .finish();
    G.def(declare<check_regions>("check_regions")
              .arg<check_regions::p::polygons>()
              .arg<check_regions::p::frame_sz>(nullptr, py::none())
              .doc("Check a region list as ZoneFilter(polygons, frame_sz) takes it; raise ValueError naming the "
                   "first wrong entry and what is wrong with it; warn of a list larger than a board affords."));
    remember_originals(copy_module, np, zone_filter);
}
