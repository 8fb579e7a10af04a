// xalo_sdk.redis.store_client: one Redis connection pool per pipeline module,
// payload writes that never block the caller, reads, deletes and key scans.
#include "core/xcore.hpp"

namespace py = pybind11;
using xcore::Args;
using xcore::call_method;
using xcore::ref;

namespace {

xcore::Globals G;

// ---- small helpers --------------------------------------------------------------

ref text_of(py::handle obj) { return ref::steal(PyObject_Str(obj.ptr())); }

void log(py::handle level, py::handle message) {
    call_method(G.get(XNAME("logger")), level, message);
}

// self._redis_client, read afresh at each use.
ref redis_client(py::handle self) { return xcore::getattr(self, XNAME("_redis_client")); }

// Made in module init.
struct {
    xcore::Constant five, ten, one;
    xcore::Constant wait_for_work;  // the writer's queue timeout, seconds
    xcore::Constant wait_for_writer;  // the shutdown's join timeout, seconds
} C;

// SET with expiry; the reply taken by its truth value.
bool redis_set(py::handle client, py::handle key, py::handle value, py::handle ttl) {
    return xcore::truth(xcore::vcall_method(client, XNAME("set"), {key, value, ttl}, XKW("ex")));
}

// Announces a store on "<key>_notify"; a failure is only a warning, the value
// stays stored.
void notify(py::handle client, py::handle key) {
    ref channel = ref::steal(PyUnicode_FromFormat("%U_notify", key.ptr()));
    xcore::catch_exception(
        [&] {
            call_method(client, XNAME("publish"), channel, XNAME("1"));
        },
        [&](py::handle exc) {
            ref err = text_of(exc);
            log(XNAME("warning"), ref::steal(PyUnicode_FromFormat("Failed to publish notification to %U: %U",
                                                                  channel.ptr(), err.ptr())));
        });
}

// Drops a pending error derived from Exception; anything else propagates.
void ignore_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw py::error_already_set();
    PyErr_Clear();
}

void log_write_error(py::handle key, py::handle exc) {
    ref err = text_of(exc);
    log(XNAME("error"),
        ref::steal(PyUnicode_FromFormat("Failed to write data to redis`%U` - %U", key.ptr(), err.ptr())));
}

// ---- StoreClient: construction and the background writer --------------------------

py::object init(const Args& a) {
    py::handle self = a[0], host = a.str(2), port = a.integer(3), workers = a.integer(4);
    xcore::setattr(self, XNAME("_use_thread"), a.flag(1) ? Py_True : Py_False);

    // max(10, workers * 5) connections and a queue of max(1, workers).
    ref by_five = ref::steal(PyNumber_Multiply(workers.ptr(), C.five.ptr()));
    ref max_connections = xcore::compare(by_five, C.ten, Py_GT) ? std::move(by_five) : ref::borrow(C.ten);
    ref maxsize = ref::borrow(xcore::compare(workers, C.one, Py_GT) ? workers : C.one.get());

    ref redis = G.get(XNAME("redis"));
    ref pool = xcore::vcall(xcore::getattr(redis, XNAME("ConnectionPool")),
                            {host, port, max_connections, Py_False},
                            XKW("host", "port", "max_connections", "decode_responses"));
    xcore::setattr(self, XNAME("_redis_client"),
                   xcore::vcall(xcore::getattr(redis, XNAME("StrictRedis")), {pool}, XKW("connection_pool")));
    xcore::setattr(self, XNAME("_executor"), Py_None);
    xcore::setattr(self, XNAME("_queue"), Py_None);
    xcore::setattr(self, XNAME("_worker"), Py_None);
    xcore::setattr(self, XNAME("_stop_evt"),
                   xcore::call(xcore::getattr(G.get(XNAME("threading")), XNAME("Event"))));

    if (xcore::truth(xcore::getattr(self, XNAME("_use_thread")))) {
        xcore::setattr(self, XNAME("_queue"),
                       xcore::vcall(xcore::getattr(G.get(XNAME("queue")), XNAME("Queue")), {maxsize},
                                    XKW("maxsize")));
        ref worker = xcore::vcall(xcore::getattr(G.get(XNAME("threading")), XNAME("Thread")),
                                  {xcore::getattr(self, XNAME("_worker_loop")), XNAME("StoreClientWorker"), Py_True},
                                  XKW("target", "name", "daemon"));
        xcore::setattr(self, XNAME("_worker"), worker);
        call_method(worker, XNAME("start"));
        call_method(G.get(XNAME("atexit")), XNAME("register"), xcore::getattr(self, XNAME("_shutdown_executor")));
    }
    return py::none();
}

py::object shutdown_executor(const Args& a) {
    py::handle self = a[0];
    xcore::catch_exception(
        [&] {
            call_method(xcore::getattr(self, XNAME("_stop_evt")), XNAME("set"));
            ref worker = xcore::getattr(self, XNAME("_worker"));
            if (!worker.is_none())
                xcore::vcall_method(worker, XNAME("join"), {C.wait_for_writer}, XKW("timeout"));
            xcore::setattr(self, XNAME("_queue"), Py_None);
            xcore::setattr(self, XNAME("_executor"), Py_None);
            xcore::setattr(self, XNAME("_use_thread"), Py_False);
        },
        [](py::handle) {});
    return py::none();
}

// One queued item: an exception while writing it (a payload that cannot be
// serialised, say) is logged with its key and the writer goes on.
void write_item(py::handle self, py::handle item) {
    py::handle key = Py_None;
    xcore::catch_exception(
        [&] {
            if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 3) {
                PyErr_SetString(PyExc_ValueError, "a queued write must be a (data, redis_key, ttl) tuple");
                throw py::error_already_set();
            }
            key = PyTuple_GET_ITEM(item.ptr(), 1);
            xcore::vcall_method(self, XNAME("_write_"),
                                {PyTuple_GET_ITEM(item.ptr(), 0), key, PyTuple_GET_ITEM(item.ptr(), 2)});
        },
        [&](py::handle exc) { log_write_error(text_of(key), exc); });
}

py::object worker_loop(const Args& a) {
    py::handle self = a[0];
    for (;;) {
        // The writer never dies: whatever one round raises is logged and the
        // loop goes on; only the stop event (or a detached queue) ends it.
        bool stop = xcore::catch_exception(
            [&] {
                if (xcore::truth(call_method(xcore::getattr(self, XNAME("_stop_evt")), XNAME("is_set"))))
                    return true;
                ref q = xcore::getattr(self, XNAME("_queue"));
                if (q.is_none())
                    return true;
                ref item = xcore::try_vcall_method(q, XNAME("get"), {C.wait_for_work}, XKW("timeout"));
                if (!item) {
                    // queue.Empty: nothing arrived within the timeout.
                    xcore::PendingError e;
                    if (!e.matches(xcore::getattr(G.get(XNAME("queue")), XNAME("Empty"))))
                        e.rethrow();
                    return false;
                }
                write_item(self, item);
                if (!xcore::try_vcall_method(q, XNAME("task_done"), {}))
                    ignore_exception();
                return false;
            },
            [&](py::handle exc) {
                xcore::catch_exception(
                    [&] {
                        ref err = text_of(exc);
                        log(XNAME("error"), ref::steal(PyUnicode_FromFormat("StoreClientWorker: %U", err.ptr())));
                    },
                    [](py::handle) {});
                return false;
            });
        if (stop)
            return py::none();
    }
}

// ---- StoreClient: write path ------------------------------------------------------

py::object write_(const Args& a) {
    py::handle self = a[0], data = a.dict(1), key = a.str(2), ttl = a.integer(3);
    ref value = call_method(G.get(XNAME("orjson")), XNAME("dumps"), data);
    return xcore::catch_exception(
        [&]() -> py::object {
            ref client = redis_client(self);
            if (!redis_set(client, key, value, ttl))
                return py::bool_(false);
            notify(client, key);
            return py::bool_(true);
        },
        [&](py::handle exc) -> py::object {
            log_write_error(key, exc);
            return py::bool_(false);
        });
}

py::object write_frame_packet(const Args& a) {
    py::handle self = a[0], data = a[1], key = a.str(2), ttl = a.integer(3);
    if (data.is_none())
        return call_method(self, XNAME("delete_data"), key);
    if (xcore::truth(xcore::getattr(self, XNAME("_use_thread")))) {
        ref q = xcore::getattr(self, XNAME("_queue"));
        if (!q.is_none()) {
            ref item = ref::steal(PyTuple_Pack(3, data.ptr(), key.ptr(), ttl.ptr()));
            if (xcore::try_vcall_method(q, XNAME("put_nowait"), {item}))
                return py::bool_(true);
            {
                xcore::PendingError first;
                if (!first.matches(xcore::getattr(G.get(XNAME("queue")), XNAME("Full"))))
                    first.rethrow();
            }
            // Displace the oldest pending write; the writer may have taken it
            // meanwhile, then there is nothing to displace.
            if (!xcore::try_vcall_method(q, XNAME("get_nowait"), {}) ||
                !xcore::try_vcall_method(q, XNAME("task_done"), {}))
                ignore_exception();
            if (xcore::try_vcall_method(q, XNAME("put_nowait"), {item}))
                return py::bool_(true);
            ignore_exception();
            return call_method(self, XNAME("_write_"), data, key, ttl);
        }
    }
    return call_method(self, XNAME("_write_"), data, key, ttl);
}

py::object delete_data(const Args& a) {
    py::handle self = a[0], key = a.str(1);
    return py::bool_(xcore::truth(call_method(redis_client(self), XNAME("delete"), key)));
}

// ---- StoreClient: bulk delete and key scan ----------------------------------------

py::object delete_many(const Args& a) {
    py::handle self = a[0], keys = a.list(1);
    if (PyList_GET_SIZE(keys.ptr()) == 0)
        return py::int_(0);
    ref method = xcore::getattr(redis_client(self), XNAME("delete"));
    ref args = ref::steal(PyList_AsTuple(keys.ptr()));
    ref reply = ref::steal(PyObject_Call(method.ptr(), args.ptr(), nullptr));
    if (reply.is_none() || PyLong_CheckExact(reply.ptr()))
        return std::move(reply);
    return ref::steal(PyNumber_Long(reply.ptr()));
}

py::object scan_keys(const Args& a) {
    py::handle self = a[0], pattern = a.str(1);
    ref it = xcore::vcall_method(redis_client(self), XNAME("scan_iter"), {pattern}, XKW("match"));
    ref keys = xcore::new_list();
    xcore::for_each(it, [&](py::handle key) {
        if (PyBytes_Check(key.ptr()))
            xcore::append(keys, ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.ptr()),
                                                                PyBytes_GET_SIZE(key.ptr()), "strict")));
        else
            xcore::append(keys, key);
    });
    return std::move(keys);
}

// ---- StoreClient: synchronous writes and reads ------------------------------------

py::object write_data(const Args& a) {
    py::handle self = a[0], key = a.str(1), data = a[2], ttl = a.integer(3);
    ref value = PyDict_Check(data.ptr()) ? call_method(G.get(XNAME("orjson")), XNAME("dumps"), data)
                                          : ref::borrow(data);
    ref client = redis_client(self);
    if (!redis_set(client, key, value, ttl))
        return py::bool_(false);
    notify(client, key);
    return py::bool_(true);
}

py::object read_data(const Args& a) {
    py::handle self = a[0], key = a.str(1);
    return call_method(redis_client(self), XNAME("get"), key);
}

py::object read_frame_packet(const Args& a) {
    py::handle self = a[0], key = a.str(1);
    return xcore::catch_exception(
        [&]() -> py::object {
            ref data = xcore::vcall_method(self, XNAME("read_data"), {key}, XKW("redis_key"));
            if (PyBytes_Check(data.ptr()))
                return call_method(G.get(XNAME("orjson")), XNAME("loads"), data);
            return std::move(data);
        },
        [&](py::handle exc) -> py::object {
            ref err = text_of(exc);
            log(XNAME("warning"),
                ref::steal(PyUnicode_FromFormat("Failed to get redis frame from %U - %U", key.ptr(), err.ptr())));
            return py::none();
        });
}

// ---- StoreClient: public lifecycle --------------------------------------------

// Stops the writer as interpreter exit would, and drops the exit hook so that a
// closed client can be freed. Safe to call any number of times.
py::object close(const Args& a) {
    py::handle self = a[0];
    call_method(self, XNAME("_shutdown_executor"));
    xcore::catch_exception(
        [&] {
            call_method(G.get(XNAME("atexit")), XNAME("unregister"),
                        xcore::getattr(self, XNAME("_shutdown_executor")));
        },
        [](py::handle) {});
    return py::none();
}

py::object enter(const Args& a) { return py::reinterpret_borrow<py::object>(a[0]); }

// Closes the client; an exception of the with-block still propagates.
py::object exit_(const Args& a) {
    call_method(a[0], XNAME("close"));
    return py::bool_(false);
}

}  // namespace

XALO_MODULE(store_client, "xalo_sdk.redis.store_client", m) {
    G.init(m);
    C.five.init(PyLong_FromLong(5));
    C.ten.init(PyLong_FromLong(10));
    C.one.init(PyLong_FromLong(1));
    C.wait_for_work.init(PyFloat_FromDouble(0.2));
    C.wait_for_writer.init(PyFloat_FromDouble(0.5));
    m.doc() = "Redis store client of a pipeline module: one connection pool, background payload "
              "writes with a \"_notify\" publish after every store, reads, deletes and key scans.";
    G.import("orjson");
    ref os = G.import("os");
    G.import("threading");
    G.import("atexit");
    G.import("queue");
    G.import_from("typing", "Any");
    G.import_from("typing", "Optional");
    G.import_from("typing", "Union");
    G.import("redis");
    G.import_from("concurrent.futures", "ThreadPoolExecutor");
    ref get_logger = G.import_from("xalo_sdk.logging.logger", "get_logger");
    G.set("logger", xcore::call(get_logger, py::str("REDIS")));

    // The default host is read once, here; later changes of REDIS_HOST do not
    // move an existing default.
    py::object default_host = os.attr("environ").attr("get")("REDIS_HOST", "localhost");

    using xcore::Function;
    xcore::ClassBuilder(G, "StoreClient",
                        "Represents a redis client specified for the containers.\n\n"
                        "One client per pipeline module. With ``thread`` true, payload writes are queued\n"
                        "and stored by a background writer thread; otherwise they are stored at once.")
        .def(Function("__init__", init)
                 .arg("self")
                 .arg("thread", "bool", py::bool_(true))
                 .arg("host", "str", default_host)
                 .arg("port", "int", py::int_(6379))
                 .arg("workers", "int", py::int_(2))
                 .doc("Create the connection pool and, with ``thread`` true, the background writer.\n\n"
                      ":param thread: write payloads from a background thread\n"
                      ":param host: Redis host (default: REDIS_HOST at import, else localhost)\n"
                      ":param port: Redis port\n"
                      ":param workers: sizes the pool (max(10, workers * 5)) and the write queue "
                      "(max(1, workers))"))
        .def(Function("_shutdown_executor", shutdown_executor)
                 .arg("self")
                 .returns("None")
                 .doc("Stop the background writer; pending writes are dropped and later writes are "
                      "synchronous."))
        .def(Function("_worker_loop", worker_loop)
                 .arg("self")
                 .returns("None")
                 .doc("Drain the write queue until the stop event is set."))
        .def(Function("_write_", write_)
                 .arg("self")
                 .arg("data", "dict")
                 .arg("redis_key", "str")
                 .arg("ttl", "Optional[int]", py::none())
                 .returns("bool")
                 .doc("Internal function that is executed in background thread\n\n"
                      "Store ``data`` as JSON under ``redis_key`` and publish \"1\" on "
                      "``redis_key + \"_notify\"``."))
        .def(Function("write_frame_packet", write_frame_packet)
                 .arg("self")
                 .arg("data", "Optional[dict]")
                 .arg("redis_key", "str")
                 .arg("ttl", "Optional[int]", py::none())
                 .returns("bool")
                 .doc("Write video frame to the target redis key. If data is None, deletes the key.\n\n"
                      ":param data: payload dictionary, or None to delete the key\n"
                      ":param redis_key: target key\n"
                      ":param ttl: expiry in seconds, None for none\n"
                      ":return: True when queued (background mode) or stored"))
        .def(Function("delete_data", delete_data)
                 .arg("self")
                 .arg("redis_key", "str")
                 .returns("bool")
                 .doc("Delete data from the target redis location\n\n"
                      ":return: True when the key existed and was deleted"))
        .def(Function("delete_many", delete_many)
                 .arg("self")
                 .arg("redis_keys", "list")
                 .returns("int")
                 .doc("Delete multiple keys in a single Redis command.\n\n"
                      ":param redis_keys: keys to delete\n"
                      ":return: the number of keys that were deleted"))
        .def(Function("scan_keys", scan_keys)
                 .arg("self")
                 .arg("pattern", "str")
                 .returns("list")
                 .doc("Return all existing keys matching a glob pattern using SCAN (non-blocking).\n\n"
                      ":param pattern: glob pattern, e.g. 'redis_<node_id>_*'\n"
                      ":return: the matching keys as str"))
        .def(Function("write_data", write_data)
                 .arg("self")
                 .arg("redis_key", "str")
                 .arg("data", "Union[str, dict]")
                 .arg("ttl", "Optional[int]", py::none())
                 .returns("bool")
                 .doc("Write data to the target redis location\n\n"
                      "A dict is stored as JSON, any other value as it is; \"1\" is published on "
                      "``redis_key + \"_notify\"``."))
        .def(Function("read_data", read_data)
                 .arg("self")
                 .arg("redis_key", "str")
                 .returns("Any")
                 .doc("Read data from the target redis location\n\n"
                      ":return: the stored bytes, or None when the key does not exist"))
        .def(Function("read_frame_packet", read_frame_packet)
                 .arg("self")
                 .arg("redis_key", "str")
                 .doc("Read video frame from a given redis key\n\n"
                      ":return: the parsed payload, or None when the key is missing or unreadable"))
        .def(Function("close", close)
                 .arg("self")
                 .returns("None")
                 .doc("Stop the background writer and release the client's exit hook.\n\n"
                      "Writes still pending are dropped; later writes are synchronous. Calling it "
                      "again does nothing."))
        .def(Function("__enter__", enter).arg("self").doc("Return the client itself."))
        .def(Function("__exit__", exit_)
                 .arg("self")
                 .arg("exc_type")
                 .arg("exc_value")
                 .arg("traceback")
                 .returns("bool")
                 .doc("Close the client; exceptions raised in the with-block propagate."))
        .finish();
}
