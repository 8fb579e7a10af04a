// xalo_sdk.debug.leak_probe: periodic allocation and garbage-collector reports
// for long-running pipeline modules.
#include "core/xcore.hpp"

namespace py = pybind11;
using xcore::Args;
using xcore::call_method;
using xcore::ref;

namespace {

xcore::Globals G;

// ---- small helpers --------------------------------------------------------------

py::handle empty_str() {
    static PyObject* const empty = xcore::intern_forever("");
    return empty;
}

// format(value, format_spec), so numbers and tuples read exactly as Python prints them.
ref formatted(py::handle value, py::handle format_spec) {
    return ref::steal(PyObject_Format(value.ptr(), format_spec.ptr()));
}


// size / 1024 with the given format spec (".2f", ".1f").
ref kib(py::handle size, py::handle format_spec) {
    static PyObject* const per_kib = PyLong_FromLong(1024);
    ref value = ref::steal(PyNumber_TrueDivide(size.ptr(), per_kib));
    return formatted(value, format_spec);
}

// The pieces joined into one message; each piece is already a str.
ref message(std::initializer_list<py::handle> pieces) {
    py::list parts;
    for (py::handle p : pieces)
        parts.append(p);
    return ref::steal(PyUnicode_Join(empty_str().ptr(), parts.ptr()));
}

// self.logger.info(text); the logger is read at each message, so it may be
// replaced on a live manager.
void log(py::handle self, py::handle text) {
    call_method(xcore::getattr(self, XNAME("logger")), XNAME("info"), text);
}

// seq[start:stop], as Python's slicing does it (negative and oversized bounds
// included).
ref slice(py::handle seq, py::handle start, py::handle stop) {
    ref s = ref::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    return ref::steal(PyObject_GetItem(seq.ptr(), s.ptr()));
}

// sum(stat.size for stat in stats)
ref total_size(py::handle stats) {
    ref total = ref::steal(PyLong_FromLong(0));
    for (py::handle stat : stats)
        total = ref::steal(PyNumber_Add(total.ptr(), xcore::getattr(stat, XNAME("size")).ptr()));
    return total;
}

// a, b = pair, with Python's texts when pair does not hold exactly two items.
void unpack_pair(py::handle pair, ref* first, ref* second) {
    ref it = ref::steal(PyObject_GetIter(pair.ptr()));
    ref* slots[] = {first, second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
            throw py::error_already_set();
        }
        *slots[i] = ref::steal(item);
    }
    ref extra(py::reinterpret_steal<py::object>(PyIter_Next(it.ptr())));
    if (extra)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred())
        throw py::error_already_set();
}

// ---- LeakProbeManager -------------------------------------------------------------

py::object init(Args a) {
    py::handle self = a[0], limit = a[1], logger = a[2], debug = a[3];
    // The thread machinery is set up but never started: every pass runs on the
    // caller's thread.
    ref thread_cls = xcore::getattr(G.get(XNAME("threading")), XNAME("Thread"));
    xcore::call(xcore::getattr(thread_cls, XNAME("__init__")), self);

    if (logger.is_none()) {
        static PyObject* const name = xcore::intern_forever("tracemalloc");
        xcore::setattr(self, XNAME("logger"), xcore::call(G.get(XNAME("get_logger")), name));
    } else {
        xcore::setattr(self, XNAME("logger"), logger);
    }
    xcore::setattr(self, XNAME("debug"), debug);  // already a bool
    xcore::setattr(self, XNAME("_limit"), limit); // already an int
    xcore::setattr(self, XNAME("_first_tm_snapshot"), Py_None);
    xcore::setattr(self, XNAME("_last_tm_snapshot"), Py_None);
    if (debug.ptr() == Py_True) {
        call_method(G.get(XNAME("tracemalloc")), XNAME("start"));
        xcore::setattr(self, XNAME("_first_tm_snapshot"),
                       call_method(G.get(XNAME("tracemalloc")), XNAME("take_snapshot")));
    }
    return py::none();
}

void log_gc_count(py::handle self, py::handle label) {
    ref count = call_method(G.get(XNAME("gc")), XNAME("get_count"));
    log(self, message({label, xcore::format_text(count)}));
}

py::object tracemalloc_check(Args a) {
    py::handle self = a[0];
    if (!xcore::truth(xcore::getattr(self, XNAME("debug")))) {
        call_method(G.get(XNAME("gc")), XNAME("collect"));
        return py::bool_(true);
    }

    ref cur = call_method(G.get(XNAME("tracemalloc")), XNAME("take_snapshot"));
    xcore::vcall_method(self, XNAME("display_top_trace_scripts"), {cur}, XKW("snapshot"));

    ref size, peak;
    unpack_pair(call_method(G.get(XNAME("tracemalloc")), XNAME("get_traced_memory")), &size, &peak);
    static PyObject* const traced_label = xcore::intern_forever("leak.tm - get_traced_memory: ");
    static PyObject* const comma = xcore::intern_forever(", ");
    log(self, message({traced_label, xcore::format_text(size), comma, xcore::format_text(peak)}));

    // Compared before the "last" baseline moves on, so it is the previous pass.
    xcore::vcall_method(self, XNAME("compare_snapshots"), {cur}, XKW("cur_tm_snapshot"));
    xcore::setattr(self, XNAME("_last_tm_snapshot"), call_method(G.get(XNAME("copy")), XNAME("copy"), cur));

    static PyObject* const before = xcore::intern_forever("leak.gc - get_count (before): ");
    static PyObject* const collect = xcore::intern_forever("leak.gc - collect: ");
    static PyObject* const after = xcore::intern_forever("leak.gc - get_count (after): ");
    log_gc_count(self, before);
    ref found = call_method(G.get(XNAME("gc")), XNAME("collect"));
    log(self, message({collect, xcore::format_text(found)}));
    log_gc_count(self, after);
    return py::bool_(true);
}

// Allocation-site filters: import machinery and untraceable frames are noise
// in a report about the module's own growth.
ref exclusion_filters() {
    static PyObject* const frozen = xcore::intern_forever("<frozen importlib._bootstrap>");
    static PyObject* const unknown = xcore::intern_forever("<unknown>");
    ref filter_cls = xcore::getattr(G.get(XNAME("tracemalloc")), XNAME("Filter"));
    ref first = xcore::call(filter_cls, Py_False, frozen);
    ref second = xcore::call(filter_cls, Py_False, unknown);
    return ref::steal(PyTuple_Pack(2, first.ptr(), second.ptr()));
}

// One numbered entry and, where the source can be read, its line.
void log_entry(py::handle self, py::handle index, py::handle stat) {
    static PyObject* const head = xcore::intern_forever("leak.tm -  #");
    static PyObject* const colon_space = xcore::intern_forever(": ");
    static PyObject* const colon = xcore::intern_forever(":");
    static PyObject* const unit = xcore::intern_forever("KiB");
    static PyObject* const two_places = xcore::intern_forever(".2f");
    static PyObject* const tab = xcore::intern_forever("leak.tm - \t");

    ref traceback = xcore::getattr(stat, XNAME("traceback"));
    static PyObject* const zero = PyLong_FromLong(0);
    ref frame = ref::steal(PyObject_GetItem(traceback.ptr(), zero));
    ref filename = xcore::getattr(frame, XNAME("filename"));
    ref lineno = xcore::getattr(frame, XNAME("lineno"));
    log(self, message({head, xcore::format_text(index), colon_space, xcore::format_text(filename), colon, xcore::format_text(lineno), colon_space,
                       kib(xcore::getattr(stat, XNAME("size")), two_places), unit}));

    ref line = call_method(G.get(XNAME("linecache")), XNAME("getline"), filename, lineno);
    line = call_method(line, XNAME("strip"));
    if (xcore::truth(line))
        log(self, message({tab, xcore::format_text(line)}));
}

py::object display_top_trace_scripts(Args a) {
    py::handle self = a[0], key_type = a[2];
    ref snapshot = call_method(a[1], XNAME("filter_traces"), exclusion_filters());
    ref top_stats = call_method(snapshot, XNAME("statistics"), key_type);

    static PyObject* const top = xcore::intern_forever("leak.tm - Top ");
    static PyObject* const lines = xcore::intern_forever(" lines");
    ref limit = xcore::getattr(self, XNAME("_limit"));
    log(self, message({top, xcore::format_text(limit), lines}));

    ref listed = slice(top_stats, Py_None, limit);
    long index = 1;
    for (py::handle stat : listed) {
        ref number = ref::steal(PyLong_FromLong(index++));
        log_entry(self, number, stat);
    }

    static PyObject* const one_place = xcore::intern_forever(".1f");
    static PyObject* const kib_unit = xcore::intern_forever(" KiB");
    ref other = slice(top_stats, limit, Py_None);
    Py_ssize_t n_other = PyObject_Length(other.ptr());
    if (n_other < 0)
        throw py::error_already_set();
    if (n_other > 0) {
        static PyObject* const lead = xcore::intern_forever("leak.tm -  ");
        static PyObject* const label = xcore::intern_forever(" other: ");
        ref count = ref::steal(PyLong_FromSsize_t(n_other));
        log(self, message({lead, xcore::format_text(count), label, kib(total_size(other), one_place), kib_unit}));
    }
    static PyObject* const total = xcore::intern_forever("leak.tm -  Total allocated size: ");
    log(self, message({total, kib(total_size(top_stats), one_place), kib_unit}));
    return py::none();
}

// Up to ten differences of cur against one baseline, under a banner.
void compare_with(py::handle self, py::handle cur, py::handle baseline, py::handle banner, py::handle label) {
    static PyObject* const lineno = xcore::intern_forever("lineno");
    static PyObject* const ten = PyLong_FromLong(10);
    log(self, banner);
    ref diffs = call_method(cur, XNAME("compare_to"), baseline, lineno);
    for (py::handle stat : slice(diffs, Py_None, ten))
        log(self, message({label, xcore::format_text(stat)}));
}

py::object compare_snapshots(Args a) {
    py::handle self = a[0], cur = a[1];
    ref first = xcore::getattr(self, XNAME("_first_tm_snapshot"));
    if (!first.is_none()) {
        static PyObject* const banner = xcore::intern_forever("leak.tm - compare with first: =======================");
        static PyObject* const label = xcore::intern_forever("leak.tm - compare with first: ");
        compare_with(self, cur, first, banner, label);
    }
    ref last = xcore::getattr(self, XNAME("_last_tm_snapshot"));
    if (!last.is_none()) {
        static PyObject* const banner = xcore::intern_forever("leak.tm - compare with last: =======================");
        static PyObject* const label = xcore::intern_forever("leak.tm - compare with last: ");
        compare_with(self, cur, last, banner, label);
    }
    return py::none();
}

py::object stop(Args a) {
    py::handle self = a[0];
    // Tracing is process-wide: a manager that never started it leaves it alone.
    if (xcore::truth(xcore::getattr(self, XNAME("debug"))))
        call_method(G.get(XNAME("tracemalloc")), XNAME("stop"));
    return py::none();
}

}  // namespace

PYBIND11_MODULE(leak_probe, m) {
    G.init(m);
    m.doc() = "Memory profiling and garbage-collector diagnostics for the pipeline's containers.";
    G.import("copy");
    G.import("gc");
    G.import("linecache");
    ref threading = G.import("threading");
    G.import("tracemalloc");
    G.import("logging");
    G.import_from("typing", "Optional");
    G.import_from("xalo_sdk.logging", "get_logger");

    using xcore::Function;
    xcore::ClassBuilder(G, "LeakProbeManager",
                        "Memory leak detector and GC diagnostic helper for long-running container processes.\n\n"
                        "Call ``tracemalloc_check()`` once per processing loop. In debug mode each pass logs\n"
                        "the top allocation sites, the traced-memory totals, the growth against the first\n"
                        "and the previous snapshot, and a full collection with object counts; otherwise a\n"
                        "pass only runs ``gc.collect()``. The thread base is never started.")
        .def(Function("__init__", init)
                 .arg("self")
                 .arg("limit", "int", py::int_(10))
                 .arg("logger", "Optional[logging.Logger]", py::none())
                 .arg("debug", "bool", py::bool_(false))
                 .doc("Set up the manager; in debug mode start tracing and take the first snapshot.\n\n"
                      ":param limit: number of top allocation lines listed per snapshot\n"
                      ":param logger: receives the report at info level (default: get_logger(\"tracemalloc\"))\n"
                      ":param debug: trace allocations and report; otherwise only collect garbage"))
        .def(Function("tracemalloc_check", tracemalloc_check)
                 .arg("self")
                 .returns("bool")
                 .doc("Run a memory and GC diagnostic pass.\n\n"
                      ":return: True"))
        .def(Function("display_top_trace_scripts", display_top_trace_scripts)
                 .arg("self")
                 .arg("snapshot", "tracemalloc.Snapshot")
                 .arg("key_type", "str", py::str("lineno"))
                 .returns("None")
                 .doc("Log the top memory-allocating lines from a tracemalloc snapshot.\n\n"
                      ":param snapshot: the snapshot; import machinery and unknown frames are left out\n"
                      ":param key_type: grouping key passed to Snapshot.statistics"))
        .def(Function("compare_snapshots", compare_snapshots)
                 .arg("self")
                 .arg("cur_tm_snapshot", "tracemalloc.Snapshot")
                 .returns("None")
                 .doc("Compare a snapshot against the first and the most recent previous one.\n\n"
                      "Logs up to ten differences per stored baseline."))
        .def(Function("stop", stop)
                 .arg("self")
                 .returns("None")
                 .doc("Stop tracemalloc tracing.\n\n"
                      "Only a debug manager stops it; tracing is process-wide, so this ends it for\n"
                      "every user. The stored snapshots stay."))
        .finish(py::make_tuple(threading.attr("Thread")));
}
