// xalo_sdk.redis.frame_packet: the metadata records of a frame and the payload
// dictionary that pipeline modules exchange through Redis.
//
// The records are ordinary Python classes whose state is their instance
// __dict__; the payload builder and parser call the image functions of
// xalo_sdk.redis.utils through this module's attributes, looked up at each
// call and always called by keyword.
#include "core/xcore.hpp"

#include <strings.h>

#include <cstdlib>

namespace py = pybind11;
using xcore::ref;

namespace {

xcore::Globals G;

// ---- small helpers --------------------------------------------------------------

void fail() { throw py::error_already_set(); }

// `value.get(key)` (dflt null) or `value.get(key, dflt)`; a plain dict is read
// without a method call. A miss gives dflt, or None for the one-argument form.
ref get(py::handle mapping, py::handle key, py::handle dflt = py::handle()) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v != nullptr)
            return ref::borrow(v);
        if (PyErr_Occurred())
            fail();
        return ref::borrow(dflt ? dflt : py::handle(Py_None));
    }
    if (dflt)
        return xcore::call_method(mapping, XNAME("get"), key, dflt);
    return xcore::call_method(mapping, XNAME("get"), key);
}

using xcore::set_item;

// Made in module init.
struct {
    xcore::Constant zero;
    PyObject* time_time = nullptr;  // time.time as it was at import
} C;

// `value > 0` / `value == 0`, taken by their truth value.
int compares_to_zero(py::handle value, int op) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred())
            fail();
        long s = overflow != 0 ? overflow : (v > 0) - (v < 0);
        return op == Py_GT ? s > 0 : s == 0;
    }
    return xcore::compare(value, C.zero, op);
}

// `for key, value in mapping.items(): fn(key, value)`. A plain dict is walked
// in place; each pair is held while fn runs Python code that may change it.
template <class Fn>
void for_each_item(py::handle mapping, Fn&& fn) {
    PyObject* m = mapping.ptr();
    if (PyDict_CheckExact(m)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(m);
        PyObject *k, *v;
        while (PyDict_Next(m, &pos, &k, &v)) {
            ref key = ref::borrow(k), value = ref::borrow(v);
            fn(key, value);
            if (PyDict_GET_SIZE(m) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                fail();
            }
        }
        return;
    }
    ref items = xcore::call_method(mapping, XNAME("items"));
    ref iter = ref::steal(PyObject_GetIter(items.ptr()));
    while (PyObject* next = PyIter_Next(iter.ptr())) {
        ref pair = ref::steal(next);
        ref key, value;
        xcore::unpack2(pair, &key, &value);
        fn(key, value);
    }
    if (PyErr_Occurred())
        fail();
}

// ---- the kit's own methods ----------------------------------------------------------
//
// The parser and the metadata block call record methods for every frame. When
// the object is exactly of the kit's class and neither the class nor the
// instance has replaced the method, the call would land in this file anyway,
// so it is made as a C++ call; any override is called as Python would.

struct OwnMethod {
    PyTypeObject* cls = nullptr;  // both kept for the process's life
    PyObject* fn = nullptr;
    PyObject* name = nullptr;
    // The class's version tag when its lookup of `name` last gave fn: the
    // interpreter renews the tag whenever the class or a base changes.
    mutable unsigned int verified_tag = 0;

    void remember(py::handle klass, const char* method) {
        cls = reinterpret_cast<PyTypeObject*>(xcore::keep_forever(klass));
        name = xcore::intern_forever(method);
        fn = xcore::keep_forever(xcore::interp::type_lookup(cls, name));
    }

    bool class_holds_fn() const {
        unsigned int tag = xcore::interp::class_version(cls);
        if (tag != 0 && tag == verified_tag)
            return true;
        if (xcore::interp::type_lookup(cls, name) != fn)
            return false;
        verified_tag = tag;
        return true;
    }

    // True when obj.<name> is this function; then *dict holds obj.__dict__.
    bool found_on(py::handle obj, ref* dict = nullptr) const {
        PyTypeObject* t = Py_TYPE(obj.ptr());
        if (t != cls || t->tp_getattro != PyObject_GenericGetAttr || !class_holds_fn())
            return false;
        ref d = ref::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
        PyObject* shadow = PyDict_GetItemWithError(d.ptr(), name);
        if (shadow == nullptr && PyErr_Occurred())
            fail();
        if (dict != nullptr)
            *dict = std::move(d);
        return shadow == nullptr;
    }
};

struct {
    OwnMethod source_update, module_update, format_update;
    OwnMethod source_to_dict, module_to_dict, format_to_dict;
    OwnMethod meta_to_dict, meta_update_source, meta_update_frame_format;
} own;

// obj.__dict__; read directly when obj is exactly one of the kit's records.
ref instance_dict(py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if ((t == own.source_to_dict.cls || t == own.module_to_dict.cls || t == own.format_to_dict.cls) &&
        t->tp_getattro == PyObject_GenericGetAttr)
        return ref::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    return xcore::getattr(obj, XNAME("__dict__"));
}

// What time.time() returns: the clock read as it reads it where the
// interpreter unit can (public from 3.13), else time.time called.
ref system_clock_seconds() {
    double seconds = 0.0;
    if (xcore::interp::clock_seconds(&seconds))
        return ref::steal(PyFloat_FromDouble(seconds));
    return xcore::call(ref::borrow(C.time_time));
}

// time.time(), `time` read from this module at each call. A real module
// holds its functions in its dict (ModuleType has no attribute `time`), so
// the function is read from there without the general attribute lookup; the
// clock is read directly while that function is still the interpreter's own.
ref now() {
    ref time = G.get(XNAME("time"));
    if (PyModule_CheckExact(time.ptr())) {
        PyObject* fn = PyDict_GetItemWithError(PyModule_GetDict(time.ptr()), XNAME("time").ptr());
        if (fn == C.time_time)
            return system_clock_seconds();
        if (fn != nullptr)
            return xcore::call(ref::borrow(fn));
        if (PyErr_Occurred())
            fail();
    }
    return xcore::call_method(time, XNAME("time"));
}

// ---- metadata records -----------------------------------------------------------------

// One pair of `update`, as Python code spells it: a None never overwrites;
// hasattr() decides whether the value is new, else `current != value`.
void merge_pair(py::handle self, py::handle key, py::handle value) {
    if (!PyUnicode_Check(key.ptr())) {
        // The documented text, the same on every interpreter version.
        PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
        fail();
    }
    ref current;
    if (xcore::getattr_optional(self, key, &current) &&
        !xcore::truth(ref::steal(PyObject_RichCompare(current.ptr(), value.ptr(), Py_NE))))
        return;
    xcore::setattr(self, key, value);
}

// str, int, float, bool or None exactly: comparing two of these runs no
// Python code.
bool is_scalar(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || v == Py_None;
}

// The same pair for a record whose attributes live in its __dict__ `d`
// with nothing in between: a str key that is not private, nothing callable
// and no descriptor of that name on the class, and values whose comparison
// runs no Python code. Returns false, having done nothing, when that does
// not hold.
bool merge_plain(py::handle self, py::handle d, py::handle key, py::handle value) {
    if (!PyUnicode_CheckExact(key.ptr()) || !is_scalar(value.ptr()))
        return false;
    if (PyUnicode_GET_LENGTH(key.ptr()) > 0 && PyUnicode_READ_CHAR(key.ptr(), 0) == '_')
        return false;
    PyObject* on_class = xcore::interp::type_lookup(Py_TYPE(self.ptr()), key.ptr());
    if (on_class != nullptr && (Py_TYPE(on_class)->tp_descr_get != nullptr ||
                                Py_TYPE(on_class)->tp_descr_set != nullptr || PyCallable_Check(on_class)))
        return false;
    PyObject* current = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (current == nullptr && PyErr_Occurred())
        fail();
    if (current == nullptr)
        current = on_class;  // the class default, or missing
    if (current != nullptr) {
        if (!is_scalar(current))
            return false;
        if (!xcore::truth(ref::steal(PyObject_RichCompare(current, value.ptr(), Py_NE))))
            return true;
    }
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0)
        fail();
    return true;
}

// The instance dict of `self` when merge_plain may work on it: exactly a kit
// record class with the default attribute access. Null otherwise.
ref plain_record_dict(py::handle self) {
    PyTypeObject* t = Py_TYPE(self.ptr());
    bool record = t == own.source_update.cls || t == own.module_update.cls || t == own.format_update.cls;
    if (!record || t->tp_getattro != PyObject_GenericGetAttr || t->tp_setattro != PyObject_GenericSetAttr)
        return ref();
    return ref::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
}

// True when `key` (a str) names a private or special attribute of the record
// ("_..."), or something its class holds that is not plain data: a method or
// other callable, or a descriptor that only reads (classmethod, staticmethod).
// A received payload must not replace those: a sender's {"update": 1} would
// break every later parse. Class defaults such as `encoder` and properties
// with a setter stay assignable.
bool names_member(py::handle self, py::handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_GET_LENGTH(k) > 0 && PyUnicode_READ_CHAR(k, 0) == '_')
        return true;
    PyObject* on_class = xcore::interp::type_lookup(Py_TYPE(self.ptr()), k);
    if (on_class == nullptr || on_class == Py_None || PyBool_Check(on_class))
        return false;
    PyTypeObject* t = Py_TYPE(on_class);
    return PyCallable_Check(on_class) || (t->tp_descr_get != nullptr && t->tp_descr_set == nullptr);
}

// The pair is left out with a warning through the "REDIS" logger of
// xalo_sdk.redis.utils (read at each use, as that module's own functions
// read it); this module keeps no logger of its own.
void warn_member_skipped(py::handle self, py::handle key) {
    ref utils = ref::steal(PyImport_ImportModule("xalo_sdk.redis.utils"));
    ref logger = xcore::getattr(utils, XNAME("logger"));
    ref message = ref::steal(PyUnicode_FromFormat("Payload key %R not merged: it names a method or private "
                                                  "attribute of %s",
                                                  key.ptr(), Py_TYPE(self.ptr())->tp_name));
    xcore::call_method(logger, XNAME("warning"), message);
}

void merge(py::handle self, py::handle info) {
    // Walking a plain dict runs no Python code between the pairs, so the
    // record's dict stays the one read here until a generic step runs.
    bool walked_in_place = PyDict_CheckExact(info.ptr());
    ref d = walked_in_place ? plain_record_dict(self) : ref();
    for_each_item(info, [&](py::handle key, py::handle value) {
        if (value.is_none())
            return;
        if (d && merge_plain(self, d, key, value))
            return;
        if (PyUnicode_Check(key.ptr()) && names_member(self, key)) {
            warn_member_skipped(self, key);
            return;
        }
        merge_pair(self, key, value);
        if (walked_in_place)
            d = plain_record_dict(self);
    });
}

XALO_FUNCTION(source_update, self, source_info) {
    merge(a[p::self], a[p::source_info]);
    return py::none();
}

XALO_FUNCTION(module_update, self, module_info) {
    merge(a[p::self], a[p::module_info]);
    return py::none();
}

XALO_FUNCTION(format_update, self, frame_format_info) {
    merge(a[p::self], a[p::frame_format_info]);
    return py::none();
}

XALO_FUNCTION(record_to_dict, self) { return instance_dict(a[p::self]); }

// record.update(info), made in C++ when it is the kit's own.
void update_record(py::handle record, const OwnMethod& m, py::handle info) {
    if (m.found_on(record))
        merge(record, info);
    else
        xcore::call_method(record, m.name, info);
}

ref record_dict(py::handle record, const OwnMethod& m) {
    ref d;
    if (m.found_on(record, &d))
        return d;
    return xcore::call_method(record, m.name);
}

XALO_FUNCTION(source_init, self, src_node, src_output_port, src_name) {
    py::handle self = a[p::self], node = a[p::src_node], port = a[p::src_output_port], name = a[p::src_name];
    if (node.is_none())
        return py::none();
    xcore::setattr(self, XNAME("id"), get(node, XNAME("id"), Py_None));
    xcore::setattr(self, XNAME("type"), get(node, XNAME("type"), Py_None));
    xcore::setattr(self, XNAME("name"), get(node, XNAME("name"), Py_None));
    // Both texts are f"{...}_{port}", each value formatted as it is read.
    if (xcore::truth(name)) {
        xcore::setattr(self, XNAME("source_name"), name);
    } else {
        ref type = get(node, XNAME("type"));
        xcore::KeyPart type_part(type), port_part(port);
        xcore::setattr(self, XNAME("source_name"), xcore::join_key({&type_part, &port_part}));
    }
    ref id = get(node, XNAME("id"));
    xcore::KeyPart id_part(id), port_part(port);
    xcore::setattr(self, XNAME("source_key"), xcore::join_key({&id_part, &port_part}));
    xcore::setattr(self, XNAME("output_port_idx"), port);
    xcore::setattr(self, XNAME("frame_id"), Py_None);
    xcore::setattr(self, XNAME("ts"), now());
    return py::none();
}

XALO_FUNCTION(module_init, self, cur_node, feed_port_idx) {
    py::handle self = a[p::self], node = a[p::cur_node], feed_port_idx = a[p::feed_port_idx];
    if (node.is_none())
        return py::none();
    xcore::setattr(self, XNAME("id"), get(node, XNAME("id"), Py_None));
    xcore::setattr(self, XNAME("type"), get(node, XNAME("type"), Py_None));
    xcore::setattr(self, XNAME("feed_port_idx"), feed_port_idx);
    return py::none();
}

XALO_FUNCTION(frame_format_init, self, kwargs) {
    py::handle self = a[p::self], kwargs = a[p::kwargs];
    for_each_item(kwargs, [&](py::handle key, py::handle value) { xcore::setattr(self, key, value); });
    return py::none();
}

XALO_FUNCTION(meta_init, self, cur_node, feed_idx, src_node, src_port, src_name) {
    py::handle self = a[p::self], cur_node = a[p::cur_node], feed_idx = a[p::feed_idx], src_node = a[p::src_node],
               src_port = a[p::src_port], src_name = a[p::src_name];
    xcore::setattr(self, XNAME("ts"), now());
    xcore::setattr(self, XNAME("module"),
                   xcore::vcall(G.get(XNAME("MetaModule")), {cur_node, feed_idx}, XKW("cur_node", "feed_port_idx")));
    xcore::setattr(self, XNAME("source"),
                   xcore::vcall(G.get(XNAME("MetaSource")), {src_node, src_port, src_name},
                                XKW("src_node", "src_output_port", "src_name")));
    xcore::setattr(self, XNAME("frame_format"), xcore::call(G.get(XNAME("MetaFrameFormat"))));
    return py::none();
}

// meta.update_<record>(info): None stands for an empty mapping.
void forward_update(py::handle meta, py::handle record_attr, const OwnMethod& m, py::handle info) {
    ref record = xcore::getattr(meta, record_attr);
    if (!info.is_none()) {
        update_record(record, m, info);
        return;
    }
    ref empty = ref::steal(PyDict_New());
    update_record(record, m, empty);
}

XALO_FUNCTION(meta_update_source, self, source_info) {
    forward_update(a[p::self], XNAME("source"), own.source_update, a[p::source_info]);
    return py::none();
}

XALO_FUNCTION(meta_update_frame_format, self, frame_format_info) {
    forward_update(a[p::self], XNAME("frame_format"), own.format_update, a[p::frame_format_info]);
    return py::none();
}

XALO_FUNCTION(meta_update_module, self, module_info) {
    forward_update(a[p::self], XNAME("module"), own.module_update, a[p::module_info]);
    return py::none();
}

// The metadata block: a fresh time stamp and the records' live mappings.
ref meta_dict(py::handle self) {
    ref ts = now();
    ref source = record_dict(xcore::getattr(self, XNAME("source")), own.source_to_dict);
    ref module = record_dict(xcore::getattr(self, XNAME("module")), own.module_to_dict);
    ref frame_format = record_dict(xcore::getattr(self, XNAME("frame_format")), own.format_to_dict);
    ref d = ref::steal(PyDict_New());
    set_item(d, XNAME("ts"), ts);
    set_item(d, XNAME("source"), source);
    set_item(d, XNAME("module"), module);
    set_item(d, XNAME("frame_format"), frame_format);
    return d;
}

XALO_FUNCTION(meta_to_dict, self) { return meta_dict(a[p::self]); }

// ---- FramePacket ------------------------------------------------------------------------

XALO_FUNCTION(packet_init, self, feed_idx, cur_node, src_node, src_port, src_name) {
    py::handle self = a[p::self], feed_idx = a[p::feed_idx], cur_node = a[p::cur_node], src_node = a[p::src_node],
               src_port = a[p::src_port], src_name = a[p::src_name];
    xcore::setattr(self, XNAME("meta"),
                   xcore::vcall(G.get(XNAME("Meta")), {cur_node, feed_idx, src_node, src_port, src_name},
                                XKW("cur_node", "feed_idx", "src_node", "src_port", "src_name")));
    return py::none();
}

// self.meta.frame_format.<attr>, the fallback for an encoding argument given as None.
ref frame_format_attr(py::handle self, py::handle attr) {
    return xcore::getattr(xcore::getattr(xcore::getattr(self, XNAME("meta")), XNAME("frame_format")), attr);
}

// ---- JPEG copy of a shared-memory frame ---------------------------------------------
//
// Opt-in (XALO_SHM_FALLBACK=jpg on the producer's side): beside a
// shared-memory reference the payload carries the frame as Base64 JPEG text
// under "frame_jpg", for consumers on other hosts. Every other payload, and
// every consumer on the producer's host, is as without it.

// True when encoder names the shared-memory road (an Encoder without it has none).
bool is_shm(py::handle encoder) {
    ref shm;
    if (!PyUnicode_Check(encoder.ptr()) ||
        !xcore::getattr_optional(G.get(XNAME("Encoder")), XNAME("SHM"), &shm))
        return false;
    return xcore::compare(xcore::call_method(encoder, XNAME("lower")), shm, Py_EQ);
}

bool jpg_copy_wanted(bool at_import = false) {
    const char* v = std::getenv("XALO_SHM_FALLBACK");
    if (v == nullptr || *v == '\0')
        return false;
    if (strcasecmp(v, "jpg") == 0 || strcasecmp(v, ".jpg") == 0)
        return true;
    xcore::setting_refused("XALO_SHM_FALLBACK", v, "jpg", "no JPEG copy", at_import);
    return false;
}

// The payload's JPEG copy when the reference is to another host's memory;
// empty when the payload has none or this host can read the frame itself.
ref jpg_copy_for_this_host(py::handle data, py::handle encoder, py::handle reference) {
    ref copy = get(data, XNAME("frame_jpg"));
    if (copy.is_none() || !is_shm(encoder) ||
        !xcore::truth(xcore::vcall(G.get(XNAME("_shm_elsewhere")), {reference})))
        return ref();
    return copy;
}

XALO_FUNCTION(create_frame_packet, self, version, ext_info, result, frame, encoder, with_base64) {
    py::handle self = a[p::self], version = a[p::version], ext_info = a[p::ext_info], frame = a[p::frame];
    ref result = ref::borrow(a[p::result]), encoder = ref::borrow(a[p::encoder]),
        with_base64 = ref::borrow(a[p::with_base64]);
    if (!compares_to_zero(version, Py_GT)) {
        if (frame.is_none())
            return py::none();
        return xcore::vcall(G.get(XNAME("img_to_base64str")), {frame}, XKW("image"));
    }
    ref meta = xcore::getattr(self, XNAME("meta"));
    ref meta_data =
        own.meta_to_dict.found_on(meta) ? meta_dict(meta) : xcore::call_method(meta, XNAME("to_dict"));
    if (!ext_info.is_none() && xcore::truth(ext_info) && PyDict_Check(ext_info.ptr()))
        for_each_item(ext_info, [&](py::handle key, py::handle value) { set_item(meta_data, key, value); });
    if (result.is_none())
        result = ref::steal(PyList_New(0));
    ref frame_as_text = ref::borrow(Py_None), jpg_copy;
    if (!frame.is_none()) {
        if (encoder.is_none())
            encoder = frame_format_attr(self, XNAME("encoder"));
        if (with_base64.is_none())
            with_base64 = frame_format_attr(self, XNAME("with_base64"));
        frame_as_text = xcore::vcall(G.get(XNAME("img_to_str")), {frame, encoder, with_base64},
                                     XKW("image", "encoder", "with_base64"));
        if (!frame_as_text.is_none() && jpg_copy_wanted() && is_shm(encoder))
            jpg_copy = xcore::vcall(G.get(XNAME("img_to_str")),
                                    {frame, xcore::getattr(G.get(XNAME("Encoder")), XNAME("JPG")), Py_True},
                                    XKW("image", "encoder", "with_base64"));
        ref used = ref::steal(PyDict_New());
        set_item(used, XNAME("encoder"), encoder);
        // A shared-memory reference is text either way: recorded as not
        // Base64, so that a kit without that road says it does not know the
        // encoder instead of failing to decode Base64.
        set_item(used, XNAME("with_base64"),
                 with_base64.ptr() != Py_False && is_shm(encoder) ? py::handle(Py_False) : py::handle(with_base64));
        set_item(meta_data, XNAME("frame_format"), used);
    }
    ref payload = ref::steal(PyDict_New());
    set_item(payload, XNAME("meta"), meta_data);
    set_item(payload, XNAME("result"), result);
    set_item(payload, XNAME("frame"), frame_as_text);
    if (jpg_copy && !jpg_copy.is_none())
        set_item(payload, XNAME("frame_jpg"), jpg_copy);
    return payload;
}

// self.meta.update_<record>(meta_info.get(<record>)), evaluated in Python's
// order and passing the argument as the parser's own code does (the source by
// keyword, the frame format by position).
void meta_update(py::handle self, const OwnMethod& m, py::handle meta_info, py::handle record,
                 const OwnMethod& record_update, py::handle kwnames) {
    ref meta = xcore::getattr(self, XNAME("meta"));
    bool own_method = m.found_on(meta);
    ref info = get(meta_info, record);
    if (own_method)
        forward_update(meta, record, record_update, info);
    else
        xcore::vcall_method(meta, m.name, {info}, kwnames);
}

XALO_FUNCTION(parse_frame_packet, self, data, version, encoder, with_base64) {
    py::handle self = a[p::self], version = a[p::version];
    ref data = ref::borrow(a[p::data]), encoder = ref::borrow(a[p::encoder]),
        with_base64 = ref::borrow(a[p::with_base64]);
    if (compares_to_zero(version, Py_EQ))
        return xcore::vcall(G.get(XNAME("base64_to_img")), {data}, XKW("b64_bytes"));
    if (PyBytes_Check(data.ptr())) {
        ref text = PyBytes_CheckExact(data.ptr())
                       ? ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()),
                                                         "strict"))
                       : xcore::call_method(data, XNAME("decode"));
        data = xcore::call_method(G.get(XNAME("json")), XNAME("loads"), text);
    }
    // A payload without "meta" reads as one with an empty one.
    ref no_meta = ref::steal(PyDict_New());
    ref meta_info = get(data, XNAME("meta"), no_meta);
    meta_update(self, own.meta_update_source, meta_info, XNAME("source"), own.source_update, XKW("source_info"));
    meta_update(self, own.meta_update_frame_format, meta_info, XNAME("frame_format"), own.format_update,
                py::handle());
    ref frame_data = get(data, XNAME("frame"), Py_None);
    if (!frame_data.is_none() && xcore::truth(frame_data)) {
        if (encoder.is_none())
            encoder = frame_format_attr(self, XNAME("encoder"));
        if (with_base64.is_none())
            with_base64 = frame_format_attr(self, XNAME("with_base64"));
        ref copy = jpg_copy_for_this_host(data, encoder, frame_data);
        if (copy)
            set_item(data, XNAME("frame"),
                     xcore::vcall(G.get(XNAME("str_to_img")),
                                  {copy, xcore::getattr(G.get(XNAME("Encoder")), XNAME("JPG")), Py_True},
                                  XKW("img_as_str", "encoder", "with_base64")));
        else
            set_item(data, XNAME("frame"),
                     xcore::vcall(G.get(XNAME("str_to_img")), {frame_data, encoder, with_base64},
                                  XKW("img_as_str", "encoder", "with_base64")));
    } else {
        set_item(data, XNAME("frame"), Py_None);
    }
    return data;
}

}  // namespace

XALO_MODULE(frame_packet, "xalo_sdk.redis.frame_packet", m) {
    G.init(m);
    C.zero.init(PyLong_FromLong(0));
    m.doc() = "Metadata records of a frame and the payload dictionary (meta, result, frame) that "
              "pipeline modules exchange through Redis.";
    C.time_time = xcore::keep_forever(xcore::getattr(G.import("time"), XNAME("time")));
    G.import("json");
    for (const char* name :
         {"img_to_str", "str_to_img", "Encoder", "base64_to_img", "img_to_base64str", "_shm_elsewhere"})
        G.import_from("xalo_sdk.redis.utils", name);
    jpg_copy_wanted(true);  // a value it cannot use reported now, or refused

    using xcore::declare;
    const char* update_doc = "Take over every value of the mapping that is not None and differs from the current "
                             "one; new names are added.";
    auto to_dict = declare<record_to_dict>("to_dict")
                       .arg<record_to_dict::p::self>()
                       .doc("The record's own attribute dictionary itself (live, not a copy).");

    py::object source =
        xcore::ClassBuilder(G, "MetaSource", "The upstream source of the frames: node, output port and names.")
            .attr("id", Py_None)
            .attr("type", Py_None)
            .attr("name", Py_None)
            .attr("source_name", Py_None)
            .attr("source_key", Py_None)
            .attr("output_port_idx", Py_None)
            .attr("frame_id", Py_None)
            .attr("ts", Py_None)
            .def(declare<source_init>("__init__")
                     .arg<source_init::p::self>()
                     .arg<source_init::p::src_node>(nullptr, py::none())
                     .arg<source_init::p::src_output_port>(nullptr, py::none())
                     .arg<source_init::p::src_name>(nullptr, py::none())
                     .doc(":param src_node: node description of the upstream node (read through get)\n"
                          ":param src_output_port: its output port\n"
                          ":param src_name: display name; \"<type>_<port>\" when not given"))
            .def(declare<source_update>("update")
                     .arg<source_update::p::self>()
                     .arg<source_update::p::source_info>()
                     .doc(update_doc))
            .def(to_dict)
            .finish();
    py::object module =
        xcore::ClassBuilder(G, "MetaModule", "The module that handles the frames, and its input port.")
            .attr("id", Py_None)
            .attr("type", Py_None)
            .attr("feed_port_idx", Py_None)
            .def(declare<module_init>("__init__")
                     .arg<module_init::p::self>()
                     .arg<module_init::p::cur_node>(nullptr, py::none())
                     .arg<module_init::p::feed_port_idx>(nullptr, py::none())
                     .doc(":param cur_node: node description of this module (read through get)\n"
                          ":param feed_port_idx: index of the module's input port"))
            .def(declare<module_update>("update")
                     .arg<module_update::p::self>()
                     .arg<module_update::p::module_info>()
                     .doc(update_doc))
            .def(to_dict)
            .finish();
    py::object frame_format =
        xcore::ClassBuilder(G, "MetaFrameFormat", "How the frame is encoded: encoder name and Base64 switch.")
            .attr("encoder", Py_None)
            .attr("with_base64", Py_False)
            .def(declare<frame_format_init>("__init__")
                     .arg<frame_format_init::p::self>()
                     .varkw<frame_format_init::p::kwargs>()
                     .doc("One attribute per keyword argument, in the order given."))
            .def(declare<format_update>("update")
                     .arg<format_update::p::self>()
                     .arg<format_update::p::frame_format_info>()
                     .doc(update_doc))
            .def(to_dict)
            .finish();
    py::object meta =
        xcore::ClassBuilder(G, "Meta", "The metadata of a link: this module, the upstream source, the frame format.")
            .def(declare<meta_init>("__init__")
                     .arg<meta_init::p::self>()
                     .arg<meta_init::p::cur_node>()
                     .arg<meta_init::p::feed_idx>()
                     .arg<meta_init::p::src_node>()
                     .arg<meta_init::p::src_port>()
                     .arg<meta_init::p::src_name>()
                     .doc("Build the module, source and frame-format records."))
            .def(declare<meta_update_source>("update_source")
                     .arg<meta_update_source::p::self>()
                     .arg<meta_update_source::p::source_info>(nullptr, py::none())
                     .doc("Merge a received source description into the source record."))
            .def(declare<meta_update_frame_format>("update_frame_format")
                     .arg<meta_update_frame_format::p::self>()
                     .arg<meta_update_frame_format::p::frame_format_info>(nullptr, py::none())
                     .doc("Merge a received frame format into the frame-format record."))
            .def(declare<meta_update_module>("update_module")
                     .arg<meta_update_module::p::self>()
                     .arg<meta_update_module::p::module_info>(nullptr, py::none())
                     .doc("Merge a module description into the module record."))
            .def(declare<meta_to_dict>("to_dict")
                     .arg<meta_to_dict::p::self>()
                     .doc("The metadata block: a fresh time stamp and the records' live mappings."))
            .finish();
    own.source_update.remember(source, "update");
    own.module_update.remember(module, "update");
    own.format_update.remember(frame_format, "update");
    own.source_to_dict.remember(source, "to_dict");
    own.module_to_dict.remember(module, "to_dict");
    own.format_to_dict.remember(frame_format, "to_dict");
    own.meta_to_dict.remember(meta, "to_dict");
    own.meta_update_source.remember(meta, "update_source");
    own.meta_update_frame_format.remember(meta, "update_frame_format");

    py::object jpg = xcore::getattr(G.get(XNAME("Encoder")), XNAME("JPG"));
    xcore::ClassBuilder(G, "FramePacket", "Builds the payload of a module's output and parses payloads received.")
        .attr("frame", Py_None)
        .attr("result", Py_None)
        .def(declare<packet_init>("__init__")
                 .arg<packet_init::p::self>()
                 .arg<packet_init::p::feed_idx>()
                 .arg<packet_init::p::cur_node>()
                 .arg<packet_init::p::src_node>(nullptr, py::none())
                 .arg<packet_init::p::src_port>(nullptr, py::none())
                 .arg<packet_init::p::src_name>(nullptr, py::none())
                 .doc(":param feed_idx: the input index at current module\n"
                      ":param cur_node: current module\n"
                      ":param src_node: upstream node\n"
                      ":param src_port: upstream output port\n"
                      ":param src_name: display name of the source"))
        .def(declare<create_frame_packet>("create_frame_packet")
                 .arg<create_frame_packet::p::self>()
                 .arg<create_frame_packet::p::version>(nullptr, py::int_(1))
                 .arg<create_frame_packet::p::ext_info>(nullptr, py::none())
                 .arg<create_frame_packet::p::result>(nullptr, py::none())
                 .arg<create_frame_packet::p::frame>(nullptr, py::none())
                 .arg<create_frame_packet::p::encoder>(nullptr, jpg)
                 .arg<create_frame_packet::p::with_base64>(nullptr, py::bool_(false))
                 .doc("Generate payload to publish\n\n"
                      ":param version: 0.x -> publish frame data only into redis port\n"
                      "                1.x or later -> publish frame + metadata into redis port\n"
                      ":param ext_info: extra information to add meta\n"
                      ":param result: processing result e.g. detections\n"
                      ":param frame: processed frame cv2.ndarray\n"
                      ":param encoder: image file encoding, None for raw pixels\n"
                      ":param with_base64: frame as Base64 text (needed to store the payload as JSON)\n"
                      ":return: the payload dictionary (meta, result, frame); for version 0 the Base64 JPEG "
                      "of the frame or None"))
        .def(declare<parse_frame_packet>("parse_frame_packet")
                 .arg<parse_frame_packet::p::self>()
                 .arg<parse_frame_packet::p::data>()
                 .arg<parse_frame_packet::p::version>(nullptr, py::int_(1))
                 .arg<parse_frame_packet::p::encoder>(nullptr, py::none())
                 .arg<parse_frame_packet::p::with_base64>(nullptr, py::none())
                 .doc("Merge a received payload's metadata and decode its frame.\n\n"
                      ":param data: data from redis - dict or redis_string\n"
                      ":param version: 0 for the bare Base64 JPEG form\n"
                      ":param encoder: None: the sender's encoder\n"
                      ":param with_base64: None: the sender's setting\n"
                      ":return: the payload with ``frame`` decoded (version 0: the image)"))
        .finish();
}
