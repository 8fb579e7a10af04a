// xalo_sdk.redis.utils: Redis key names of a node, the image string forms that
// frames travel in, and image scaling.
//
// Every module attribute the functions use (PREFIX, Encoder, logger, base64,
// cv2, np) is read from the module dictionary at each call, so a value assigned
// to it later takes effect at the next call.
#include "codec/base64.hpp"
#include "codec/jpeg.hpp"
#include "core/xcore.hpp"
#include "image/headers.hpp"
#include "shm/ring.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>

namespace py = pybind11;
using xcore::call_method;
using xcore::ref;

namespace {

xcore::Globals G;

// ---- small helpers --------------------------------------------------------------

void warn(py::handle message) { call_method(G.get(XNAME("logger")), XNAME("warning"), message); }

// Made in module init.
struct {
    xcore::Constant minus_one, one_float;
    xcore::Constant first_two;  // the slice [:2]
} C;

bool equal(py::handle a, py::handle b) { return xcore::compare(a, b, Py_EQ); }
bool differs(py::handle a, py::handle b) { return xcore::compare(a, b, Py_NE); }

// `obj[i]`, straight from the tuple when it is one.
ref item(py::handle obj, Py_ssize_t i) {
    if (PyTuple_CheckExact(obj.ptr()) && i < PyTuple_GET_SIZE(obj.ptr()))
        return ref::borrow(PyTuple_GET_ITEM(obj.ptr(), i));
    ref index = ref::steal(PyLong_FromSsize_t(i));
    return ref::steal(PyObject_GetItem(obj.ptr(), index.ptr()));
}

// int(value), as the builtin converts it.
ref to_int(py::handle value) {
    if (PyLong_CheckExact(value.ptr()))
        return ref::borrow(value);
    return ref::steal(PyNumber_Long(value.ptr()));
}


// True when the lower-case form of an encoding name is one of Encoder's, as
// `enc == Encoder.BMP or enc == Encoder.JPG`.
bool is_known_encoding(py::handle enc) {
    return equal(enc, xcore::getattr(G.get(XNAME("Encoder")), XNAME("BMP"))) ||
           equal(enc, xcore::getattr(G.get(XNAME("Encoder")), XNAME("JPG")));
}

// "Not defined encoder <name>. It should be one of [<first>, <second>]"
void warn_unknown_encoding(py::handle encoder, py::handle first_attr, py::handle second_attr) {
    ref enc_class = G.get(XNAME("Encoder"));
    ref first = xcore::getattr(enc_class, first_attr);
    ref second = xcore::getattr(enc_class, second_attr);
    warn(ref::steal(PyUnicode_FromFormat("Not defined encoder %S. It should be one of [%S, %S]", encoder.ptr(),
                                         first.ptr(), second.ptr())));
}

// ---- the codecs' faster routes ------------------------------------------------------
//
// Base64 and JPEG decoding go through libbase64 and libjpeg-turbo where the
// result is the very one the base64 module and cv2.imdecode give; everything
// else, and any module attribute replaced since import (a patched
// base64.b64decode, another cv2), takes the plain route through the modules.

// What the module attributes were at import, kept for identity checks.
struct {
    PyObject *base64, *b64encode, *b64decode, *cv2, *imdecode, *np;
} Orig;

// Buffers at least this large are coded without the GIL.
constexpr size_t kCodeWithoutGil = 1 << 18;

// True when module.<name> is still `original`.
bool module_attr_is(PyObject* module, py::handle name, PyObject* original) {
    if (module == nullptr || !PyModule_CheckExact(module))
        return false;
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name.ptr());
    if (v == nullptr)
        PyErr_Clear();
    return v == original;
}

bool base64_untouched(py::handle fn_name, PyObject* fn) {
    PyObject* module = G.peek(XNAME("base64"));
    return module == Orig.base64 && module_attr_is(module, fn_name, fn);
}

// Runs f without the GIL when the work is large; f touches no Python object.
template <class F>
void maybe_without_gil(size_t bytes, F&& f) {
    if (bytes < kCodeWithoutGil) {
        f();
        return;
    }
    PyThreadState* ts = PyEval_SaveThread();
    f();
    PyEval_RestoreThread(ts);
}

// Base64 of a contiguous buffer into a new bytes (as_text false) or str
// object; null, with no error set, when data has no such buffer or
// base64.b64encode was replaced.
ref b64encode_fast(py::handle data, bool as_text) {
    if (!base64_untouched(XNAME("b64encode"), Orig.b64encode))
        return ref();
    xcore::BufferView buf(data, PyBUF_SIMPLE, false);
    if (!buf.ok())
        return ref();
    const auto* d = static_cast<const unsigned char*>(buf.view().buf);
    size_t n = (size_t)buf.view().len, size = xcodec::b64_encoded_size(n);
    if (size > (size_t)PY_SSIZE_T_MAX)
        return ref();
    ref out = ref::steal(as_text ? PyUnicode_New((Py_ssize_t)size, 127)
                                 : PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)size));
    char* o = as_text ? static_cast<char*>(PyUnicode_DATA(out.ptr())) : PyBytes_AS_STRING(out.ptr());
    // A bytes object cannot change; any other exporter is held by the view.
    maybe_without_gil(n, [&] { xcodec::b64_encode(d, n, o); });
    return out;
}

// base64.b64encode(data), as bytes.
ref b64encode_bytes(py::handle data) {
    if (ref out = b64encode_fast(data, false))
        return out;
    return call_method(G.get(XNAME("base64")), XNAME("b64encode"), data);
}

// base64.b64decode(data): Base64 text in its clean form, given as bytes,
// decoded here; anything else by the module, which also finds the error.
ref b64decode(py::handle data) {
    if (PyBytes_CheckExact(data.ptr()) && base64_untouched(XNAME("b64decode"), Orig.b64decode)) {
        const char* s = PyBytes_AS_STRING(data.ptr());
        size_t n = (size_t)PyBytes_GET_SIZE(data.ptr());
        long long size = xcodec::b64_clean_size(s, n);
        if (size >= 0) {
            ref out = ref::steal(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)size));
            auto* o = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.ptr()));
            bool decoded = false;
            maybe_without_gil(n, [&] { decoded = xcodec::b64_decode_clean(s, n, o); });
            if (decoded)
                return out;
        }
    }
    return call_method(G.get(XNAME("base64")), XNAME("b64decode"), data);
}

// OpenCV's own limits on the size of an image it decodes
// (OPENCV_IO_MAX_IMAGE_WIDTH, _HEIGHT, _PIXELS, read as OpenCV does, once):
// an image beyond them is OpenCV's to refuse. A value that is not a plain
// number leaves every image to OpenCV.
struct OpenCvLimits {
    unsigned long long width = 1ULL << 20, height = 1ULL << 20, pixels = 1ULL << 30;
    bool plain = true;
};

const OpenCvLimits& opencv_limits() {
    static const OpenCvLimits limits = [] {
        OpenCvLimits l;
        auto read = [&](const char* name, unsigned long long* v) {
            const char* text = std::getenv(name);
            if (text == nullptr)
                return;
            char* end = nullptr;
            errno = 0;
            unsigned long long parsed = std::strtoull(text, &end, 10);
            if (end == text || *end != '\0' || errno != 0 || text[0] == '-')
                l.plain = false;
            else
                *v = parsed;
        };
        read("OPENCV_IO_MAX_IMAGE_WIDTH", &l.width);
        read("OPENCV_IO_MAX_IMAGE_HEIGHT", &l.height);
        read("OPENCV_IO_MAX_IMAGE_PIXELS", &l.pixels);
        return l;
    }();
    return limits;
}

// cv2.imdecode(np.frombuffer(data, dtype=np.uint8), -1) through libjpeg-turbo
// for a plain JPEG within OpenCV's limits; null, with no error set, when
// OpenCV is to decode it.
ref imdecode_fast(py::handle data) {
    if (!xcodec::jpeg_available() || G.peek(XNAME("np")) != Orig.np)
        return ref();
    PyObject* cv2 = G.peek(XNAME("cv2"));
    if (cv2 != Orig.cv2 || !module_attr_is(cv2, XNAME("imdecode"), Orig.imdecode))
        return ref();
    xcore::BufferView buf(data, PyBUF_SIMPLE, false);
    if (!buf.ok())
        return ref();
    const auto* d = static_cast<const unsigned char*>(buf.view().buf);
    size_t n = (size_t)buf.view().len;
    xcodec::JpegShape shape;
    if (!xcodec::jpeg_plain(d, n, &shape))
        return ref();
    const OpenCvLimits& limits = opencv_limits();
    unsigned long long w = (unsigned long long)shape.width, h = (unsigned long long)shape.height;
    if (!limits.plain || w > limits.width || h > limits.height || w * h > limits.pixels)
        return ref();
    ref dims = ref::steal(shape.channels == 1 ? Py_BuildValue("(ii)", shape.height, shape.width)
                                              : Py_BuildValue("(iii)", shape.height, shape.width, shape.channels));
    if (!dims)
        throw py::error_already_set();
    ref np = ref::borrow(Orig.np);
    ref image = xcore::vcall(xcore::getattr(np, XNAME("empty")), {dims, xcore::getattr(np, XNAME("uint8"))},
                             XKW("dtype"));
    bool decoded = false;
    {
        xcore::BufferView out(image, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        if ((unsigned long long)out.view().len != w * h * (unsigned long long)shape.channels)
            return ref();
        auto* o = static_cast<unsigned char*>(out.view().buf);
        // The new array is this call's own; data is held by its view.
        maybe_without_gil(kCodeWithoutGil, [&] { decoded = xcodec::jpeg_decode(d, n, shape, o); });
    }
    return decoded ? image : ref();
}

// codec_routes(): which library does each codec's work in this process.
XALO_FUNCTION(codec_routes) {
    ref out = ref::steal(PyDict_New());
    auto put = [&](const char* name, const char* value) {
        ref v = ref::steal(PyUnicode_FromString(value));
        if (!v || PyDict_SetItemString(out.ptr(), name, v.ptr()) != 0)
            throw py::error_already_set();
    };
    put("base64", "libbase64");
    put("jpeg_decode", xcodec::jpeg_available() ? "libjpeg-turbo" : "opencv");
    put("jpeg_encode", "opencv");
    return out;
}

// base64.b64encode(data).decode("ascii")
ref b64encode_text(py::handle data) {
    if (ref out = b64encode_fast(data, true))
        return out;
    ref encoded = call_method(G.get(XNAME("base64")), XNAME("b64encode"), data);
    if (PyBytes_CheckExact(encoded.ptr()))
        return ref::steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()),
                                                nullptr));
    return call_method(encoded, XNAME("decode"), XNAME("ascii"));
}

// np.frombuffer(data, dtype=np.uint8)
ref frombuffer_u8(py::handle data) {
    ref np = G.get(XNAME("np"));
    ref frombuffer = xcore::getattr(np, XNAME("frombuffer"));
    ref u8 = xcore::getattr(np, XNAME("uint8"));
    return xcore::vcall(frombuffer, {data, u8}, XKW("dtype"));
}

// ---- image size limit ---------------------------------------------------------------
//
// A file of a few kilobytes can claim an image of gigabytes, and any process
// that can write a key can hand one to a consumer. The size an image file
// claims is read from its header (image/headers) before OpenCV decodes it, and
// an image above the limit is refused.

constexpr unsigned long long kDefaultMaxImagePixels = 1ULL << 26;  // 8K UHD passes

// XALO_MAX_IMAGE_PIXELS when it holds a positive integer, else the default.
unsigned long long max_image_pixels() { return xcore::env_positive("XALO_MAX_IMAGE_PIXELS", kDefaultMaxImagePixels); }

// Raises ValueError when the image file in data claims more pixels than the
// limit allows, or carries the signature of a format whose size is not read.
// Data without a byte buffer is left to np.frombuffer to refuse.
void check_image_size(py::handle data) {
    using ximage::Claim;
    Claim c;
    {
        xcore::BufferView buf(data, PyBUF_SIMPLE, false);
        if (!buf.ok())
            return;
        c = ximage::claimed_size(static_cast<const unsigned char*>(buf.view().buf), (size_t)buf.view().len);
    }
    if (c.kind == Claim::kUnreadable) {
        PyErr_Format(PyExc_ValueError, "%s image refused: its size cannot be read to check the pixel limit",
                     c.format);
        throw py::error_already_set();
    }
    unsigned long long limit = max_image_pixels();
    if (c.kind == Claim::kKnown && c.h != 0 && c.w > limit / c.h) {
        PyErr_Format(PyExc_ValueError,
                     "image of %llux%llu pixels refused: more than %llu pixels (XALO_MAX_IMAGE_PIXELS)", c.w, c.h,
                     limit);
        throw py::error_already_set();
    }
}

// cv2.imdecode(np.frombuffer(data, dtype=np.uint8), -1): channels and depth as
// stored in the file; None when OpenCV cannot read the data. An image larger
// than the pixel limit raises ValueError first.
ref imdecode(py::handle data) {
    check_image_size(data);
    if (ref image = imdecode_fast(data))
        return image;
    ref decode = xcore::getattr(G.get(XNAME("cv2")), XNAME("imdecode"));
    ref buffer = frombuffer_u8(data);
    return xcore::call(decode, buffer, C.minus_one);
}

// cv2.imencode(ext, image), unpacked into (ret, encoded).
void imencode(py::handle ext, py::handle image, ref* ret, ref* encoded) {
    ref encode = xcore::getattr(G.get(XNAME("cv2")), XNAME("imencode"));
    xcore::unpack2(xcore::call(encode, ext, image), ret, encoded);
}

// ---- key builders -----------------------------------------------------------------

// What type.__getattribute__ gives for cls.<name> when cls is a plain class
// (made by `type`) and the attribute is a plain value, read from the class's
// attribute cache and borrowed from the class; null when that does not hold.
// The names read here are none of type's own.
PyObject* plain_class_attr(py::handle cls, py::handle name) {
    if (Py_TYPE(cls.ptr()) != &PyType_Type)
        return nullptr;
    PyObject* v = xcore::interp::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    return v != nullptr && Py_TYPE(v)->tp_descr_get == nullptr ? v : nullptr;
}

// PREFIX.REDIS.<which>. Between two plain reads no Python code runs, so the
// intermediate class needs a reference of its own only for a general lookup.
ref redis_prefix(py::handle which) {
    ref prefix = G.get(XNAME("PREFIX"));
    if (PyObject* redis = plain_class_attr(prefix, XNAME("REDIS"))) {
        if (PyObject* v = plain_class_attr(redis, which))
            return ref::borrow(v);
        return xcore::getattr(ref::borrow(redis), which);
    }
    return xcore::getattr(xcore::getattr(prefix, XNAME("REDIS")), which);
}

XALO_FUNCTION(gen_redis_key_local, node_id, port) {
    ref local = redis_prefix(XNAME("LOCAL"));
    xcore::KeyPart prefix(local);
    xcore::KeyPart node(a[p::node_id]);
    xcore::KeyPart port(a[p::port]);
    return xcore::join_key({&prefix, &node, &port});
}

XALO_FUNCTION(gen_redis_key_status, node_id) {
    ref status = redis_prefix(XNAME("STATUS"));
    xcore::KeyPart prefix(status);
    xcore::KeyPart node(a[p::node_id]);
    return xcore::join_key({&prefix, &node});
}

// ---- frames over shared memory ------------------------------------------------------
//
// Encoder.SHM: the frame is copied into this process's ring for its shape and
// element type (shm/ring.hpp), and what travels in the payload is a short
// text that references it. A reader on the same host copies the frame out;
// anything it cannot vouch for gives a warning and None.

// True when enc equals Encoder.SHM; an Encoder without SHM has no such road.
bool is_shm_encoding(py::handle enc) {
    ref shm;
    return xcore::getattr_optional(G.get(XNAME("Encoder")), XNAME("SHM"), &shm) && equal(enc, shm);
}

[[noreturn]] void raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw py::error_already_set();
}

ref text(const std::string& s) { return ref::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }

// The frame type of an image array, from its dtype text and its buffer.
xshm::FrameType frame_type(py::handle image, const Py_buffer& view) {
    xshm::FrameType type;
    ref dtype = xcore::getattr(xcore::getattr(image, XNAME("dtype")), XNAME("str"));
    Py_ssize_t n = 0;
    const char* d = PyUnicode_Check(dtype.ptr()) ? PyUnicode_AsUTF8AndSize(dtype.ptr(), &n) : nullptr;
    if (d == nullptr)
        throw py::error_already_set();
    if ((size_t)n < sizeof type.dtype)
        std::memcpy(type.dtype, d, (size_t)n);
    if ((size_t)n >= sizeof type.dtype || !xshm::valid_dtype(type.dtype, &type.itemsize) ||
        type.itemsize != (uint32_t)view.itemsize)
        raise_value_error("the shared-memory road carries arrays of bool, integers or floats, not " + std::string(d));
    if (view.ndim < 1 || view.ndim > (int)xshm::kMaxDims)
        raise_value_error("the shared-memory road carries arrays of 1 to 4 dimensions");
    type.ndim = (uint32_t)view.ndim;
    for (int i = 0; i < view.ndim; ++i) {
        if (view.shape[i] <= 0 || (unsigned long long)view.shape[i] > UINT32_MAX)
            raise_value_error("the shared-memory road carries no empty arrays");
        type.shape[i] = (uint32_t)view.shape[i];
    }
    if (type.bytes() != (uint64_t)view.len)
        raise_value_error("frame of " + std::to_string(view.len) + " bytes too large for a shared-memory ring");
    return type;
}

// ---- the road's counts -----------------------------------------------------------

// Why a frame of the road was not read: the labels shm_figures() reports.
enum class NotRead { kMalformed, kElsewhere, kRefused, kGone, kOverwritten, kCutShort, kCount };
constexpr const char* kNotReadNames[] = {"malformed", "elsewhere", "refused", "gone", "overwritten", "cut_short"};
static_assert(sizeof kNotReadNames / sizeof *kNotReadNames == size_t(NotRead::kCount), "one name per reason");

// This process's frames through the road. A forked child starts from zero,
// as a client's counts do.
struct RoadCounts {
    std::atomic<unsigned long long> written{0}, not_written{0}, read{0};
    std::atomic<unsigned long long> not_read[size_t(NotRead::kCount)] = {};
};

RoadCounts& road_counts() {
    static RoadCounts counts;
    static std::atomic<pid_t> owner{getpid()};
    pid_t me = getpid();
    if (owner.load(std::memory_order_relaxed) != me) {
        owner.store(me, std::memory_order_relaxed);
        counts.written = counts.not_written = counts.read = 0;
        for (auto& n : counts.not_read)
            n = 0;
    }
    return counts;
}

void count(std::atomic<unsigned long long>& n) { n.fetch_add(1, std::memory_order_relaxed); }

void warn_shm(NotRead reason, const std::string& why) {
    count(road_counts().not_read[size_t(reason)]);
    warn(text("Shared-memory frame not read: " + why));
}

// The most bytes a frame of the road may make a reader allocate: an image of
// XALO_MAX_IMAGE_PIXELS pixels of four 8-bit channels, whatever the frame's
// dimensions (a shape can put its bulk outside the two that count pixels).
unsigned long long max_shm_frame_bytes() {
    unsigned long long pixels = max_image_pixels();
    return pixels > ULLONG_MAX / 4 ? ULLONG_MAX : pixels * 4;
}

std::string frame_bytes_refused(uint64_t bytes) {
    return "frame of " + std::to_string(bytes) + " bytes refused: more than " + std::to_string(max_shm_frame_bytes()) +
           " bytes (4 x XALO_MAX_IMAGE_PIXELS)";
}

// XALO_SHM_SLOTS and XALO_SHM_MAX_RINGS, which the rings read for
// themselves: a value they cannot use is reported here, where Python is at
// hand (once per value; at import, strict mode refuses it).
void report_shm_settings(bool at_import = false) {
    xcore::env_whole("XALO_SHM_SLOTS", xshm::kDefaultSlots, 2, xshm::kMaxSlots, at_import);
    xcore::env_whole("XALO_SHM_MAX_RINGS", xshm::kDefaultMaxRings, 1, xshm::kMaxRingsLimit, at_import);
}

// How img_to_str's failure came about.
enum class RingFailure { kNone, kLoud, kQuiet };

// img_to_str(image, Encoder.SHM): the frame into the ring, its reference out.
// *ring_failed tells the caller that the OSError raised is the ring's (not
// made: no room in /dev/shm, over the size limit, ...), and whether it was
// already reported (kQuiet: the same run of failures).
ref shm_put(py::handle image, RingFailure* ring_failed) {
    ref array = ref::borrow(image);
    // A view that is not C-contiguous (a crop, a transpose) is copied first.
    if (PyObject_CheckBuffer(array.ptr())) {
        if (!xcore::BufferView(array, PyBUF_C_CONTIGUOUS, false).ok())
            array = call_method(G.get(XNAME("np")), XNAME("ascontiguousarray"), image);
    }
    xcore::BufferView buf(array, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    xshm::Reference r;
    r.type = frame_type(array, buf.view());
    report_shm_settings();
    if (r.type.bytes() > max_shm_frame_bytes()) {
        count(road_counts().not_written);
        raise_value_error(frame_bytes_refused(r.type.bytes()) + ": a reader would not take it");
    }
    try {
        std::shared_ptr<xshm::WriterRing> ring = xshm::writer_for(r.type);
        ring->write(buf.view().buf, &r.slot, &r.seq);
        r.name = ring->name();
        r.instance = ring->instance();
    } catch (const xshm::Error& e) {
        count(road_counts().not_written);
        *ring_failed = e.quiet() ? RingFailure::kQuiet : RingFailure::kLoud;
        PyErr_SetString(PyExc_OSError, e.what());
        throw py::error_already_set();
    }
    count(road_counts().written);
    r.boot_id = xshm::boot_id();
    r.machine_id = xshm::machine_id();
    return text(xshm::format_reference(r));
}


// Frames at least this large are copied without the GIL.
constexpr uint64_t kCopyWithoutGil = 1 << 18;

// The characters of a reference given as str or bytes; false for any other type.
bool reference_chars(py::handle data, const char** s, Py_ssize_t* n) {
    if (PyUnicode_Check(data.ptr())) {
        *s = PyUnicode_AsUTF8AndSize(data.ptr(), n);
        if (*s == nullptr)
            throw py::error_already_set();
        return true;
    }
    if (PyBytes_Check(data.ptr())) {
        *s = PyBytes_AS_STRING(data.ptr());
        *n = PyBytes_GET_SIZE(data.ptr());
        return true;
    }
    return false;
}

// str_to_img(reference, Encoder.SHM): a copy of the frame, or None with a
// warning when it cannot be vouched for.
ref shm_get(py::handle data) {
    const char* s = nullptr;
    Py_ssize_t n = 0;
    if (!reference_chars(data, &s, &n)) {
        warn_shm(NotRead::kMalformed, std::string("a reference is text, not ") + Py_TYPE(data.ptr())->tp_name);
        return ref::borrow(Py_None);
    }
    xshm::Reference r;
    std::string why;
    if (!xshm::parse_reference(s, (size_t)n, &r, &why)) {
        warn_shm(NotRead::kMalformed, "malformed reference (" + why + ")");
        return ref::borrow(Py_None);
    }
    if (r.boot_id != xshm::boot_id()) {
        warn_shm(NotRead::kElsewhere, "the frame lies in the memory of another host (machine id " + r.machine_id +
                 ") or of an earlier boot; this road only joins the modules of one host");
        return ref::borrow(Py_None);
    }
    unsigned long long w = r.type.ndim >= 2 ? r.type.shape[1] : 1, h = r.type.shape[0];
    unsigned long long limit = max_image_pixels();
    if (w > limit / h) {
        warn_shm(NotRead::kRefused, "image of " + std::to_string(w) + "x" + std::to_string(h) + " pixels refused: more than " +
                 std::to_string(limit) + " pixels (XALO_MAX_IMAGE_PIXELS)");
        return ref::borrow(Py_None);
    }
    if (r.type.bytes() > max_shm_frame_bytes()) {
        warn_shm(NotRead::kRefused, frame_bytes_refused(r.type.bytes()));
        return ref::borrow(Py_None);
    }
    std::shared_ptr<xshm::ReaderRing> ring = xshm::attach(r.name, r.instance, &why);
    if (!ring) {
        warn_shm(why.rfind("the ring is gone", 0) == 0 || why == "the ring belongs to another producer"
                     ? NotRead::kGone
                     : NotRead::kRefused,
                 r.name + ": " + why);
        return ref::borrow(Py_None);
    }
    if (ring->type() != r.type) {
        warn_shm(NotRead::kRefused, r.name + ": the ring holds frames of another shape or element type");
        return ref::borrow(Py_None);
    }
    if (r.slot >= ring->slots()) {
        warn_shm(NotRead::kRefused, r.name + ": slot " + std::to_string(r.slot) + " out of range");
        return ref::borrow(Py_None);
    }
    ref shape = ref::steal(PyTuple_New((Py_ssize_t)r.type.ndim));
    for (uint32_t i = 0; i < r.type.ndim; ++i)
        PyTuple_SET_ITEM(shape.ptr(), (Py_ssize_t)i, ref::steal(PyLong_FromUnsignedLong(r.type.shape[i])).release().ptr());
    ref dtype = text(std::string(r.type.dtype));
    ref empty = xcore::getattr(G.get(XNAME("np")), XNAME("empty"));
    ref out = xcore::vcall(empty, {shape, dtype}, XKW("dtype"));
    xshm::ReadStatus status;
    {
        xcore::BufferView buf(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        if ((uint64_t)buf.view().len != r.type.bytes()) {
            PyErr_SetString(PyExc_SystemError, "np.empty gave an array of another size");
            throw py::error_already_set();
        }
        // The new array is this call's own, and the mapping is held by `ring`.
        if (r.type.bytes() >= kCopyWithoutGil) {
            PyThreadState* ts = PyEval_SaveThread();
            status = ring->read(r.slot, r.seq, buf.view().buf);
            PyEval_RestoreThread(ts);
        } else {
            status = ring->read(r.slot, r.seq, buf.view().buf);
        }
    }
    if (status == xshm::ReadStatus::kShrunk) {
        warn_shm(NotRead::kCutShort, r.name + ": the ring was cut short by another process");
        return ref::borrow(Py_None);
    }
    if (status != xshm::ReadStatus::kOk) {
        warn_shm(NotRead::kOverwritten, r.name + ": frame " + std::to_string(r.slot) + "/" + std::to_string(r.seq) +
                 " was overwritten (the ring keeps the last " + std::to_string(ring->slots()) +
                 " frames of its producer; XALO_SHM_SLOTS sets how many)");
        return ref::borrow(Py_None);
    }
    count(road_counts().read);
    return out;
}

// _shm_elsewhere(reference): True when the text is a well-formed reference to
// a frame in the memory of another host (or an earlier boot), which this
// process cannot read; parse_frame_packet then takes the payload's JPEG copy,
// if the producer sent one. Quiet: anything else is str_to_img's to report.
XALO_FUNCTION(shm_elsewhere, reference) {
    const char* s = nullptr;
    Py_ssize_t n = 0;
    xshm::Reference r;
    std::string why;
    bool elsewhere = reference_chars(a[p::reference], &s, &n) && xshm::parse_reference(s, (size_t)n, &r, &why) &&
                     r.boot_id != xshm::boot_id();
    return ref::borrow(elsewhere ? Py_True : Py_False);
}

// ---- image string forms ---------------------------------------------------------

XALO_FUNCTION(base64_to_img, b64_bytes) {
    py::handle b64_bytes = a.bytes(p::b64_bytes);
    return xcore::catch_exception(
        [&]() -> ref {
            ref str_frame = b64decode(b64_bytes);
            return imdecode(str_frame);
        },
        [&](py::handle exc) -> ref {
            warn(ref::steal(PyUnicode_FromFormat("Failed to convert base64 to image - %S", exc.ptr())));
            return py::none();
        });
}

XALO_FUNCTION(img_to_base64str, image, zoom_ratio) {
    ref image = ref::borrow(a[p::image]);
    py::handle zoom = a.real(p::zoom_ratio);
    bool scale = PyFloat_CheckExact(zoom.ptr()) ? PyFloat_AS_DOUBLE(zoom.ptr()) != 1.0 : differs(zoom, C.one_float);
    if (scale)
        image = xcore::vcall_method(G.get(XNAME("cv2")), XNAME("resize"), {image, Py_None, zoom, zoom},
                                    XKW("fx", "fy"));
    ref ret, jpg;
    imencode(xcore::getattr(G.get(XNAME("Encoder")), XNAME("JPG")), image, &ret, &jpg);
    if (!xcore::truth(ret))
        return py::none();
    return b64encode_bytes(jpg);
}

XALO_FUNCTION(img_to_str, image, encoder, with_base64) {
    py::handle image = a[p::image], encoder = a[p::encoder];
    bool with_base64 = a[p::with_base64].ptr() == Py_True;  // the object True itself, not any true value
    RingFailure ring_failed = RingFailure::kNone;
    return xcore::catch_exception(
        [&]() -> ref {
            if (encoder.is_none()) {
                ref raw = call_method(image, XNAME("tobytes"));
                return with_base64 ? b64encode_text(raw) : raw;
            }
            ref enc = call_method(encoder, XNAME("lower"));
            if (!is_known_encoding(enc)) {
                if (is_shm_encoding(enc))
                    return shm_put(image, &ring_failed);
                warn_unknown_encoding(encoder, XNAME("JPG"), XNAME("BMP"));
                return py::none();
            }
            ref ret, encoded;
            imencode(enc, image, &ret, &encoded);
            if (!xcore::truth(ret)) {
                warn(ref::steal(PyUnicode_FromFormat("Failed to encode image with mode %S", encoder.ptr())));
                return py::none();
            }
            return with_base64 ? b64encode_text(encoded) : call_method(encoded, XNAME("tobytes"));
        },
        [&](py::handle exc) -> ref {
            // Strict mode: a producer whose ring cannot be made learns it from
            // this call, not from frames that arrive as None. Raised as it
            // came, traceback and all.
            if (ring_failed != RingFailure::kNone && G.strict()) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
                throw py::error_already_set();
            }
            // A /dev/shm that stays full is logged once, not once per frame.
            if (ring_failed != RingFailure::kQuiet)
                warn(exc);
            return py::none();
        });
}

XALO_FUNCTION(str_to_img, img_as_str, encoder, with_base64) {
    py::handle encoder = a[p::encoder];
    bool with_base64 = a[p::with_base64].ptr() == Py_True;
    return xcore::catch_exception(
        [&]() -> ref {
            ref data = ref::borrow(a[p::img_as_str]);
            // A reference is read as given: Base64 has no meaning for it.
            ref enc;
            if (PyUnicode_CheckExact(encoder.ptr())) {
                enc = call_method(encoder, XNAME("lower"));
                if (is_shm_encoding(enc))
                    return shm_get(data);
            }
            if (with_base64) {
                if (PyUnicode_CheckExact(data.ptr()))
                    data = ref::steal(PyUnicode_AsASCIIString(data.ptr()));
                else if (PyUnicode_Check(data.ptr()))
                    data = call_method(data, XNAME("encode"), XNAME("ascii"));
                data = b64decode(data);
            } else if (PyUnicode_CheckExact(data.ptr())) {
                data = ref::steal(PyUnicode_AsLatin1String(data.ptr()));
            } else if (PyUnicode_Check(data.ptr())) {
                data = call_method(data, XNAME("encode"), XNAME("latin-1"));
            }
            if (encoder.is_none())
                return frombuffer_u8(data);
            if (!enc)
                enc = call_method(encoder, XNAME("lower"));
            if (is_known_encoding(enc))
                return imdecode(data);
            if (is_shm_encoding(enc))
                return shm_get(data);
            warn_unknown_encoding(encoder, XNAME("BMP"), XNAME("JPG"));
            return py::none();
        },
        [](py::handle exc) -> ref {
            warn(exc);
            return py::none();
        });
}

// shm_figures(): the road's counts in this process, for monitoring.
XALO_FUNCTION(shm_figures) {
    RoadCounts& c = road_counts();
    ref out = ref::steal(PyDict_New()), not_read = ref::steal(PyDict_New());
    auto put = [](py::handle dict, const char* name, const std::atomic<unsigned long long>& n) {
        ref value = ref::steal(PyLong_FromUnsignedLongLong(n.load(std::memory_order_relaxed)));
        if (PyDict_SetItemString(dict.ptr(), name, value.ptr()) != 0)
            throw py::error_already_set();
    };
    put(out, "written", c.written);
    put(out, "not_written", c.not_written);
    put(out, "read", c.read);
    for (size_t i = 0; i < size_t(NotRead::kCount); ++i)
        put(not_read, kNotReadNames[i], c.not_read[i]);
    if (PyDict_SetItemString(out.ptr(), "not_read", not_read.ptr()) != 0)
        throw py::error_already_set();
    return out;
}

// ---- resize -------------------------------------------------------------------------

XALO_FUNCTION(resize, img, zoom, size) {
    py::handle img = a[p::img], zoom = a[p::zoom], size = a[p::size];
    if (img.is_none())
        return py::none();
    bool by_size = !size.is_none() && PyTuple_Check(size.ptr());
    // No size and a zoom of exactly 1.0: the image itself, decided without
    // leaving this frame.
    if (!by_size && PyFloat_CheckExact(zoom.ptr()) && PyFloat_AS_DOUBLE(zoom.ptr()) == 1.0)
        return ref::borrow(img);
    return xcore::catch_exception(
        [&]() -> ref {
            ref target, shape;
            if (by_size) {
                ref w, h;
                xcore::unpack2(size, &w, &h);
                ref tw = to_int(w);
                target = ref::steal(PyTuple_Pack(2, tw.ptr(), to_int(h).ptr()));
            } else if (PyFloat_CheckExact(zoom.ptr()) ? PyFloat_AS_DOUBLE(zoom.ptr()) != 1.0
                                                      : differs(zoom, C.one_float)) {
                shape = xcore::getattr(img, XNAME("shape"));
                ref h, w;
                xcore::unpack2(ref::steal(PyObject_GetItem(shape.ptr(), C.first_two.ptr())), &h, &w);
                ref tw = to_int(ref::steal(PyNumber_Multiply(w.ptr(), zoom.ptr())));
                ref th = to_int(ref::steal(PyNumber_Multiply(h.ptr(), zoom.ptr())));
                target = ref::steal(PyTuple_Pack(2, tw.ptr(), th.ptr()));
            } else {
                return ref::borrow(img);
            }
            // Already the target size (width first): hand back the very object.
            if (!shape)
                shape = xcore::getattr(img, XNAME("shape"));
            if (equal(item(shape, 1), item(target, 0)) && equal(item(shape, 0), item(target, 1)))
                return ref::borrow(img);
            return call_method(G.get(XNAME("cv2")), XNAME("resize"), img, target);
        },
        [](py::handle exc) -> ref {
            warn(exc);
            return py::none();
        });
}

// "AttributeError: text" of an exception, or only its type when its text
// cannot be had.
std::string describe(py::handle exc) {
    std::string said = Py_TYPE(exc.ptr())->tp_name;
    try {
        std::string text = py::str(exc);
        if (!text.empty())
            said += ": " + text;
    } catch (py::error_already_set&) {
    }
    return said;
}

// OpenCV is not a declared dependency: any of its distributions, or the
// system's own package, provides cv2.  When none is there, say so in terms of
// what to install, keeping the original error as the cause.  A cv2 that is
// there but fails to import is most often one built against another NumPy
// than the one installed (a NumPy 2 beside an OpenCV built for NumPy 1):
// installing it again would not help, so say what failed instead.
void import_opencv() {
    try {
        G.import("cv2");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception))
            throw;
        bool missing = false;
        if (e.matches(PyExc_ModuleNotFoundError)) {
            ref name = py::getattr(e.value(), "name", py::none());
            missing = PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), "cv2") == 0;
        }
        if (missing) {
            py::raise_from(e, PyExc_ModuleNotFoundError,
                           "xalo_sdk.redis.utils needs OpenCV's cv2 module: install python3-opencv (Debian) "
                           "or pip install 'xalo_sdk[opencv]' (or any other OpenCV distribution)");
            throw py::error_already_set();
        }
        std::string numpy;
        try {
            numpy = "numpy " + std::string(py::str(py::module_::import("numpy").attr("__version__")));
        } catch (py::error_already_set& np_error) {
            if (!np_error.matches(PyExc_Exception))
                throw;
            numpy = "and numpy does not import either: " + describe(np_error.value());
        }
        std::string said = "xalo_sdk.redis.utils: OpenCV's cv2 module is installed but failed to import (" +
                           describe(e.value()) +
                           "); most likely that OpenCV was built for another NumPy than the one installed (" +
                           numpy + ")";
        py::raise_from(e, PyExc_ImportError, said.c_str());
        throw py::error_already_set();
    }
}

}  // namespace

XALO_MODULE(utils, "xalo_sdk.redis.utils", m) {
    G.init(m);
    C.minus_one.init(PyLong_FromLong(-1));
    C.one_float.init(PyFloat_FromDouble(1.0));
    {
        ref two = ref::steal(PyLong_FromLong(2));
        C.first_two.init(PySlice_New(nullptr, two.ptr(), nullptr));
    }
    m.doc() = "Redis key names of a pipeline node, the image string forms that frames travel in "
              "(raw, JPEG or BMP, optionally Base64), and image scaling.";
    Orig.base64 = xcore::keep_forever(G.import("base64"));
    import_opencv();
    Orig.np = xcore::keep_forever(G.import("numpy", "np"));
    Orig.cv2 = xcore::keep_forever(G.get(XNAME("cv2")));
    Orig.imdecode = xcore::keep_forever(xcore::getattr(Orig.cv2, XNAME("imdecode")));
    Orig.b64encode = xcore::keep_forever(xcore::getattr(Orig.base64, XNAME("b64encode")));
    Orig.b64decode = xcore::keep_forever(xcore::getattr(Orig.base64, XNAME("b64decode")));
    G.import_from("typing", "Any");
    G.import_from("typing", "Optional");
    G.import_from("typing", "Union");
    G.import_from("xalo_sdk.constants", "PREFIX");
    G.import_from("xalo_sdk.constants", "STRICT");
    ref get_logger = G.import_from("xalo_sdk.logging.logger", "get_logger");
    G.set("logger", xcore::call(get_logger, py::str("REDIS")));
    xcore::env_positive("XALO_MAX_IMAGE_PIXELS", kDefaultMaxImagePixels, true);  // reported now, or refused
    report_shm_settings(true);

    xcore::ClassBuilder(G, "Encoder", "Image file encodings, named by the file extensions OpenCV knows them by.")
        .attr("JPG", py::str(".jpg"))
        .attr("BMP", py::str(".bmp"))
        .attr("SHM", py::str("shm"))
        .finish();
    xcore::ClassBuilder(G, "PayloadVersion",
                        "Payload versions: 0 for the bare Base64 JPEG preview, 1 for the payload dictionary.")
        .attr("VERSION_0", py::int_(0))
        .attr("VERSION_1", py::int_(1))
        .finish();

    using xcore::declare;
    G.def(declare<gen_redis_key_local>("gen_redis_key_local")
              .arg<gen_redis_key_local::p::node_id>()
              .arg<gen_redis_key_local::p::port>()
              .doc("Redis key of one output port of a node: \"<PREFIX.REDIS.LOCAL>_<node_id>_<port>\"."));
    G.def(declare<gen_redis_key_status>("gen_redis_key_status")
              .arg<gen_redis_key_status::p::node_id>()
              .doc("Redis key of a node's status: \"<PREFIX.REDIS.STATUS>_<node_id>\"."));
    G.def(declare<base64_to_img>("base64_to_img")
              .arg<base64_to_img::p::b64_bytes>("bytes")
              .returns("Union[None, np.ndarray]")
              .doc("Convert base64 string to opencv frame\n\n"
                   ":param b64_bytes: Base64 text of an image file, as bytes\n"
                   ":return: the decoded image, or None when the data is no readable image"));
    G.def(declare<img_to_base64str>("img_to_base64str")
              .arg<img_to_base64str::p::image>("np.ndarray")
              .arg<img_to_base64str::p::zoom_ratio>("Optional[float]", py::float_(1.0))
              .doc("Convert opencv frame to base64 encoded string\n\n"
                   ":param image: the frame\n"
                   ":param zoom_ratio: scale factor applied before encoding (1.0: none)\n"
                   ":return: Base64 of a JPEG file of the frame, as bytes; None when encoding fails"));
    G.def(declare<img_to_str>("img_to_str")
              .arg<img_to_str::p::image>("np.ndarray")
              .arg<img_to_str::p::encoder>(nullptr, py::none())
              .arg<img_to_str::p::with_base64>(nullptr, py::bool_(false))
              .doc("Encode an image as raw pixel bytes or an image file, optionally as Base64 text.\n\n"
                   "Args:\n"
                   "    image: np.ndarray - the image\n"
                   "    encoder: None, .jpg, .bmp\n"
                   "    with_base64: True, False\n\n"
                   "Returns:\n"
                   "    bytes or str: Encoded image data"));
    G.def(declare<str_to_img>("str_to_img")
              .arg<str_to_img::p::img_as_str>()
              .arg<str_to_img::p::encoder>(nullptr, py::none())
              .arg<str_to_img::p::with_base64>(nullptr, py::bool_(false))
              .doc("Decode image data made by img_to_str.\n\n"
                   "Args:\n"
                   "    img_as_str: bytes or str - encoded image data\n"
                   "    encoder: None, .jpg, .bmp\n"
                   "    with_base64: True if data is base64 encoded\n\n"
                   "Returns:\n"
                   "    np.ndarray or None: Decoded image"));
    G.def(declare<shm_elsewhere>("_shm_elsewhere")
              .arg<shm_elsewhere::p::reference>()
              .doc("True when the text references a shared-memory frame of another host or boot."));
    G.def(declare<shm_figures>("shm_figures")
              .returns("dict")
              .doc("This process's frames through shared memory (Encoder.SHM), for monitoring.\n\n"
                   ":return: a dict with ``written``, ``not_written`` (too large, or no ring could be made), ``read`` and "
                   "``not_read``, a dict of counts by reason: ``malformed``, ``elsewhere`` (another host or "
                   "boot), ``refused`` (limits, not a ring of this kit or of this user), ``gone``, "
                   "``overwritten``, ``cut_short``; counts start at zero in a forked child"));
    G.def(declare<codec_routes>("codec_routes")
              .returns("dict")
              .doc("Which library codes the image string forms in this process.\n\n"
                   ":return: a dict with ``base64`` (\"libbase64\"), ``jpeg_decode`` (\"libjpeg-turbo\" when "
                   "libturbojpeg was found at build and run time, else \"opencv\") and ``jpeg_encode`` "
                   "(\"opencv\"); every result is the one the base64 module and OpenCV give"));
    G.def(declare<resize>("resize")
              .arg<resize::p::img>("np.ndarray")
              .arg<resize::p::zoom>(nullptr, py::float_(1.0))
              .arg<resize::p::size>(nullptr, py::none())
              .doc("Scale an image to ``size`` (width, height) or by ``zoom``.\n\n"
                   ":param img: the image\n"
                   ":param zoom: scale factor for both axes, used when no size tuple is given\n"
                   ":param size: target size as a tuple (width, height)\n"
                   ":return: img itself when nothing changes, the scaled image, or None on failure"));
}
