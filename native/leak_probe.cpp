// xalo_sdk.debug.leak_probe: periodic allocation and garbage-collector reports
// for long-running pipeline modules.
#include "core/xcore.hpp"

namespace py = pybind11;
using xcore::call_method;
using xcore::ref;

namespace {

xcore::Globals G;

// ---- small helpers --------------------------------------------------------------

// One log line from its format; every %U argument is a str made by
// xcore::format_text(), so numbers and tuples read exactly as Python prints them.
inline PyObject* format_arg(const ref& r) { return r.ptr(); }
inline const char* format_arg(const char* s) { return s; }

template <class... A>
ref text(const char* format, const A&... args) {
    return ref::steal(PyUnicode_FromFormat(format, format_arg(args)...));
}

// size / 1024 with the given format (".2f", ".1f").
ref kib(py::handle size, const char* format_spec) {
    ref per_kib = ref::steal(PyLong_FromLong(1024));
    return xcore::format_text(ref::steal(PyNumber_TrueDivide(size.ptr(), per_kib.ptr())), format_spec);
}

// self.logger.info(message); the logger is read at each message, so it may be
// replaced on a live manager.
void log(py::handle self, py::handle message) {
    call_method(xcore::getattr(self, XNAME("logger")), XNAME("info"), message);
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
    xcore::for_each(stats, [&](py::handle stat) {
        total = ref::steal(PyNumber_Add(total.ptr(), xcore::getattr(stat, XNAME("size")).ptr()));
    });
    return total;
}

// ---- LeakProbeManager -------------------------------------------------------------

XALO_FUNCTION(init, self, limit, logger, debug) {
    py::handle self = a[p::self], limit = a.integer(p::limit), logger = a[p::logger];
    py::handle debug = a.flag(p::debug) ? Py_True : Py_False;
    // The thread machinery is set up but never started: every pass runs on the
    // caller's thread.
    ref thread_cls = xcore::getattr(G.get(XNAME("threading")), XNAME("Thread"));
    xcore::call(xcore::getattr(thread_cls, XNAME("__init__")), self);

    if (logger.is_none()) {
        xcore::setattr(self, XNAME("logger"), xcore::call(G.get(XNAME("get_logger")), XNAME("tracemalloc")));
    } else {
        xcore::setattr(self, XNAME("logger"), logger);
    }
    xcore::setattr(self, XNAME("debug"), debug);
    xcore::setattr(self, XNAME("_limit"), limit);
    xcore::setattr(self, XNAME("_first_tm_snapshot"), Py_None);
    xcore::setattr(self, XNAME("_last_tm_snapshot"), Py_None);
    if (a.flag(p::debug)) {
        call_method(G.get(XNAME("tracemalloc")), XNAME("start"));
        xcore::setattr(self, XNAME("_first_tm_snapshot"),
                       call_method(G.get(XNAME("tracemalloc")), XNAME("take_snapshot")));
    }
    return py::none();
}

void log_gc_count(py::handle self, const char* format) {
    ref count = call_method(G.get(XNAME("gc")), XNAME("get_count"));
    log(self, text(format, xcore::format_text(count)));
}

XALO_FUNCTION(tracemalloc_check, self) {
    py::handle self = a[p::self];
    if (!xcore::truth(xcore::getattr(self, XNAME("debug")))) {
        call_method(G.get(XNAME("gc")), XNAME("collect"));
        return py::bool_(true);
    }

    ref cur = call_method(G.get(XNAME("tracemalloc")), XNAME("take_snapshot"));
    xcore::vcall_method(self, XNAME("display_top_trace_scripts"), {cur}, XKW("snapshot"));

    ref size, peak;
    xcore::unpack2(call_method(G.get(XNAME("tracemalloc")), XNAME("get_traced_memory")), &size, &peak);
    log(self, text("leak.tm - get_traced_memory: %U, %U", xcore::format_text(size), xcore::format_text(peak)));

    // Compared before the "last" baseline moves on, so it is the previous pass.
    xcore::vcall_method(self, XNAME("compare_snapshots"), {cur}, XKW("cur_tm_snapshot"));
    xcore::setattr(self, XNAME("_last_tm_snapshot"), call_method(G.get(XNAME("copy")), XNAME("copy"), cur));

    log_gc_count(self, "leak.gc - get_count (before): %U");
    ref found = call_method(G.get(XNAME("gc")), XNAME("collect"));
    log(self, text("leak.gc - collect: %U", xcore::format_text(found)));
    log_gc_count(self, "leak.gc - get_count (after): %U");
    return py::bool_(true);
}

// Allocation-site filters: import machinery and untraceable frames are noise
// in a report about the module's own growth.
ref exclusion_filters() {
    ref filter_cls = xcore::getattr(G.get(XNAME("tracemalloc")), XNAME("Filter"));
    ref first = xcore::call(filter_cls, Py_False, XNAME("<frozen importlib._bootstrap>"));
    ref second = xcore::call(filter_cls, Py_False, XNAME("<unknown>"));
    return ref::steal(PyTuple_Pack(2, first.ptr(), second.ptr()));
}

// One numbered entry and, where the source can be read, its line.
void log_entry(py::handle self, py::handle index, py::handle stat) {
    ref traceback = xcore::getattr(stat, XNAME("traceback"));
    ref zero = ref::steal(PyLong_FromLong(0));
    ref frame = ref::steal(PyObject_GetItem(traceback.ptr(), zero.ptr()));
    ref filename = xcore::getattr(frame, XNAME("filename"));
    ref lineno = xcore::getattr(frame, XNAME("lineno"));
    log(self, text("leak.tm -  #%U: %U:%U: %UKiB", xcore::format_text(index), xcore::format_text(filename), xcore::format_text(lineno),
                   kib(xcore::getattr(stat, XNAME("size")), ".2f")));

    ref line = call_method(G.get(XNAME("linecache")), XNAME("getline"), filename, lineno);
    line = call_method(line, XNAME("strip"));
    if (xcore::truth(line))
        log(self, text("leak.tm - \t%U", xcore::format_text(line)));
}

XALO_FUNCTION(display_top_trace_scripts, self, snapshot, key_type) {
    py::handle self = a[p::self], key_type = a[p::key_type];
    ref snapshot = call_method(a[p::snapshot], XNAME("filter_traces"), exclusion_filters());
    ref top_stats = call_method(snapshot, XNAME("statistics"), key_type);

    ref limit = xcore::getattr(self, XNAME("_limit"));
    log(self, text("leak.tm - Top %U lines", xcore::format_text(limit)));

    ref listed = slice(top_stats, Py_None, limit);
    long index = 1;
    xcore::for_each(listed, [&](py::handle stat) {
        ref number = ref::steal(PyLong_FromLong(index++));
        log_entry(self, number, stat);
    });

    ref other = slice(top_stats, limit, Py_None);
    Py_ssize_t n_other = PyObject_Length(other.ptr());
    if (n_other < 0)
        throw py::error_already_set();
    if (n_other > 0) {
        ref count = ref::steal(PyLong_FromSsize_t(n_other));
        log(self, text("leak.tm -  %U other: %U KiB", xcore::format_text(count), kib(total_size(other), ".1f")));
    }
    log(self, text("leak.tm -  Total allocated size: %U KiB", kib(total_size(top_stats), ".1f")));
    return py::none();
}

// Up to ten differences of cur against one baseline, under a banner naming it.
void compare_with(py::handle self, py::handle cur, py::handle baseline, const char* which) {
    log(self, text("leak.tm - compare with %s: =======================", which));
    ref diffs = call_method(cur, XNAME("compare_to"), baseline, XNAME("lineno"));
    ref ten = ref::steal(PyLong_FromLong(10));
    xcore::for_each(slice(diffs, Py_None, ten), [&](py::handle stat) {
        log(self, text("leak.tm - compare with %s: %U", which, xcore::format_text(stat)));
    });
}

XALO_FUNCTION(compare_snapshots, self, cur_tm_snapshot) {
    py::handle self = a[p::self], cur = a[p::cur_tm_snapshot];
    ref first = xcore::getattr(self, XNAME("_first_tm_snapshot"));
    if (!first.is_none())
        compare_with(self, cur, first, "first");
    ref last = xcore::getattr(self, XNAME("_last_tm_snapshot"));
    if (!last.is_none())
        compare_with(self, cur, last, "last");
    return py::none();
}

XALO_FUNCTION(stop, self) {
    py::handle self = a[p::self];
    // Tracing is process-wide: a manager that never started it leaves it alone.
    if (xcore::truth(xcore::getattr(self, XNAME("debug"))))
        call_method(G.get(XNAME("tracemalloc")), XNAME("stop"));
    return py::none();
}

}  // namespace

XALO_MODULE(leak_probe, "xalo_sdk.debug.leak_probe", m) {
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

    using xcore::declare;
    xcore::ClassBuilder(G, "LeakProbeManager",
                        "Memory leak detector and GC diagnostic helper for long-running container processes.\n\n"
                        "Call ``tracemalloc_check()`` once per processing loop. In debug mode each pass logs\n"
                        "the top allocation sites, the traced-memory totals, the growth against the first\n"
                        "and the previous snapshot, and a full collection with object counts; otherwise a\n"
                        "pass only runs ``gc.collect()``. The thread base is never started.")
        .def(declare<init>("__init__")
                 .arg<init::p::self>()
                 .arg<init::p::limit>("int", py::int_(10))
                 .arg<init::p::logger>("Optional[logging.Logger]", py::none())
                 .arg<init::p::debug>("bool", py::bool_(false))
                 .doc("Set up the manager; in debug mode start tracing and take the first snapshot.\n\n"
                      ":param limit: number of top allocation lines listed per snapshot\n"
                      ":param logger: receives the report at info level (default: get_logger(\"tracemalloc\"))\n"
                      ":param debug: trace allocations and report; otherwise only collect garbage"))
        .def(declare<tracemalloc_check>("tracemalloc_check")
                 .arg<tracemalloc_check::p::self>()
                 .returns("bool")
                 .doc("Run a memory and GC diagnostic pass.\n\n"
                      ":return: True"))
        .def(declare<display_top_trace_scripts>("display_top_trace_scripts")
                 .arg<display_top_trace_scripts::p::self>()
                 .arg<display_top_trace_scripts::p::snapshot>("tracemalloc.Snapshot")
                 .arg<display_top_trace_scripts::p::key_type>("str", py::str("lineno"))
                 .returns("None")
                 .doc("Log the top memory-allocating lines from a tracemalloc snapshot.\n\n"
                      ":param snapshot: the snapshot; import machinery and unknown frames are left out\n"
                      ":param key_type: grouping key passed to Snapshot.statistics"))
        .def(declare<compare_snapshots>("compare_snapshots")
                 .arg<compare_snapshots::p::self>()
                 .arg<compare_snapshots::p::cur_tm_snapshot>("tracemalloc.Snapshot")
                 .returns("None")
                 .doc("Compare a snapshot against the first and the most recent previous one.\n\n"
                      "Logs up to ten differences per stored baseline."))
        .def(declare<stop>("stop")
                 .arg<stop::p::self>()
                 .returns("None")
                 .doc("Stop tracemalloc tracing.\n\n"
                      "Only a debug manager stops it; tracing is process-wide, so this ends it for\n"
                      "every user. The stored snapshots stay."))
        .finish(py::make_tuple(threading.attr("Thread")));
}
