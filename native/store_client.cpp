// xalo_sdk.redis.store_client: one Redis connection pool per pipeline module,
// payload writes that never block the caller, reads, deletes and key scans.
#include "core/xcore.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;
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
    xcore::Constant zero, five, ten, one;
    xcore::Constant wait_for_work;  // the writer's queue timeout, seconds
    xcore::Constant wait_for_writer;  // the shutdown's join timeout, seconds
    xcore::Constant flush_poll;  // how often flush() looks at the queue, seconds
    PyObject* wake = nullptr;  // queued by the shutdown so that an idle writer returns at once
    PyObject* worker_loop = nullptr;  // StoreClient._worker_loop, to recognise an override
    PyObject* link_type = nullptr;  // _WeakClient
    // The constructor's own default objects (a caller's explicit host or port
    // is never one of them), and REDIS_URL as it was at import, or None.
    xcore::Constant default_host, default_port, default_url;
    PyObject* no_permission = nullptr;  // redis.exceptions.NoPermissionError
} C;

// A client's write counts, the writer's state and what its server refuses, kept in its `_stats` slot
// (a slot, so that vars() of a client lists only its own attributes). The
// counters are touched from the callers' threads and the writer's.
struct Stats {
    // queued = stored + failed + displaced + dropped + the writes still pending.
    std::atomic<unsigned long long> queued{0}, stored{0}, displaced{0}, failed{0}, dropped{0};
    // read_data's calls, those that gave None, those that raised, and the
    // bytes they returned.
    std::atomic<unsigned long long> reads{0}, reads_none{0}, read_errors{0}, read_bytes{0};
    ref last_error;  // text of the last failed write
    // The queued writes not yet stored, failed, displaced or dropped, each
    // with the queue it went to (none once the writer took it), oldest
    // first: what flush() waits for. An
    // item is noted before it is put on the queue (so the writer can never
    // finish it before it is noted) and forgotten where it is finished.
    // Touched under the GIL.
    struct Pending {
        ref item, queue;
    };
    std::vector<Pending> unfinished;
    // The kit's own loop writes this client's queue, reporting each write it
    // finishes. A _worker_loop written anew takes items the kit never hears
    // of: nothing is noted then, and flush() waits for an empty queue only.
    bool tracked = false;
    ref link;        // background clients: their _WeakClient
    // What the server refused to this user: GETRANGE, or the pipelined read
    // (EXISTS, GETRANGE, STRLEN).
    std::atomic<bool> no_getrange{false}, no_pipeline_read{false};
    unsigned long long fork_generation = 0;  // the process whose counts these are
    // XALO_WAIT_REPLICAS and XALO_WAIT_TIMEOUT_MS when the client was made:
    // a store counts only once that many replicas have acknowledged it.
    unsigned long long wait_replicas = 0, wait_timeout_ms = 0;
    // Logging by episode (XALO_LOG_EPISODES=1 when the client was made): the
    // first failed write of an outage, a summary at most every `period`
    // seconds, a line when writes are stored again. Touched under the GIL.
    struct Episode {
        bool on = false, open = false;
        double period = 10, started = 0, last_line = 0;
        // Displaced counts at the last store (an outage begins after it), at
        // the episode's start and at its last line.
        unsigned long long displaced_at_store = 0, displaced_at_start = 0, displaced_at_line = 0;
        unsigned long long failed = 0, failed_since_line = 0;
        ref cause;  // short text of the latest failure
    } episode;

    void reset_counts() {
        for (auto* n : {&queued, &stored, &displaced, &failed, &dropped, &reads, &reads_none, &read_errors, &read_bytes})
            n->store(0, std::memory_order_relaxed);
        last_error = ref();
        std::vector<Pending>().swap(unfinished);
        episode.open = false;
        episode.displaced_at_store = 0;
        episode.cause = ref();
    }
};

// The settings a client reads when it is made (into *st; only checked when
// st is null): WAIT for XALO_WAIT_REPLICAS replicas (0: none) for at most
// XALO_WAIT_TIMEOUT_MS, and logging by episode (XALO_LOG_EPISODES=1) with a
// summary every XALO_LOG_EPISODE_SECONDS.
void read_client_settings(Stats* st, bool at_import = false) {
    auto replicas = xcore::env_whole("XALO_WAIT_REPLICAS", 0, 0, 1000, at_import);
    auto timeout_ms = xcore::env_positive("XALO_WAIT_TIMEOUT_MS", 1000, at_import);
    auto episodes = xcore::env_whole("XALO_LOG_EPISODES", 0, 0, 1, at_import);
    auto period = xcore::env_positive("XALO_LOG_EPISODE_SECONDS", 10, at_import);
    if (st == nullptr)
        return;
    st->wait_replicas = replicas;
    st->wait_timeout_ms = timeout_ms;
    st->episode.on = episodes == 1;
    st->episode.period = static_cast<double>(period);
}

// Incremented in the child of every fork: a client's counts are its process's
// own, so a child starts from zero (checked at each use, under the GIL).
unsigned long long fork_generation = 0;

constexpr const char* kStatsCapsule = "xalo_sdk.redis.store_client.Stats";

ref new_stats() {
    auto stats = std::make_unique<Stats>();
    stats->fork_generation = fork_generation;
    ref cap = ref::steal(PyCapsule_New(stats.get(), kStatsCapsule, [](PyObject* c) {
        delete static_cast<Stats*>(PyCapsule_GetPointer(c, kStatsCapsule));
    }));
    stats.release();
    return cap;
}

// The client's Stats, or null for an instance whose __init__ did not run.
// The capsule is held in *keep for as long as the pointer is used.
Stats* stats_of(py::handle self, ref* keep) {
    if (!xcore::getattr_optional(self, XNAME("_stats"), keep) || !PyCapsule_IsValid(keep->ptr(), kStatsCapsule))
        return nullptr;
    auto* st = static_cast<Stats*>(PyCapsule_GetPointer(keep->ptr(), kStatsCapsule));
    if (st->fork_generation != fork_generation) {
        st->reset_counts();
        st->fork_generation = fork_generation;
    }
    return st;
}

// `item` is about to go to the queue q. Writes left on another queue (one
// that code stopping or redirecting the client replaced) are forgotten:
// nothing will finish them.
void note_unfinished(Stats* st, py::handle item, py::handle q) {
    if (st == nullptr || !st->tracked)
        return;
    auto& u = st->unfinished;
    auto other = [&](const Stats::Pending& p) { return p.queue && p.queue.ptr() != q.ptr(); };
    std::vector<Stats::Pending> stale;  // dropped once the list is whole again
    if (std::any_of(u.begin(), u.end(), other)) {
        auto keep = std::stable_partition(u.begin(), u.end(), [&](const Stats::Pending& p) { return !other(p); });
        std::move(keep, u.end(), std::back_inserter(stale));
        u.erase(keep, u.end());
    }
    u.push_back(Stats::Pending{ref::borrow(item), ref::borrow(q)});
}

// The noted write `item` (by identity: each is a tuple of its own).
std::vector<Stats::Pending>::iterator noted(Stats* st, py::handle item) {
    auto& u = st->unfinished;
    return std::find_if(u.begin(), u.end(), [&](const Stats::Pending& p) { return p.item.ptr() == item.ptr(); });
}

// The writer took `item` off its queue: it is written whatever queue the
// client uses next.
void note_taken(Stats* st, py::handle item) {
    if (st == nullptr)
        return;
    auto it = noted(st, item);
    if (it != st->unfinished.end())
        it->queue = ref();
}

// The queued write `item` is finished.
void note_finished(Stats* st, py::handle item) {
    if (st == nullptr)
        return;
    auto& u = st->unfinished;
    auto it = noted(st, item);
    if (it == u.end())
        return;
    // Dropped once the list is whole again: freeing the write may run Python code.
    Stats::Pending gone = std::move(*it);
    u.erase(it);
}

// SET with expiry; the reply taken by its truth value. A client made with
// replicas to wait for sends WAIT after the SET on the same connection (one
// pipeline, one round trip more on the server's side): a store that fewer
// replicas acknowledged in time could be lost in a failover, so it is not
// counted stored, and *shortfall says so.
bool redis_set(py::handle self, py::handle client, py::handle key, py::handle value, py::handle ttl,
               ref* shortfall) {
    ref keep;
    Stats* st = stats_of(self, &keep);
    if (st == nullptr || st->wait_replicas == 0)
        return xcore::truth(xcore::vcall_method(client, XNAME("set"), {key, value, ttl}, XKW("ex")));
    ref replicas = ref::steal(PyLong_FromUnsignedLongLong(st->wait_replicas));
    ref timeout = ref::steal(PyLong_FromUnsignedLongLong(st->wait_timeout_ms));
    ref pipe = xcore::vcall_method(client, XNAME("pipeline"), {Py_False}, XKW("transaction"));
    xcore::vcall_method(pipe, XNAME("set"), {key, value, ttl}, XKW("ex"));
    call_method(pipe, XNAME("wait"), replicas, timeout);
    ref replies = ref::steal(PySequence_Tuple(call_method(pipe, XNAME("execute")).ptr()));
    if (PyTuple_GET_SIZE(replies.ptr()) != 2 || !xcore::truth(PyTuple_GET_ITEM(replies.ptr(), 0)))
        return false;
    unsigned long long acks = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(replies.ptr(), 1));
    if (acks == (unsigned long long)-1 && PyErr_Occurred())
        throw py::error_already_set();
    if (acks >= st->wait_replicas)
        return true;
    *shortfall = ref::steal(PyUnicode_FromFormat("%llu of %llu replicas acknowledged the write within %llu ms (WAIT)",
                                                 acks, st->wait_replicas, st->wait_timeout_ms));
    return false;
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

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Text without the reprs of objects ("<redis.client.Redis(<...>)>", which a
// Sentinel's error carries for every Sentinel it asked) and with each run of
// white space made one space; the text as it was when a "<" is not closed.
std::string without_reprs(const char* text, Py_ssize_t n, bool strip = true) {
    std::string out;
    int depth = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char ch = text[i];
        if (strip && ch == '<' && i + 1 < n && (std::isalpha(static_cast<unsigned char>(text[i + 1])) || depth > 0)) {
            ++depth;
        } else if (depth > 0) {
            depth -= ch == '>';
        } else if (std::isspace(static_cast<unsigned char>(ch))) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += ch;
        }
    }
    if (depth > 0)
        return without_reprs(text, n, false);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// "Type: text" of a failure on one line, cut to a length a log line can
// carry. redis-py's own text names the cause and the server ("Error 111
// connecting to host:port. Connection refused.", the TLS error, "Timeout
// reading from host:port"); where it says nothing, the exception it was
// raised from does.
ref short_cause(py::handle exc) {
    auto line_of = [](py::handle e) {
        ref text = text_of(e);
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        if (utf8 == nullptr)
            throw py::error_already_set();
        return without_reprs(utf8, n);
    };
    std::string line = line_of(exc);
    ref named = ref::borrow(exc);
    if (!PyUnicode_Check(exc.ptr())) {
        for (int depth = 0; line.empty() && depth < 16; ++depth) {  // a chain may loop
            PyObject* next = PyException_GetCause(named.ptr());
            if (next == nullptr && !reinterpret_cast<PyBaseExceptionObject*>(named.ptr())->suppress_context)
                next = PyException_GetContext(named.ptr());
            if (next == nullptr)
                break;
            named = ref::steal(next);
            line = line_of(named);
        }
        const char* type = Py_TYPE(named.ptr())->tp_name;
        if (const char* dot = std::strrchr(type, '.'))
            type = dot + 1;
        line = line.empty() ? std::string(type) : std::string(type) + ": " + line;
    }
    ref out = ref::steal(PyUnicode_DecodeUTF8(line.data(), (Py_ssize_t)line.size(), "replace"));
    constexpr Py_ssize_t kLongest = 300;
    if (PyUnicode_GET_LENGTH(out.ptr()) > kLongest) {
        ref head = ref::steal(PyUnicode_Substring(out.ptr(), 0, kLongest));
        out = ref::steal(PyUnicode_FromFormat("%U...", head.ptr()));
    }
    return out;
}

// An outage of the server (or of the replicas that WAIT asks for), as opposed
// to a payload that cannot be stored, which is logged each time.
bool server_failure(py::handle exc) {
    if (PyUnicode_Check(exc.ptr()) || PyObject_IsInstance(exc.ptr(), PyExc_OSError) == 1)
        return true;
    ref errors = xcore::getattr(G.get(XNAME("redis")), XNAME("exceptions"));
    int is = PyObject_IsInstance(exc.ptr(), xcore::getattr(errors, XNAME("RedisError")).ptr());
    if (is < 0)
        throw py::error_already_set();
    return is == 1;
}

// "12.3" for 12.34 seconds.
ref tenths(double seconds) {
    auto t = static_cast<unsigned long long>(seconds * 10 + 0.5);
    return ref::steal(PyUnicode_FromFormat("%llu.%llu", t / 10, t % 10));
}

// ", 7 displaced" when `now` is past `mark`, else "".
ref displaced_since(unsigned long long mark, unsigned long long now) {
    return now > mark ? ref::steal(PyUnicode_FromFormat(", %llu displaced", now - mark)) : ref::borrow(XNAME(""));
}

// A failed write in episode mode: the first of an outage in one line (the
// default text, with the short cause), later ones in a summary at most every
// period. The state is settled before logging, which may let other threads in.
void episode_failure(Stats* st, py::handle key, py::handle exc) {
    Stats::Episode& e = st->episode;
    double now = seconds_now();
    e.cause = short_cause(exc);
    if (!e.open) {
        e.open = true;
        e.started = e.last_line = now;
        e.failed = 1;
        e.failed_since_line = 0;
        e.displaced_at_start = e.displaced_at_line = e.displaced_at_store;
        ref period = tenths(e.period);
        log(XNAME("error"), ref::steal(PyUnicode_FromFormat(
                                "Failed to write data to redis`%U` - %U (further failures: a summary at most "
                                "every %U s)",
                                key.ptr(), e.cause.ptr(), period.ptr())));
        return;
    }
    ++e.failed;
    ++e.failed_since_line;
    if (now - e.last_line < e.period)
        return;
    unsigned long long n = e.failed_since_line, displaced_now = st->displaced.load(std::memory_order_relaxed);
    ref took = tenths(now - e.last_line), displaced = displaced_since(e.displaced_at_line, displaced_now);
    ref cause = e.cause;
    e.last_line = now;
    e.failed_since_line = 0;
    e.displaced_at_line = displaced_now;
    log(XNAME("error"), ref::steal(PyUnicode_FromFormat("%llu writes failed in %U s%U: %U", n, took.ptr(),
                                                        displaced.ptr(), cause.ptr())));
}

// A store after an outage closes its episode with one line.
void episode_stored(Stats* st) {
    Stats::Episode& e = st->episode;
    if (!e.on)
        return;
    e.displaced_at_store = st->displaced.load(std::memory_order_relaxed);
    if (!e.open)
        return;
    e.open = false;
    ref took = tenths(seconds_now() - e.started);
    ref displaced = displaced_since(e.displaced_at_start, e.displaced_at_store);
    log(XNAME("warning"), ref::steal(PyUnicode_FromFormat("Writes stored again after %U s, %llu failed meanwhile%U",
                                                          took.ptr(), e.failed, displaced.ptr())));
}

// Logs a failed store and keeps its text as the client's last error; `exc`
// is the exception, or the text that says why.
void log_write_error(py::handle self, py::handle key, py::handle exc) {
    ref err = PyUnicode_Check(exc.ptr()) ? ref::borrow(exc) : text_of(exc);
    ref message = ref::steal(PyUnicode_FromFormat("Failed to write data to redis`%U` - %U", key.ptr(), err.ptr()));
    ref keep;
    Stats* st = stats_of(self, &keep);
    if (st)
        st->last_error = message;
    if (st && st->episode.on && server_failure(exc))
        return episode_failure(st, key, exc);
    log(XNAME("error"), message);
}

// self._write_(data, key, ttl), counted as stored or failed (a raise too).
ref counted_write(py::handle self, py::handle data, py::handle key, py::handle ttl) {
    ref keep;
    Stats* st = stats_of(self, &keep);
    ref result;
    try {
        result = xcore::vcall_method(self, XNAME("_write_"), {data, key, ttl});
    } catch (py::error_already_set&) {
        if (st)
            st->failed.fetch_add(1, std::memory_order_relaxed);
        throw;
    }
    if (st) {
        bool stored = xcore::truth(result);
        (stored ? st->stored : st->failed).fetch_add(1, std::memory_order_relaxed);
        if (stored)
            episode_stored(st);
    }
    return result;
}

// ---- StoreClient: construction and the background writer --------------------------

// The client behind a link (a _WeakClient), or an empty ref once it is freed.
ref linked_client(py::handle link) {
    ref client = xcore::call(xcore::getattr(link, XNAME("_client")));
    return client.is_none() ? ref() : std::move(client);
}

// Starts a writer thread on the link's run, which holds the client weakly;
// a subclass that brings its own _worker_loop gets it run as the target.
void start_writer(py::handle self, py::handle link) {
    ref own = xcore::getattr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), XNAME("_worker_loop"));
    ref target = own.ptr() == C.worker_loop ? xcore::getattr(link, XNAME("run"))
                                            : xcore::getattr(self, XNAME("_worker_loop"));
    ref keep;
    if (Stats* st = stats_of(self, &keep))
        st->tracked = own.ptr() == C.worker_loop;
    ref worker = xcore::vcall(xcore::getattr(G.get(XNAME("threading")), XNAME("Thread")),
                              {target, XNAME("StoreClientWorker"), Py_True}, XKW("target", "name", "daemon"));
    xcore::setattr(self, XNAME("_worker"), worker);
    call_method(worker, XNAME("start"));
}


// from_url notes its URL and options on the instance it made, under this
// name, before running its __init__; StoreClient.__init__ takes them off.
py::handle from_url_note() { return XNAME("_from_url"); }

// The instance's (url, options) noted by from_url, removed from it; an
// empty ref when it was made otherwise.
ref take_from_url_note(py::handle self) {
    ref dict = ref::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict)
        throw py::error_already_set();
    PyObject* note = PyDict_GetItemWithError(dict.ptr(), from_url_note().ptr());
    if (note == nullptr) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        return ref();
    }
    ref kept = ref::borrow(note);
    if (PyDict_DelItem(dict.ptr(), from_url_note().ptr()) != 0)
        throw py::error_already_set();
    return kept;
}

// A redis-py client for a URL (every mode is redis-py's own client; the
// support module only reads the URL), its pool sized as the constructor's.
ref client_from_url(py::handle url, py::handle max_connections, py::handle options) {
    ref connection = ref::steal(PyImport_ImportModule("xalo_sdk.redis._connection"));
    return call_method(connection, XNAME("client_from_url"), url, max_connections, options);
}

// A URL client connects while it is made, so that its first writes are not
// held up (and displaced) behind a TLS handshake or a Sentinel query. A server
// that is not there yet costs one warning; the writer connects later.
ref connected_now(ref client) {
    ref connection = ref::steal(PyImport_ImportModule("xalo_sdk.redis._connection"));
    ref problem = call_method(connection, XNAME("connect_now"), client);
    if (!problem.is_none())
        log(XNAME("warning"), problem);
    return client;
}

// The client object of a new StoreClient: from_url's URL; else REDIS_URL when
// host and port are both left at their defaults; else a pool for host:port.
ref make_redis_client(py::handle self, py::handle host, py::handle port, py::handle max_connections) {
    ref note = take_from_url_note(self);
    if (note)
        return connected_now(
            client_from_url(PyTuple_GET_ITEM(note.ptr(), 0), max_connections, PyTuple_GET_ITEM(note.ptr(), 1)));
    if (!C.default_url.get().is_none() && host.ptr() == C.default_host.ptr() && port.ptr() == C.default_port.ptr())
        return connected_now(client_from_url(C.default_url, max_connections, ref::steal(PyDict_New())));
    ref redis = G.get(XNAME("redis"));
    // No socket timeouts, whatever the redis-py release (8.0 made 5 s its
    // default): a stalled server holds a call until it answers again.
    ref pool = xcore::vcall(xcore::getattr(redis, XNAME("ConnectionPool")),
                            {host, port, max_connections, Py_False, Py_None, Py_None},
                            XKW("host", "port", "max_connections", "decode_responses", "socket_timeout",
                                "socket_connect_timeout"));
    return xcore::vcall(xcore::getattr(redis, XNAME("StrictRedis")), {pool}, XKW("connection_pool"));
}

XALO_FUNCTION(init, self, thread, host, port, workers) {
    py::handle self = a[p::self], host = a.str(p::host), port = a.integer(p::port), workers = a.integer(p::workers);
    xcore::setattr(self, XNAME("_use_thread"), a.flag(p::thread) ? Py_True : Py_False);

    // max(10, workers * 5) connections and a queue of max(1, workers).
    ref by_five = ref::steal(PyNumber_Multiply(workers.ptr(), C.five.ptr()));
    ref max_connections = xcore::compare(by_five, C.ten, Py_GT) ? std::move(by_five) : ref::borrow(C.ten);
    ref maxsize = ref::borrow(xcore::compare(workers, C.one, Py_GT) ? workers : C.one.get());

    xcore::setattr(self, XNAME("_redis_client"), make_redis_client(self, host, port, max_connections));
    xcore::setattr(self, XNAME("_executor"), Py_None);
    xcore::setattr(self, XNAME("_queue"), Py_None);
    xcore::setattr(self, XNAME("_worker"), Py_None);
    xcore::setattr(self, XNAME("_stop_evt"),
                   xcore::call(xcore::getattr(G.get(XNAME("threading")), XNAME("Event"))));

    xcore::setattr(self, XNAME("_stats"), new_stats());
    {
        ref keep;
        Stats* st = stats_of(self, &keep);
        read_client_settings(st);
        if (st->wait_replicas > 0) {
            // A cluster client sends WAIT to every master, not on the
            // connection that stored the key.
            ref cluster = ref::steal(PyImport_ImportModule("redis.cluster"));
            int is_cluster = PyObject_IsInstance(xcore::getattr(self, XNAME("_redis_client")).ptr(),
                                                 xcore::getattr(cluster, XNAME("RedisCluster")).ptr());
            if (is_cluster < 0)
                throw py::error_already_set();
            if (is_cluster) {
                PyErr_SetString(PyExc_ValueError,
                                "XALO_WAIT_REPLICAS cannot be used with a Redis Cluster client; set the "
                                "masters' min-replicas-to-write instead");
                throw py::error_already_set();
            }
        }
    }

    if (xcore::truth(xcore::getattr(self, XNAME("_use_thread")))) {
        xcore::setattr(self, XNAME("_queue"),
                       xcore::vcall(xcore::getattr(G.get(XNAME("queue")), XNAME("Queue")), {maxsize},
                                    XKW("maxsize")));
        // The exit hook and the writer hold the client weakly, through its
        // link, so that a client that is dropped unclosed is freed with its
        // thread and connections.
        ref link = xcore::call(C.link_type, self);
        ref keep;
        stats_of(self, &keep)->link = link;
        start_writer(self, link);
        call_method(G.get(XNAME("atexit")), XNAME("register"), link);
        if (PySet_Add(G.get(XNAME("_background")).ptr(), link.ptr()) != 0)
            throw py::error_already_set();
    }
    return py::none();
}

// Empties a stopped writer's queue, counting the writes it held as dropped
// (the writer takes nothing more once stopped, so each is counted once).
void drop_pending(py::handle self, py::handle q) {
    ref keep;
    Stats* st = stats_of(self, &keep);
    for (;;) {
        ref item = xcore::try_vcall_method(q, XNAME("get_nowait"), {});
        if (!item) {
            ignore_exception();  // queue.Empty
            return;
        }
        if (st != nullptr && item.ptr() != C.wake) {
            st->dropped.fetch_add(1, std::memory_order_relaxed);
            note_finished(st, item);
        }
        if (!xcore::try_vcall_method(q, XNAME("task_done"), {}))
            ignore_exception();
    }
}

XALO_FUNCTION(shutdown_executor, self) {
    py::handle self = a[p::self];
    xcore::catch_exception(
        [&] {
            call_method(xcore::getattr(self, XNAME("_stop_evt")), XNAME("set"));
            // An idle writer waits on the queue: wake it rather than wait
            // for its next look at the event.
            ref q = xcore::getattr(self, XNAME("_queue"));
            if (!q.is_none() && !xcore::try_vcall_method(q, XNAME("put_nowait"), {py::handle(C.wake)}))
                ignore_exception();
            ref worker = xcore::getattr(self, XNAME("_worker"));
            if (!worker.is_none())
                xcore::vcall_method(worker, XNAME("join"), {C.wait_for_writer}, XKW("timeout"));
            xcore::setattr(self, XNAME("_queue"), Py_None);
            xcore::setattr(self, XNAME("_executor"), Py_None);
            xcore::setattr(self, XNAME("_use_thread"), Py_False);
            if (!q.is_none())
                drop_pending(self, q);
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
            counted_write(self, PyTuple_GET_ITEM(item.ptr(), 0), key, PyTuple_GET_ITEM(item.ptr(), 2));
        },
        [&](py::handle exc) { log_write_error(self, text_of(key), exc); });
}

// The writer's loop. client() gives the client for one round, or an empty
// ref once it is gone; between rounds the loop holds only the queue, so a
// writer that holds its client weakly never keeps it alive while it waits.
template <class Client>
void run_writer(Client&& client) {
    for (;;) {
        // The writer never dies: whatever one round raises is logged and the
        // loop goes on; only the stop event (a detached queue, a freed
        // client) ends it.
        bool stop = xcore::catch_exception(
            [&] {
                ref q;
                {
                    ref self = client();
                    if (!self || xcore::truth(call_method(xcore::getattr(self, XNAME("_stop_evt")),
                                                          XNAME("is_set"))))
                        return true;
                    q = xcore::getattr(self, XNAME("_queue"));
                    if (q.is_none())
                        return true;
                }
                ref item = xcore::try_vcall_method(q, XNAME("get"), {C.wait_for_work}, XKW("timeout"));
                if (!item) {
                    // queue.Empty: nothing arrived within the timeout.
                    xcore::PendingError e;
                    if (!e.matches(xcore::getattr(G.get(XNAME("queue")), XNAME("Empty"))))
                        e.rethrow();
                    return false;
                }
                bool gone = false;
                if (item.ptr() != C.wake) {
                    ref self = client();
                    gone = !self;
                    if (!gone) {
                        ref keep;
                        Stats* st = stats_of(self, &keep);
                        note_taken(st, item);
                        write_item(self, item);
                        note_finished(st, item);
                    }
                }
                if (!xcore::try_vcall_method(q, XNAME("task_done"), {}))
                    ignore_exception();
                return gone;
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
            return;
    }
}

XALO_FUNCTION(worker_loop, self) {
    py::handle self = a[p::self];
    {
        // An override that runs the kit's loop (super()._worker_loop()).
        ref keep;
        if (Stats* st = stats_of(self, &keep))
            st->tracked = true;
    }
    run_writer([&] { return ref::borrow(self); });
    return py::none();
}

// ---- StoreClient: write path ------------------------------------------------------

XALO_FUNCTION(write_, self, data, redis_key, ttl) {
    py::handle self = a[p::self], data = a.dict(p::data), key = a.str(p::redis_key), ttl = a.integer(p::ttl);
    ref value = call_method(G.get(XNAME("orjson")), XNAME("dumps"), data);
    return xcore::catch_exception(
        [&]() -> ref {
            ref client = redis_client(self), shortfall;
            if (!redis_set(self, client, key, value, ttl, &shortfall)) {
                if (shortfall)
                    log_write_error(self, key, shortfall);
                return py::bool_(false);
            }
            notify(client, key);
            return py::bool_(true);
        },
        [&](py::handle exc) -> ref {
            log_write_error(self, key, exc);
            return py::bool_(false);
        });
}

XALO_FUNCTION(write_frame_packet, self, data, redis_key, ttl) {
    py::handle self = a[p::self], data = a[p::data], key = a.str(p::redis_key), ttl = a.integer(p::ttl);
    if (data.is_none())
        return call_method(self, XNAME("delete_data"), key);
    if (xcore::truth(xcore::getattr(self, XNAME("_use_thread")))) {
        ref q = xcore::getattr(self, XNAME("_queue"));
        if (!q.is_none()) {
            // Strict mode: a payload that cannot be serialised fails here, in
            // the caller's thread, instead of in the writer's log.
            if (G.strict())
                call_method(G.get(XNAME("orjson")), XNAME("dumps"), data);
            ref keep;
            Stats* st = stats_of(self, &keep);
            if (st)
                st->queued.fetch_add(1, std::memory_order_relaxed);
            ref item = ref::steal(PyTuple_Pack(3, data.ptr(), key.ptr(), ttl.ptr()));
            note_unfinished(st, item, q);
            if (xcore::try_vcall_method(q, XNAME("put_nowait"), {item}))
                return py::bool_(true);
            {
                xcore::PendingError first;
                if (!first.matches(xcore::getattr(G.get(XNAME("queue")), XNAME("Full")))) {
                    if (st)
                        st->queued.fetch_sub(1, std::memory_order_relaxed);
                    note_finished(st, item);
                    first.rethrow();
                }
            }
            // Displace the oldest pending write; the writer may have taken it
            // meanwhile, then there is nothing to displace.
            ref displaced = xcore::try_vcall_method(q, XNAME("get_nowait"), {});
            if (!displaced) {
                ignore_exception();
            } else {
                if (st)
                    st->displaced.fetch_add(1, std::memory_order_relaxed);
                note_finished(st, displaced);
                if (!xcore::try_vcall_method(q, XNAME("task_done"), {}))
                    ignore_exception();
            }
            if (xcore::try_vcall_method(q, XNAME("put_nowait"), {item}))
                return py::bool_(true);
            ignore_exception();
            if (st)
                st->queued.fetch_sub(1, std::memory_order_relaxed);
            // Written here instead; finished once that write is.
            try {
                ref written = counted_write(self, data, key, ttl);
                note_finished(st, item);
                return written;
            } catch (...) {
                note_finished(st, item);
                throw;
            }
        }
    }
    return counted_write(self, data, key, ttl);
}

XALO_FUNCTION(delete_data, self, redis_key) {
    py::handle self = a[p::self], key = a.str(p::redis_key);
    return py::bool_(xcore::truth(call_method(redis_client(self), XNAME("delete"), key)));
}

// ---- StoreClient: bulk delete and key scan ----------------------------------------

XALO_FUNCTION(delete_many, self, redis_keys) {
    py::handle self = a[p::self], keys = a.list(p::redis_keys);
    if (PyList_GET_SIZE(keys.ptr()) == 0)
        return py::int_(0);
    ref method = xcore::getattr(redis_client(self), XNAME("delete"));
    ref args = ref::steal(PyList_AsTuple(keys.ptr()));
    ref reply = ref::steal(PyObject_Call(method.ptr(), args.ptr(), nullptr));
    if (reply.is_none() || PyLong_CheckExact(reply.ptr()))
        return reply;
    return ref::steal(PyNumber_Long(reply.ptr()));
}

XALO_FUNCTION(scan_keys, self, pattern) {
    py::handle self = a[p::self], pattern = a.str(p::pattern);
    ref it = xcore::vcall_method(redis_client(self), XNAME("scan_iter"), {pattern}, XKW("match"));
    ref keys = xcore::new_list();
    xcore::for_each(it, [&](py::handle key) {
        if (!PyBytes_Check(key.ptr()))
            return xcore::append(keys, key);
        PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.ptr()), PyBytes_GET_SIZE(key.ptr()), "strict");
        if (text != nullptr)
            return xcore::append(keys, ref::steal(text));
        // Another program's binary key: it cannot be named as a str (nor
        // passed back to the client as one), so it is left out, with a warning.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            throw py::error_already_set();
        PyErr_Clear();
        log(XNAME("warning"), ref::steal(PyUnicode_FromFormat("Skipped a key that is not UTF-8: %R", key.ptr())));
    });
    return keys;
}

// ---- StoreClient: synchronous writes and reads ------------------------------------

XALO_FUNCTION(write_data, self, redis_key, data, ttl) {
    py::handle self = a[p::self], key = a.str(p::redis_key), data = a[p::data], ttl = a.integer(p::ttl);
    ref value = PyDict_Check(data.ptr()) ? call_method(G.get(XNAME("orjson")), XNAME("dumps"), data)
                                          : ref::borrow(data);
    ref client = redis_client(self), shortfall;
    if (!redis_set(self, client, key, value, ttl, &shortfall))
        return py::bool_(false);
    notify(client, key);
    return py::bool_(true);
}

constexpr unsigned long long kDefaultMaxPayloadBytes = 64ULL << 20;

// XALO_MAX_PAYLOAD_BYTES when it holds a positive integer, else the default.
unsigned long long max_payload_bytes() {
    return xcore::env_positive("XALO_MAX_PAYLOAD_BYTES", kDefaultMaxPayloadBytes);
}

// True (after a warning) when a value of `size` bytes is over the limit.
bool refuse_oversized(py::handle key, unsigned long long size, unsigned long long limit) {
    if (size <= limit)
        return false;
    log(XNAME("warning"), ref::steal(PyUnicode_FromFormat(
                              "Refused redis value of %U: %llu bytes, more than %llu (XALO_MAX_PAYLOAD_BYTES)",
                              key.ptr(), size, limit)));
    return true;
}

// Values up to this length (and the limit) come back in one round trip;
// a longer one costs one more, a refused one never more than this.
constexpr unsigned long long kOneTripBytes = 4ULL << 20;
// Reads of a value that a writer changes between two round trips start
// over this many times before the read gives up.
constexpr int kReadAttempts = 3;

// A reply that must be a non-negative integer, or false when it is not one
// (a client of the caller's own that answers otherwise).
bool count_reply(py::handle reply, unsigned long long* n) {
    if (!PyLong_Check(reply.ptr()))
        return false;
    *n = PyLong_AsUnsignedLongLong(reply.ptr());
    if (*n == (unsigned long long)-1 && PyErr_Occurred())
        throw py::error_already_set();
    return true;
}

ref getrange(py::handle client, py::handle key, unsigned long long last) {
    ref end = ref::steal(PyLong_FromUnsignedLongLong(last));
    return call_method(client, XNAME("getrange"), key, C.zero, end);
}

enum class Read { Done, Again, Unbounded };

// One bounded read. GETRANGE is atomic, so a reply shorter than asked for is
// the whole value at that moment. The first try is that GETRANGE alone, of the
// first `fetch` bytes: one command and one round trip for every value shorter
// than the window. An empty reply (empty or missing?) is asked again as one
// pipeline of EXISTS, GETRANGE and STRLEN, and so is any later try. A longer
// value within the limit is fetched whole with a second GETRANGE that asks for
// one byte more than STRLEN said, so that a value that grew in between is
// read again rather than cut short. No command asks for more than limit + 1
// bytes.
Read bounded_read(Stats* st, py::handle client, py::handle key, unsigned long long limit, bool first, ref* out) {
    unsigned long long fetch = limit < kOneTripBytes ? limit + 1 : kOneTripBytes;  // no wrap at the top
    std::atomic<bool>& refused = first ? st->no_getrange : st->no_pipeline_read;
    if (refused)
        return Read::Unbounded;
    ref last = ref::steal(PyLong_FromUnsignedLongLong(fetch - 1)), replies;
    if (first) {
        ref head = xcore::try_vcall_method(client, XNAME("getrange"), {key, C.zero, last});
        if (head)
            replies = ref::steal(PyTuple_Pack(1, head.ptr()));
    } else {
        ref pipe = xcore::vcall_method(client, XNAME("pipeline"), {Py_False}, XKW("transaction"));
        call_method(pipe, XNAME("exists"), key);
        call_method(pipe, XNAME("getrange"), key, C.zero, last);
        call_method(pipe, XNAME("strlen"), key);
        replies = xcore::try_vcall_method(pipe, XNAME("execute"), {});
        if (replies)
            replies = ref::steal(PySequence_Tuple(replies.ptr()));
    }
    if (!replies) {
        xcore::PendingError e;
        if (!e.matches(C.no_permission))
            e.rethrow();
        refused = true;  // this user may not: read as it may, from now on
        return Read::Unbounded;
    }
    unsigned long long exists = 1, size = 0;
    bool sized = false;
    if (!first && (PyTuple_GET_SIZE(replies.ptr()) != 3 || !count_reply(PyTuple_GET_ITEM(replies.ptr(), 0), &exists) ||
                   !(sized = count_reply(PyTuple_GET_ITEM(replies.ptr(), 2), &size))))
        return Read::Unbounded;
    py::handle head = PyTuple_GET_ITEM(replies.ptr(), first ? 0 : 1);
    if (!PyBytes_Check(head.ptr()))
        return Read::Unbounded;
    auto n = (unsigned long long)PyBytes_GET_SIZE(head.ptr());
    if (n == 0 && first)
        return Read::Again;
    if (n < fetch) {
        *out = n == 0 && exists == 0 ? ref::borrow(Py_None) : ref::borrow(head);
        return Read::Done;
    }
    if (!sized && !count_reply(call_method(client, XNAME("strlen"), key), &size))
        return Read::Unbounded;
    if (refuse_oversized(key, size, limit)) {
        *out = ref::borrow(Py_None);
        return Read::Done;
    }
    if (size < fetch || fetch > limit)  // shrank since the GETRANGE
        return Read::Again;
    ref body = getrange(client, key, size);
    if (!PyBytes_Check(body.ptr()))
        return Read::Unbounded;
    n = (unsigned long long)PyBytes_GET_SIZE(body.ptr());
    if (n == 0 || n > size)  // gone, or grew since the STRLEN
        return Read::Again;
    *out = std::move(body);
    return Read::Done;
}

// A value over the payload limit is never fetched. Users that may not send
// GETRANGE or EXISTS read with STRLEN, then GET: a value replaced by a longer
// one between the two (or set on a key that was missing or empty at the
// STRLEN) is fetched whole before it is refused; the caller still never
// sees it, but the memory is spent.
ref read_value(py::handle self, py::handle key, Stats* st) {
    ref client = redis_client(self);
    unsigned long long limit = max_payload_bytes();
    if (st != nullptr) {
        ref value;
        Read r = bounded_read(st, client, key, limit, true, &value);
        for (int attempt = 0; r == Read::Again && attempt < kReadAttempts; ++attempt)
            r = bounded_read(st, client, key, limit, false, &value);
        if (r == Read::Done)
            return value;
        if (r == Read::Again) {
            log(XNAME("warning"), ref::steal(PyUnicode_FromFormat(
                                      "Gave up reading redis value of %U: it changed length at every read",
                                      key.ptr())));
            return py::none();
        }
    }
    unsigned long long size = 0;
    if (count_reply(call_method(client, XNAME("strlen"), key), &size) && refuse_oversized(key, size, limit))
        return py::none();
    ref value = call_method(client, XNAME("get"), key);
    if (PyBytes_Check(value.ptr()) && refuse_oversized(key, (unsigned long long)PyBytes_GET_SIZE(value.ptr()), limit))
        return py::none();
    return value;
}

XALO_FUNCTION(read_data, self, redis_key) {
    py::handle self = a[p::self], key = a.str(p::redis_key);
    ref keep;
    Stats* st = stats_of(self, &keep);
    if (st == nullptr)
        return read_value(self, key, st);
    st->reads.fetch_add(1, std::memory_order_relaxed);
    ref value;
    try {
        value = read_value(self, key, st);
    } catch (const py::error_already_set&) {
        st->read_errors.fetch_add(1, std::memory_order_relaxed);
        throw;
    }
    if (value.is_none())
        st->reads_none.fetch_add(1, std::memory_order_relaxed);
    else if (PyBytes_Check(value.ptr()))
        st->read_bytes.fetch_add((unsigned long long)PyBytes_GET_SIZE(value.ptr()), std::memory_order_relaxed);
    return value;
}

XALO_FUNCTION(read_frame_packet, self, redis_key) {
    py::handle self = a[p::self], key = a.str(p::redis_key);
    return xcore::catch_exception(
        [&]() -> ref {
            ref data = xcore::vcall_method(self, XNAME("read_data"), {key}, XKW("redis_key"));
            if (PyBytes_Check(data.ptr()))
                return call_method(G.get(XNAME("orjson")), XNAME("loads"), data);
            return data;
        },
        [&](py::handle exc) -> ref {
            ref err = text_of(exc);
            log(XNAME("warning"),
                ref::steal(PyUnicode_FromFormat("Failed to get redis frame from %U - %U", key.ptr(), err.ptr())));
            return py::none();
        });
}

// ---- StoreClient: public lifecycle --------------------------------------------

// Stops the writer as interpreter exit would, and drops the exit hook so that a
// closed client can be freed. Safe to call any number of times.
XALO_FUNCTION(close_client, self) {
    py::handle self = a[p::self];
    call_method(self, XNAME("_shutdown_executor"));
    xcore::catch_exception(
        [&] {
            ref keep, link;
            Stats* st = stats_of(self, &keep);
            if (st != nullptr && st->link) {
                link = st->link;
                if (PySet_Discard(G.get(XNAME("_background")).ptr(), link.ptr()) < 0)
                    throw py::error_already_set();
            } else {
                link = xcore::getattr(self, XNAME("_shutdown_executor"));
            }
            call_method(G.get(XNAME("atexit")), XNAME("unregister"), link);
        },
        [](py::handle) {});
    return py::none();
}

// Waits until every payload queued before the call has been stored,
// displaced or has failed: until none of the writes the client noted as
// unfinished at the call is still noted.
XALO_FUNCTION(flush, self, timeout) {
    py::handle self = a[p::self], timeout = a.real(p::timeout);
    ref keep;
    Stats* st = stats_of(self, &keep);
    // Stopped with writes still pending: those were never stored.
    bool none_dropped = st == nullptr || st->dropped.load(std::memory_order_relaxed) == 0;
    if (!xcore::truth(xcore::getattr(self, XNAME("_use_thread"))))
        return py::bool_(none_dropped);
    ref q = xcore::getattr(self, XNAME("_queue"));
    if (q.is_none() || st == nullptr)
        return py::bool_(none_dropped);
    ref time = G.get(XNAME("time"));
    double deadline = 0;
    if (!timeout.is_none())
        deadline = PyFloat_AS_DOUBLE(call_method(time, XNAME("monotonic")).ptr()) + PyFloat_AS_DOUBLE(timeout.ptr());
    // The writes pending at the call on this queue or in the writer's hands,
    // held so that no other object can take one of their identities.
    std::vector<ref> waited_for;
    for (const auto& p : st->unfinished)
        if (!p.queue || p.queue.ptr() == q.ptr())
            waited_for.push_back(p.item);
    for (;;) {
        const auto& now = st->unfinished;
        bool left = st->tracked ? std::none_of(waited_for.begin(), waited_for.end(), [&](const ref& w) {
            return std::any_of(now.begin(), now.end(), [&](const Stats::Pending& u) { return u.item.ptr() == w.ptr(); });
        }) : xcore::truth(call_method(q, XNAME("empty")));
        if (left)
            return py::bool_(true);
        // Stopped (or forked) meanwhile: what was pending is not written.
        if (xcore::getattr(self, XNAME("_queue")).ptr() != q.ptr())
            return py::bool_(false);
        if (!timeout.is_none() &&
            PyFloat_AS_DOUBLE(call_method(time, XNAME("monotonic")).ptr()) >= deadline)
            return py::bool_(false);
        call_method(time, XNAME("sleep"), C.flush_poll);
    }
}

// StoreClient.subscribe(keys, idle=1.0): the keys' notifications, heard on a
// connection made with this client's settings (its URL, TLS, user, Sentinel).
XALO_FUNCTION(subscribe, self, keys, idle) {
    return xcore::vcall(G.get(XNAME("Subscription")),
                        {redis_client(a[p::self]), a[p::keys], a.real(p::idle)}, XKW("idle"));
}

XALO_FUNCTION(stats, self) {
    py::handle self = a[p::self];
    ref keep;
    Stats* st = stats_of(self, &keep);
    ref out = ref::steal(PyDict_New());
    auto count = [&](const char* name, const std::atomic<unsigned long long>* n) {
        ref value = ref::steal(PyLong_FromUnsignedLongLong(n ? n->load(std::memory_order_relaxed) : 0));
        if (PyDict_SetItemString(out.ptr(), name, value.ptr()) != 0)
            throw py::error_already_set();
    };
    count("queued", st ? &st->queued : nullptr);
    count("stored", st ? &st->stored : nullptr);
    count("displaced", st ? &st->displaced : nullptr);
    count("failed", st ? &st->failed : nullptr);
    count("dropped", st ? &st->dropped : nullptr);
    py::handle last = st != nullptr && st->last_error ? py::handle(st->last_error) : py::handle(Py_None);
    if (PyDict_SetItemString(out.ptr(), "last_error", last.ptr()) != 0)
        throw py::error_already_set();
    return out;
}

// Every count of the client, for monitoring: stats()'s write counts and the
// reads'. A dict of its own, so that stats() keeps the keys code relies on.
XALO_FUNCTION(figures, self) {
    ref keep;
    Stats* st = stats_of(a[p::self], &keep);
    ref out = ref::steal(PyDict_New());
    const std::pair<const char*, std::atomic<unsigned long long> Stats::*> counts[] = {
        {"queued", &Stats::queued},   {"stored", &Stats::stored},         {"displaced", &Stats::displaced},
        {"failed", &Stats::failed},   {"dropped", &Stats::dropped},       {"reads", &Stats::reads},
        {"reads_none", &Stats::reads_none}, {"read_errors", &Stats::read_errors}, {"read_bytes", &Stats::read_bytes}};
    for (const auto& c : counts) {
        ref value = ref::steal(PyLong_FromUnsignedLongLong(st ? (st->*c.second).load(std::memory_order_relaxed) : 0));
        if (PyDict_SetItemString(out.ptr(), c.first, value.ptr()) != 0)
            throw py::error_already_set();
    }
    return out;
}

// StoreClient.from_url(url, thread=True, workers=2, **options): the class
// called as cls(thread, workers=workers), so that a subclass's __init__ runs,
// in its two steps as type() takes them: the new instance carries the URL
// into its StoreClient.__init__, which connects by it instead of host and port.
XALO_FUNCTION(from_url, cls, url, thread, workers, options) {
    py::handle cls = a[p::cls], url = a.str(p::url), workers = a.integer(p::workers), options = a[p::options];
    py::handle thread = a.flag(p::thread) ? Py_True : Py_False;
    ref self = xcore::vcall(xcore::getattr(cls, XNAME("__new__")), {cls, thread, workers}, XKW("workers"));
    int made = PyObject_IsInstance(self.ptr(), cls.ptr());
    if (made < 0)
        throw py::error_already_set();
    bool taken = false;
    if (made) {
        ref note = ref::steal(PyTuple_Pack(2, url.ptr(), options.ptr()));
        if (PyObject_GenericSetAttr(self.ptr(), from_url_note().ptr(), note.ptr()) != 0)
            throw py::error_already_set();
        ref init = xcore::getattr(ref::borrow((PyObject*)Py_TYPE(self.ptr())), XNAME("__init__"));
        ref result = xcore::vcall(init, {self, thread, workers}, XKW("workers"));
        if (!result.is_none()) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.ptr())->tp_name);
            throw py::error_already_set();
        }
        taken = !take_from_url_note(self);
    }
    if (!taken) {
        PyErr_Format(PyExc_TypeError, "%R.__init__ did not call StoreClient.__init__, so from_url could not connect it",
                     cls.ptr());
        throw py::error_already_set();
    }
    return self;
}

XALO_FUNCTION(enter, self) { return ref::borrow(a[p::self]); }

// Closes the client; an exception of the with-block still propagates.
XALO_FUNCTION(exit_, self, exc_type, exc_value, traceback) {
    call_method(a[p::self], XNAME("close"));
    return py::bool_(false);
}

// ---- _WeakClient: a background client's exit hook and writer target --------------

XALO_FUNCTION(link_init, self, client) {
    py::handle self = a[p::self], client = a[p::client];
    ref forget = xcore::getattr(self, XNAME("_forget"));
    xcore::setattr(self, XNAME("_client"), ref::steal(PyWeakref_NewRef(client.ptr(), forget.ptr())));
    return py::none();
}

// The exit hook: stops the client's writer if the client still exists.
XALO_FUNCTION(link_call, self) {
    if (ref client = linked_client(a[p::self]))
        call_method(client, XNAME("_shutdown_executor"));
    return py::none();
}

// Equal to the links of the same client and to the client's bound
// _shutdown_executor, so that atexit.unregister(client._shutdown_executor)
// still removes the hook. Never raises: atexit compares every hook with it.
XALO_FUNCTION(link_eq, self, other) {
    py::handle self = a[p::self], other = a[p::other];
    if (self.ptr() == other.ptr())
        return py::bool_(true);
    return xcore::catch_exception(
        [&]() -> ref {
            ref client = linked_client(self);
            if (!client)
                return ref::borrow(Py_NotImplemented);
            if (PyObject_TypeCheck(other.ptr(), reinterpret_cast<PyTypeObject*>(C.link_type)))
                return py::bool_(linked_client(other).ptr() == client.ptr());
            return py::bool_(xcore::compare(xcore::getattr(client, XNAME("_shutdown_executor")), other, Py_EQ));
        },
        [](py::handle) -> ref { return ref::borrow(Py_NotImplemented); });
}

XALO_FUNCTION(link_run, self) {
    py::handle self = a[p::self];
    run_writer([&] { return linked_client(self); });
    return py::none();
}

// Called when the client is freed unclosed: its hook is no longer needed.
XALO_FUNCTION(link_forget, self, ref) {
    py::handle self = a[p::self];
    xcore::catch_exception(
        [&] {
            if (PySet_Discard(G.get(XNAME("_background")).ptr(), self.ptr()) < 0)
                throw py::error_already_set();
            call_method(G.get(XNAME("atexit")), XNAME("unregister"), self);
        },
        [](py::handle) {});
    return py::none();
}

// In the child of a fork only the forking thread exists: a background
// client's writer is gone and its queue's lock may be held by a thread of the
// parent. Each such client gets a fresh queue, event and writer; the writes
// still pending in the parent's queue stay the parent's.
// _short_cause(error): the one-line text of a failure that the logs show,
// for the subscription's lines too.
XALO_FUNCTION(short_cause_of, error) {
    py::handle error = a[p::error];
    // short_cause reads an exception's cause and context as exception objects.
    if (!PyExceptionInstance_Check(error.ptr()) && !PyUnicode_Check(error.ptr())) {
        PyErr_Format(PyExc_TypeError, "_short_cause takes an exception or a str, not %s", Py_TYPE(error.ptr())->tp_name);
        throw py::error_already_set();
    }
    return short_cause(error);
}

XALO_FUNCTION(after_fork_in_child) {
    ++fork_generation;
    ref links = ref::steal(PySequence_List(G.get(XNAME("_background")).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.ptr()); ++i) {
        py::handle link = PyList_GET_ITEM(links.ptr(), i);
        ref client;
        xcore::catch_exception(
            [&] {
                client = linked_client(link);
                if (!client || !xcore::truth(xcore::getattr(client, XNAME("_use_thread"))))
                    return;
                ref q = xcore::getattr(client, XNAME("_queue"));
                if (q.is_none() ||
                    xcore::truth(call_method(xcore::getattr(client, XNAME("_stop_evt")), XNAME("is_set"))))
                    return;
                ref keep;
                if (Stats* st = stats_of(client, &keep))
                    std::vector<Stats::Pending>().swap(st->unfinished);
                xcore::setattr(client, XNAME("_queue"),
                               xcore::vcall(xcore::getattr(G.get(XNAME("queue")), XNAME("Queue")),
                                            {xcore::getattr(q, XNAME("maxsize"))}, XKW("maxsize")));
                xcore::setattr(client, XNAME("_stop_evt"),
                               xcore::call(xcore::getattr(G.get(XNAME("threading")), XNAME("Event"))));
                start_writer(client, link);
            },
            [&](py::handle) {
                // No writer here: the child's writes go synchronous.
                if (client)
                    xcore::catch_exception(
                        [&] {
                            xcore::setattr(client, XNAME("_queue"), Py_None);
                            xcore::setattr(client, XNAME("_use_thread"), Py_False);
                        },
                        [](py::handle) {});
            });
    }
    return py::none();
}

}  // namespace

XALO_MODULE(store_client, "xalo_sdk.redis.store_client", m) {
    G.init(m);
    C.zero.init(PyLong_FromLong(0));
    C.five.init(PyLong_FromLong(5));
    C.ten.init(PyLong_FromLong(10));
    C.one.init(PyLong_FromLong(1));
    C.wait_for_work.init(PyFloat_FromDouble(0.2));
    C.wait_for_writer.init(PyFloat_FromDouble(0.5));
    C.flush_poll.init(PyFloat_FromDouble(0.005));
    C.wake = xcore::keep_forever(ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
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
    ref redis = G.import("redis");
    C.no_permission = xcore::keep_forever(
        xcore::getattr(xcore::getattr(redis, XNAME("exceptions")), XNAME("NoPermissionError")));
    G.import_from("concurrent.futures", "ThreadPoolExecutor");
    ref get_logger = G.import_from("xalo_sdk.logging.logger", "get_logger");
    G.set("logger", xcore::call(get_logger, py::str("REDIS")));
    G.import("time");
    G.import_from("xalo_sdk.constants", "STRICT");
    G.import_from("xalo_sdk.redis._subscription", "Subscription");
    G.set("_background", ref::steal(PySet_New(nullptr)));  // the links of background clients
    // Reported now, or refused in strict mode.
    xcore::env_positive("XALO_MAX_PAYLOAD_BYTES", kDefaultMaxPayloadBytes, true);
    read_client_settings(nullptr, true);

    // The default host is read once, here; later changes of REDIS_HOST do not
    // move an existing default.
    py::object default_host = os.attr("environ").attr("get")("REDIS_HOST", "localhost");
    py::object default_port = py::int_(6379);
    C.default_host.init(py::object(default_host).release().ptr());
    C.default_port.init(py::object(default_port).release().ptr());
    // REDIS_URL, read once too, connects a client whose host and port are
    // both left at their defaults; an empty value counts as unset.
    py::object default_url = os.attr("environ").attr("get")("REDIS_URL");
    C.default_url.init((default_url.is_none() || py::len(default_url) == 0 ? py::none() : default_url).release().ptr());

    using xcore::declare;
    xcore::ClassBuilder(G, "StoreClient",
                        "Represents a redis client specified for the containers.\n\n"
                        "One client per pipeline module. With ``thread`` true, payload writes are queued\n"
                        "and stored by a background writer thread; otherwise they are stored at once.")
        .def(declare<init>("__init__")
                 .arg<init::p::self>()
                 .arg<init::p::thread>("bool", py::bool_(true))
                 .arg<init::p::host>("str", default_host)
                 .arg<init::p::port>("int", default_port)
                 .arg<init::p::workers>("int", py::int_(2))
                 .doc("Create the connection pool and, with ``thread`` true, the background writer.\n\n"
                      ":param thread: write payloads from a background thread\n"
                      ":param host: Redis host (default: REDIS_HOST at import, else localhost)\n"
                      ":param port: Redis port\n"
                      ":param workers: sizes the pool (max(10, workers * 5)) and the write queue "
                      "(max(1, workers))"))
        .def(declare<shutdown_executor>("_shutdown_executor")
                 .arg<shutdown_executor::p::self>()
                 .returns("None")
                 .doc("Stop the background writer; pending writes are dropped and later writes are "
                      "synchronous."))
        .def(declare<worker_loop>("_worker_loop")
                 .arg<worker_loop::p::self>()
                 .returns("None")
                 .doc("Drain the write queue until the stop event is set."))
        .def(declare<write_>("_write_")
                 .arg<write_::p::self>()
                 .arg<write_::p::data>("dict")
                 .arg<write_::p::redis_key>("str")
                 .arg<write_::p::ttl>("Optional[int]", py::none())
                 .returns("bool")
                 .doc("Internal function that is executed in background thread\n\n"
                      "Store ``data`` as JSON under ``redis_key`` and publish \"1\" on "
                      "``redis_key + \"_notify\"``."))
        .def(declare<write_frame_packet>("write_frame_packet")
                 .arg<write_frame_packet::p::self>()
                 .arg<write_frame_packet::p::data>("Optional[dict]")
                 .arg<write_frame_packet::p::redis_key>("str")
                 .arg<write_frame_packet::p::ttl>("Optional[int]", py::none())
                 .returns("bool")
                 .doc("Write video frame to the target redis key. If data is None, deletes the key.\n\n"
                      ":param data: payload dictionary, or None to delete the key\n"
                      ":param redis_key: target key\n"
                      ":param ttl: expiry in seconds, None for none\n"
                      ":return: True when queued (background mode) or stored"))
        .def(declare<delete_data>("delete_data")
                 .arg<delete_data::p::self>()
                 .arg<delete_data::p::redis_key>("str")
                 .returns("bool")
                 .doc("Delete data from the target redis location\n\n"
                      ":return: True when the key existed and was deleted"))
        .def(declare<delete_many>("delete_many")
                 .arg<delete_many::p::self>()
                 .arg<delete_many::p::redis_keys>("list")
                 .returns("int")
                 .doc("Delete multiple keys in a single Redis command.\n\n"
                      ":param redis_keys: keys to delete\n"
                      ":return: the number of keys that were deleted"))
        .def(declare<scan_keys>("scan_keys")
                 .arg<scan_keys::p::self>()
                 .arg<scan_keys::p::pattern>("str")
                 .returns("list")
                 .doc("Return all existing keys matching a glob pattern using SCAN (non-blocking).\n\n"
                      ":param pattern: glob pattern, e.g. 'redis_<node_id>_*'\n"
                      ":return: the matching keys as str"))
        .def(declare<write_data>("write_data")
                 .arg<write_data::p::self>()
                 .arg<write_data::p::redis_key>("str")
                 .arg<write_data::p::data>("Union[str, dict]")
                 .arg<write_data::p::ttl>("Optional[int]", py::none())
                 .returns("bool")
                 .doc("Write data to the target redis location\n\n"
                      "A dict is stored as JSON, any other value as it is; \"1\" is published on "
                      "``redis_key + \"_notify\"``."))
        .def(declare<read_data>("read_data")
                 .arg<read_data::p::self>()
                 .arg<read_data::p::redis_key>("str")
                 .returns("Any")
                 .doc("Read data from the target redis location\n\n"
                      ":return: the stored bytes, or None when the key does not exist"))
        .def(declare<read_frame_packet>("read_frame_packet")
                 .arg<read_frame_packet::p::self>()
                 .arg<read_frame_packet::p::redis_key>("str")
                 .doc("Read video frame from a given redis key\n\n"
                      ":return: the parsed payload, or None when the key is missing or unreadable"))
        .def(declare<close_client>("close")
                 .arg<close_client::p::self>()
                 .returns("None")
                 .doc("Stop the background writer and release the client's exit hook.\n\n"
                      "Writes still pending are dropped (counted in stats()[\"dropped\"]); later writes "
                      "are synchronous. Calling it again does nothing."))
        .def(declare<flush>("flush")
                 .arg<flush::p::self>()
                 .arg<flush::p::timeout>("Optional[float]", py::none())
                 .returns("bool")
                 .doc("Wait until every payload queued before the call has been stored, displaced or "
                      "has failed.\n\n"
                      ":param timeout: seconds to wait at most, None for no limit\n"
                      ":return: True when they all have (at once in direct or stopped mode), False on "
                      "timeout or when the writer was stopped with some still pending (also on any "
                      "later call)"))
        .def(declare<stats>("stats")
                 .arg<stats::p::self>()
                 .returns("dict")
                 .doc("Payload write counts since construction.\n\n"
                      ":return: a dict with ``queued``, ``stored``, ``displaced``, ``failed``, "
                      "``dropped`` (pending when the writer was stopped) and ``last_error`` (the text "
                      "of the last failed write, or None); counts start at zero in a forked child"))
        .def(declare<figures>("figures")
                 .arg<figures::p::self>()
                 .returns("dict")
                 .doc("Counts for monitoring: those of stats() and the reads'\n\n"
                      "``reads`` (read_data calls, read_frame_packet's included), ``reads_none`` (None "
                      "results), ``read_errors`` (calls that raised) and ``read_bytes`` (bytes returned)."))
        .def(declare<subscribe>("subscribe")
                 .arg<subscribe::p::self>()
                 .arg<subscribe::p::keys>("Union[str, list]")
                 .arg<subscribe::p::idle>("float", py::float_(1.0))
                 .returns("Subscription")
                 .doc("Listen for the stores of one or more keys (their \"_notify\" channels).\n\n"
                      "The subscription connects with this client's settings (URL, TLS, user, Unix "
                      "socket, Sentinel, Cluster), follows a failover, and pings a server that sent "
                      "nothing for ``idle`` seconds: one that does not answer within ``idle`` seconds "
                      "more is taken as gone and the subscription is made again.\n\n"
                      ":param keys: a key or a list of keys\n"
                      ":param idle: seconds of silence before the server is pinged, and for its answer\n"
                      ":return: a Subscription: get(timeout) gives the next key stored, iterating "
                      "gives keys; after a gap every key once; stats() counts notifications, gaps "
                      "and reconnects"))
        .attr("from_url",
              ref::steal(PyClassMethod_New(
                  declare<from_url>("from_url")
                      .arg<from_url::p::cls>()
                      .arg<from_url::p::url>("str")
                      .arg<from_url::p::thread>("bool", py::bool_(true))
                      .arg<from_url::p::workers>("int", py::int_(2))
                      .varkw<from_url::p::options>()
                      .returns("StoreClient")
                      .doc("Create a client connected by a Redis URL.\n\n"
                           "redis://[user:password@]host[:port][/db], rediss://... (TLS), "
                           "unix:///path/to/socket[?db=N],\n"
                           "redis+sentinel://[user:password@]host:port[,host:port...]/service_name[/db] "
                           "(the master that the Sentinels name),\n"
                           "redis+cluster://[user:password@]host:port[,host:port...] (a Redis Cluster); "
                           "rediss+sentinel:// and rediss+cluster:// over TLS.\n\n"
                           ":param url: where and how to connect; query parameters are redis-py's "
                           "connection options\n"
                           ":param thread: write payloads from a background thread\n"
                           ":param workers: sizes the pool (max(10, workers * 5)) and the write queue\n"
                           ":param options: redis-py connection options, e.g. socket_timeout, "
                           "ssl_ca_certs, health_check_interval")
                      .build("StoreClient.from_url", G.name())
                      .ptr())))
        .def(declare<enter>("__enter__").arg<enter::p::self>().doc("Return the client itself."))
        .def(declare<exit_>("__exit__")
                 .arg<exit_::p::self>()
                 .arg<exit_::p::exc_type>()
                 .arg<exit_::p::exc_value>()
                 .arg<exit_::p::traceback>()
                 .returns("bool")
                 .doc("Close the client; exceptions raised in the with-block propagate."))
        // _stats is a slot so that vars() of a client shows only its specified attributes.
        .attr("__slots__", py::make_tuple("__dict__", "__weakref__", "_stats"))
        .finish();
    C.worker_loop = xcore::keep_forever(G.get(XNAME("StoreClient")).attr("_worker_loop"));

    ref link_type = xcore::ClassBuilder(G, "_WeakClient",
                                        "Holds a background StoreClient weakly: its exit hook and its "
                                        "writer thread's target.")
                        .def(declare<link_init>("__init__").arg<link_init::p::self>().arg<link_init::p::client>())
                        .def(declare<link_call>("__call__").arg<link_call::p::self>())
                        .def(declare<link_eq>("__eq__").arg<link_eq::p::self>().arg<link_eq::p::other>())
                        .def(declare<link_run>("run").arg<link_run::p::self>())
                        .def(declare<link_forget>("_forget").arg<link_forget::p::self>().arg<link_forget::p::ref>())
                        .attr("__hash__", py::module_::import("builtins").attr("object").attr("__hash__"))
                        .finish();
    C.link_type = xcore::keep_forever(link_type);
    G.def(declare<after_fork_in_child>("_after_fork_in_child"));
    G.def(declare<short_cause_of>("_short_cause")
              .arg<short_cause_of::p::error>()
              .returns("str")
              .doc("The one-line text of a failure, as the log lines give it: no object reprs, at most 300 "
                   "characters."));
    xcore::vcall(os.attr("register_at_fork"), {G.get(XNAME("_after_fork_in_child"))}, XKW("after_in_child"));
}
