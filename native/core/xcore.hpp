// The one layer between the kit's C++ and Python's object model.
//
// Module code declares its functions and classes through this header and
// writes their bodies with pybind11's object API; what makes the result
// behave like ordinary Python code lives here:
//   - Function: a native function type with Python's argument binding,
//     declared-type checks, introspection attributes, method binding and
//     vectorcall;
//   - ClassBuilder: classes made by calling type(name, bases, namespace);
//   - Globals: module globals looked up at each use;
//   - catch_exception: the one "catch Exception, log, return" idiom;
//   - ref and the call helpers: owning references and vectorcalls that stay
//     safe on a thread that is ended while the interpreter exits.
#pragma once

#include <pybind11/pybind11.h>

#include "core/interp.hpp"

#include <atomic>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace xcore {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Owning references

// True on a thread that CPython is ending while the interpreter exits: a
// daemon thread that asks for the GIL after finalization has begun is ended
// with a forced unwind, and a reference count touched then races with
// finalization (and a dealloc may abort the process). The call helpers below
// notice the unwind as it passes through them; a thread that has no GIL while
// the interpreter finalizes counts too.
bool thread_end_noted_or_no_gil() noexcept;

inline bool interpreter_finalizing() noexcept { return interp::finalizing(); }

// Set when this module's exit hook runs (atexit callbacks run before the
// interpreter starts finalizing, and so before any thread is ended) or when
// a forced unwind is noted. Until then no thread can be being ended, and a
// reference is dropped after one relaxed load instead of a call into the
// interpreter. Each extension module has its own flag and hook.
inline std::atomic<bool> exit_begun{false};

// Threads are only ended while the interpreter finalizes, so the common case
// costs one flag read.
inline bool thread_is_being_ended() noexcept {
    return exit_begun.load(std::memory_order_relaxed) && interpreter_finalizing() &&
           thread_end_noted_or_no_gil();
}

// An owning reference that is leaked, not released, when its frame is
// unwound on a thread that is being ended at interpreter exit.
class ref : public py::object {
public:
    ref() = default;
    ref(py::object&& o) noexcept : py::object(std::move(o)) {}
    ref(ref&&) noexcept = default;
    ref& operator=(ref&&) noexcept = default;
    ref(const ref&) = default;
    ref& operator=(const ref&) = default;
    // Inlined: on the hot paths most references are dropped here.
    PYBIND11_ALWAYS_INLINE ~ref() {
        if (m_ptr != nullptr && thread_is_being_ended())
            release();
    }
    // Takes over a new reference returned by the C API; throws the pending
    // Python error when it is null.
    static ref steal(PyObject* p) {
        if (p == nullptr)
            throw py::error_already_set();
        return ref(py::reinterpret_steal<py::object>(p));
    }
    static ref borrow(py::handle h) { return ref(py::reinterpret_borrow<py::object>(h)); }
};

// A buffer of obj, released when the view goes out of scope (and leaked, as
// a ref is, on a thread that is being ended at interpreter exit).
class BufferView {
public:
    // Throws the pending error when obj has no buffer of the kind flags ask
    // for; with required false, the view is empty instead and no error is left.
    BufferView(py::handle obj, int flags, bool required = true) {
        ok_ = PyObject_GetBuffer(obj.ptr(), &view_, flags) == 0;
        if (!ok_) {
            if (required)
                throw py::error_already_set();
            PyErr_Clear();
        }
    }
    ~BufferView() {
        if (ok_ && !thread_is_being_ended())
            PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool ok() const { return ok_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_;
    bool ok_;
};

// ---------------------------------------------------------------------------
// Objects kept for the process's life

// A new reference to h that is never released: for objects a module keeps
// as long as the interpreter (its classes, the library objects it compares
// against). Null stays null.
PyObject* keep_forever(py::handle h) noexcept;

// A module constant: an immutable object (a number, str, bytes, tuple or
// slice of these) made once in module init and kept for the process's life.
// A failed allocation raises there, so the import fails instead of a null
// being kept for the first use to crash on.
class Constant {
public:
    // Takes over a new reference; throws the pending error when it is null.
    void init(PyObject* made);
    py::handle get() const { return obj_; }
    operator py::handle() const { return obj_; }
    PyObject* ptr() const { return obj_; }

private:
    PyObject* obj_ = nullptr;
};

// Interned names, made once per call site and kept for the process's life.

PyObject* intern_forever(const char* text);
PyObject* kwnames_forever(std::initializer_list<const char*> names);

#define XNAME(text)                                                              \
    ([]() -> ::pybind11::handle {                                                \
        static PyObject* const interned_ = ::xcore::intern_forever(text);        \
        return interned_;                                                        \
    }())

// A tuple of keyword names for the call helpers below.
#define XKW(...)                                                                 \
    ([]() -> ::pybind11::handle {                                                \
        static PyObject* const names_ = ::xcore::kwnames_forever({__VA_ARGS__}); \
        return names_;                                                           \
    }())

// ---------------------------------------------------------------------------
// Calls through vectorcall. Arguments are borrowed handles; the trailing ones
// are keyword values when kwnames (an XKW tuple) is given. Code that can run
// on a daemon thread calls Python through these, so that an unwind that ends
// the thread at interpreter exit is noticed before any reference is dropped.

ref vcall(py::handle callable, std::initializer_list<py::handle> args,
          py::handle kwnames = py::handle());
ref vcall_method(py::handle self, py::handle name, std::initializer_list<py::handle> args,
                 py::handle kwnames = py::handle());

// As vcall_method, but a Python error is left pending and an empty ref is
// returned instead of throwing: for calls whose failure is an expected branch
// (queue.Full, say), since a C++ throw costs far more than the call.
ref try_vcall_method(py::handle self, py::handle name, std::initializer_list<py::handle> args,
                     py::handle kwnames = py::handle());

// The pending Python error, held as an exit-safe reference: unlike
// pybind11's error object, whose destructor takes the GIL, it may live across
// calls into Python on a thread that can be ended at interpreter exit.
class PendingError {
public:
    PendingError();  // takes over the pending error (a SystemError when there is none)
    bool matches(py::handle exc_type) const;
    [[noreturn]] void rethrow();

private:
    ref value_;  // the normalized exception instance
};

// `for item in iterable: fn(item)` with exit-safe references only (pybind11's
// iterator keeps owning handles across the calls to next()). When fn returns
// a bool, false breaks the loop; the result tells whether it ran to the end.
template <class Fn>
bool for_each(py::handle iterable, Fn&& fn) {
    ref it = ref::steal(PyObject_GetIter(iterable.ptr()));
    for (;;) {
        PyObject* next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            return true;
        }
        ref item = ref::steal(next);
        if constexpr (std::is_same_v<decltype(fn(py::handle(item))), bool>) {
            if (!fn(py::handle(item)))
                return false;
        } else {
            fn(py::handle(item));
        }
    }
}

// list.append(item) for an exact list.
inline void append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) != 0)
        throw py::error_already_set();
}
inline ref new_list() { return ref::steal(PyList_New(0)); }

// vcall and vcall_method on a stack the caller built: stack[0] is a spare
// slot (vcall_stack) or self (vcall_method_stack); n counts the positional
// entries after the spare slot, or all of them with self.
ref vcall_stack(py::handle callable, PyObject** stack, size_t n, py::handle kwnames = py::handle());
ref vcall_method_stack(py::handle name, PyObject** stack, size_t n);

template <class... A>
ref call(py::handle callable, A... args) {
    PyObject* stack[] = {nullptr, py::handle(args).ptr()...};
    return vcall_stack(callable, stack, sizeof...(A));
}
template <class... A>
ref call_method(py::handle self, py::handle name, A... args) {
    PyObject* stack[] = {self.ptr(), py::handle(args).ptr()...};
    return vcall_method_stack(name, stack, sizeof...(A) + 1);
}

// getattr(obj, name) with an interned name.
inline ref getattr(py::handle obj, py::handle name) {
    return ref::steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
}
// getattr(obj, name) that reports a missing attribute (AttributeError, as
// hasattr() sees it) by returning false instead of raising; any other error
// propagates.
inline bool getattr_optional(py::handle obj, py::handle name, ref* out) {
    PyObject* value = nullptr;
    int rc = interp::lookup_attr(obj.ptr(), name.ptr(), &value);
    if (rc < 0)
        throw py::error_already_set();
    if (rc > 0)
        *out = ref::steal(value);
    return rc > 0;
}

// The environment variable `name` when it holds a positive decimal integer,
// else `fallback`: the kit's limits (XALO_MAX_IMAGE_PIXELS, ...), read at
// each use so that a process can change them while it runs. A value that is
// set but not usable is reported (setting_refused); call it once with
// `at_import` from module init, so that strict mode refuses it there.
unsigned long long env_positive(const char* name, unsigned long long fallback, bool at_import = false);

// The environment variable `name` when it holds a whole number from `lo` to
// `hi` in decimal digits only, else `fallback`; reported as env_positive does.
unsigned long long env_whole(const char* name, unsigned long long fallback, unsigned long long lo,
                             unsigned long long hi, bool at_import = false);

// An XALO_* environment variable `name` holds `value`, which is not
// `expected`, and the kit uses `used` instead: one warning per value through
// the "REDIS" logger (xalo_sdk.constants.setting_refused); with `at_import`
// in strict mode, ValueError. Needs the GIL.
void setting_refused(const char* name, const char* value, const char* expected, const std::string& used,
                     bool at_import = false);

// format(value, ""): how an f-string or a formatted message turns a value
// into text.
inline ref format_text(py::handle value) { return ref::steal(PyObject_Format(value.ptr(), XNAME("").ptr())); }
// format(value, pattern), as "{:pattern}" formats it.
inline ref format_text(py::handle value, const char* pattern_text) {
    ref pattern = ref::steal(PyUnicode_FromString(pattern_text));
    return ref::steal(PyObject_Format(value.ptr(), pattern.ptr()));
}

// One part of a joined text, as an f-string writes it: a str as it is, an
// int in decimal (written without a temporary string), anything else as
// format(value, ""). The value must outlive the part.
class KeyPart {
public:
    explicit KeyPart(py::handle value);
    Py_ssize_t length() const { return length_; }
    Py_UCS4 maxchar() const { return text_ ? PyUnicode_MAX_CHAR_VALUE(text_.ptr()) : 127; }
    void write(PyObject* out, Py_ssize_t at) const;

private:
    py::handle text_;  // the str, when the part is not written from digits_
    ref formatted_;
    char digits_[24];
    const char* begin_ = nullptr;
    Py_ssize_t length_ = 0;
};

// The parts joined by single underscores into one new str:
// f"{a}_{b}_{c}" without the format machinery.
ref join_key(std::initializer_list<const KeyPart*> parts);

inline void setattr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0)
        throw py::error_already_set();
}
inline bool truth(py::handle obj) {
    PyObject* p = obj.ptr();
    if (p == Py_True || p == Py_False || p == Py_None)
        return p == Py_True;
    int r = PyObject_IsTrue(p);
    if (r < 0)
        throw py::error_already_set();
    return r != 0;
}

// `a <op> b` taken by its truth value, without the identity shortcut of
// PyObject_RichCompareBool, so an odd __eq__ is honoured as Python would.
inline bool compare(py::handle a, py::handle b, int op) {
    return truth(ref::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// mapping[key] and mapping[key] = value; a plain dict without a method call.
inline ref get_item(py::handle mapping, py::handle key) {
    return ref::steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}
inline void set_item(py::handle mapping, py::handle key, py::handle value) {
    int r = PyDict_CheckExact(mapping.ptr()) ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                                             : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (r != 0)
        throw py::error_already_set();
}

// A dict entry as a borrowed pointer, or null when missing; an error in the
// lookup counts as missing. For checks that only compare identities.
inline PyObject* peek(PyObject* dict, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict, key.ptr());
    if (v == nullptr && PyErr_Occurred())
        PyErr_Clear();
    return v;
}

// `t0, ..., tn-1 = value` with exactly n targets, raising what the
// interpreter raises ("cannot unpack non-iterable ...", "not enough values",
// "too many values"). Returns true when only the interpreter's own code ran
// (an exact tuple or list), false when the value's iteration may be Python code.
bool unpack(py::handle value, Py_ssize_t n, ref* out);
inline void unpack2(py::handle value, ref* first, ref* second) {
    ref both[2];
    unpack(value, 2, both);
    *first = std::move(both[0]);
    *second = std::move(both[1]);
}

// ---------------------------------------------------------------------------
// "catch Exception": a Python error derived from Exception raised by body()
// is handed, as the exception object, to on_error(exc), whose result is
// returned; KeyboardInterrupt, SystemExit and other BaseExceptions pass
// through. C++ exceptions that stand for Python errors (pybind11's cast
// errors and the like) count as the error they raise. on_error runs after the
// C++ catch block has ended, so it may call Python freely; meanwhile the
// exception is the one being handled (sys.exc_info()), as in an `except`
// block, so a logger that records the traceback finds it.
class HandlingException {
public:
    explicit HandlingException(py::handle exc);
    ~HandlingException();
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    PyObject* saved_[3];
};

template <class Body, class OnError>
auto catch_exception(Body&& body, OnError&& on_error) -> decltype(body()) {
    ref exc;
    try {
        try {
            return body();
        } catch (py::builtin_exception& e) {
            e.set_error();
            throw py::error_already_set();
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception))
            throw;
        exc = ref::borrow(e.value());
        // Before Python 3.12 the traceback is fetched apart from the value;
        // put it back on the exception, as an `except` block sees it.
        if (e.trace() && PyException_SetTraceback(exc.ptr(), e.trace().ptr()) != 0)
            PyErr_Clear();
    }
    HandlingException handling(exc);
    return on_error(py::handle(exc));
}

// ---------------------------------------------------------------------------
// Native functions

// How a parameter is checked on entry, from its annotation text: "str",
// "bytes", "dict", "list" accept exactly that type, "int" and "float" any
// number (converted), "bool" any object (its truth value); Optional[...] of
// these also accepts None.
enum class Check : unsigned char { None, Str, Bytes, Dict, List, Int, Float, Bool };

struct ParamInfo {
    PyObject* name;  // interned, kept forever
    bool varkw;      // the **kwargs parameter
    Check check;
    bool optional;   // None accepted
    const char* expected;
};

// The bound and checked arguments of one call, in parameter order. Typed
// access is tied to the declaration: asking for a list of a parameter not
// declared "list" (or an index past the last parameter) raises SystemError
// instead of reading what the entry check never guaranteed.
class Args {
public:
    // The first `given` values come from v, the rest up to n from defaults
    // (a positional call binds without copying its arguments).
    Args(PyObject* const* v, size_t given, PyObject* const* defaults, const ParamInfo* params, size_t n)
        : v_(v), defaults_(defaults), params_(params), given_(given), n_(n) {}
    // Any parameter, as given (or converted on entry).
    py::handle operator[](size_t i) const { return at(i); }
    // An exact list, str or dict: declared "list", "str" or "dict" (not Optional).
    py::handle list(size_t i) const { return declared(i, Check::List, false); }
    py::handle str(size_t i) const { return declared(i, Check::Str, false); }
    py::handle dict(size_t i) const { return declared(i, Check::Dict, false); }
    py::handle bytes(size_t i) const { return declared(i, Check::Bytes, false); }
    // An exact int or float, or None when declared Optional.
    py::handle integer(size_t i) const { return declared(i, Check::Int, true); }
    py::handle real(size_t i) const { return declared(i, Check::Float, true); }
    // A "bool" parameter's truth value.
    bool flag(size_t i) const { return declared(i, Check::Bool, false).ptr() == Py_True; }

private:
    py::handle at(size_t i) const {
        if (i < given_)
            return v_[i];
        if (i >= n_)
            out_of_range(i);
        return defaults_[i];
    }
    [[noreturn]] void out_of_range(size_t i) const;
    py::handle declared(size_t i, Check check, bool optional_allowed) const;

    PyObject* const* v_;
    PyObject* const* defaults_;
    const ParamInfo* params_;
    size_t given_;
    size_t n_;
};

// A body receives the bound and checked arguments in parameter order and
// returns a new reference (py::none() for None), or throws.
using Impl = ref (*)(const Args&);

enum class Kind : unsigned char { PositionalOrKeyword, VarKeyword };

struct Param {
    std::string name;
    std::string annotation;  // empty: none
    py::object default_value; // null: required
    Kind kind = Kind::PositionalOrKeyword;
};

// Describes one function; Globals::def and ClassBuilder::def turn it into a
// function object. Declared types are read from the annotation texts: "str",
// "bytes", "dict", "list", "int", "float", "bool" and Optional[...] of these
// are checked (and numbers converted) before the body runs.
template <class F, size_t Next>
class Declaration;

class Function {
public:
    Function& returns(const char* annotation) {
        returns_ = annotation;
        return *this;
    }
    Function& doc(const char* text) {
        doc_ = text;
        return *this;
    }

    // Makes the function object under the given __qualname__ and __module__.
    py::object build(const std::string& qualname, py::handle module_name) const;

    const std::string& name() const { return name_; }

private:
    // Made through declare<F>(), from a body that names its parameters.
    template <class F>
    friend Declaration<F, 0> declare(const char* name);
    template <class F, size_t Next>
    friend class Declaration;
    Function(const char* name, Impl impl) : name_(name), impl_(impl) {}
    Function& add(std::string name, const char* annotation, py::object dflt, Kind kind);

    std::string name_;
    Impl impl_;
    std::vector<Param> params_;
    const char* returns_ = nullptr;
    const char* doc_ = nullptr;
};

// ---------------------------------------------------------------------------
// Parameters by name
//
// A native function names its parameters where its body is:
//
//     XALO_FUNCTION(create_frame_packet, self, version, frame) {
//         if (a[p::frame].is_none()) ...
//     }
//
// defines the struct create_frame_packet: its enum p lists the parameters in
// their order, and its body reads each argument as a[p::<name>] (an index of
// another function, or a bare number, does not compile). Module set-up
// declares it from the same list:
//
//     xcore::declare<create_frame_packet>("create_frame_packet")
//         .arg<create_frame_packet::p::self>()
//         .arg<create_frame_packet::p::version>(nullptr, py::int_(1))
//         .arg<create_frame_packet::p::frame>(nullptr, py::none())
//
// The Python names come from the list; a declaration that skips, repeats or
// reorders a parameter does not compile. So a reordered list either moves
// the body's reads and the declaration's defaults together or stops the build.
// The typed view compiles to the plain one: no cost per call.

// The number of names in a stringized parameter list.
constexpr size_t count_names(const char* list) {
    size_t n = 0;
    bool in_name = false;
    for (; *list != '\0'; ++list) {
        if (*list == ',') {
            in_name = false;
        } else if (*list != ' ' && !in_name) {
            in_name = true;
            ++n;
        }
    }
    return n;
}

// Name i of a stringized parameter list.
std::string name_in_list(const char* list, size_t i);

// The arguments of a function F, read by F's parameter names. It reads the
// caller's Args in place: a copy loaded the binder's fresh stores as wider
// words than they were written in, which stalls every call until they retire.
template <class F>
class Params {
public:
    using Name = typename F::p::Index;
    explicit Params(const Args& a) : a_(a) {}
    py::handle operator[](Name i) const { return a_[i]; }
    py::handle list(Name i) const { return a_.list(i); }
    py::handle str(Name i) const { return a_.str(i); }
    py::handle dict(Name i) const { return a_.dict(i); }
    py::handle bytes(Name i) const { return a_.bytes(i); }
    py::handle integer(Name i) const { return a_.integer(i); }
    py::handle real(Name i) const { return a_.real(i); }
    bool flag(Name i) const { return a_.flag(i); }

private:
    const Args& a_;
};

template <class F>
ref call_body(const Args& a) {
    return F::body(Params<F>(a));
}

// A Function being declared, its parameters 0..Next-1 given.
template <class F, size_t Next>
class Declaration {
public:
    using Name = typename F::p::Index;
    explicit Declaration(Function f) : f_(std::move(f)) {}

    template <Name N>
    Declaration<F, Next + 1> arg(const char* annotation = nullptr) && {
        return std::move(*this).template add<N>(annotation, py::object(), Kind::PositionalOrKeyword);
    }
    template <Name N>
    Declaration<F, Next + 1> arg(const char* annotation, py::object default_value) && {
        return std::move(*this).template add<N>(annotation, std::move(default_value), Kind::PositionalOrKeyword);
    }
    template <Name N>
    Declaration<F, Next + 1> varkw() && {
        return std::move(*this).template add<N>(nullptr, py::object(), Kind::VarKeyword);
    }
    Declaration&& returns(const char* annotation) && {
        f_.returns(annotation);
        return std::move(*this);
    }
    Declaration&& doc(const char* text) && {
        f_.doc(text);
        return std::move(*this);
    }
    // Complete once every parameter of the list is declared.
    operator const Function&() const {
        static_assert(Next == count_names(F::names), "the declaration leaves out parameters of the function's list");
        return f_;
    }

    // The function object itself, for a declaration that no class holds.
    py::object build(const std::string& qualname, py::handle module_name) const {
        return static_cast<const Function&>(*this).build(qualname, module_name);
    }

private:
    template <Name N>
    Declaration<F, Next + 1> add(const char* annotation, py::object dflt, Kind kind) && {
        static_assert(static_cast<size_t>(N) == Next,
                      "parameters must be declared once each, in the order of the function's list");
        f_.add(name_in_list(F::names, Next), annotation, std::move(dflt), kind);
        return Declaration<F, Next + 1>(std::move(f_));
    }
    Function f_;
};

template <class F>
Declaration<F, 0> declare(const char* name) {
    return Declaration<F, 0>(Function(name, &call_body<F>));
}

// Defines the struct fn (see above) and opens its body; the body sees the
// arguments as `a` and returns a new reference (py::none() for None).
#define XALO_FUNCTION(fn, ...)                                                   \
    struct fn {                                                                  \
        struct p {                                                               \
            enum Index : size_t { __VA_ARGS__ };                                 \
        };                                                                       \
        static constexpr const char* names = #__VA_ARGS__;                       \
        static ::xcore::ref body(const ::xcore::Params<fn>& a);                  \
    };                                                                           \
    ::xcore::ref fn::body([[maybe_unused]] const ::xcore::Params<fn>& a)

// ---------------------------------------------------------------------------
// Module definition

// A kit module keeps its state in C++ statics of the process (interned
// names, classes, the module dictionary behind Globals), and pybind11 keeps
// its own per interpreter: the module runs in the main interpreter only. In
// any other interpreter its import raises ImportError before pybind11 or the
// GIL state is touched, from PyInit or else from the create slot (which runs
// even when CPython calls PyInit in the main interpreter instead). A
// further import in the main interpreter (after `del sys.modules[...]`, or
// importlib.reload) gets the module made the first time; its body runs once.
class ModuleDefinition {
public:
    using Body = void (*)(py::module_&);
    ModuleDefinition(const char* qualified_name, Body body) noexcept;
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    // What PyInit_<name> returns: the definition, for multi-phase init.
    PyObject* init();

private:
    static PyObject* create(PyObject* import_entry, PyModuleDef* def);
    static int exec(PyObject* module);
    bool refused() const;  // true, with ImportError set, outside the main interpreter

    PyModuleDef def_;  // first member: the slots find this object from it
    PyModuleDef_Slot slots_[4];
    const char* name_;
    Body body_;
    PyObject* module_ = nullptr;  // once its body has run, kept forever
};

// XALO_MODULE(name, "package.name", m) { body }: the module's PyInit and its
// body, which receives the module as m.
#define XALO_MODULE(name, qualified_name, variable)                                                   \
    static void xalo_module_body_##name(::pybind11::module_&);                                        \
    static ::xcore::ModuleDefinition xalo_module_definition_##name(qualified_name,                    \
                                                                  &xalo_module_body_##name);          \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name();                                             \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                            \
        PYBIND11_CHECK_PYTHON_VERSION                                                                 \
        return xalo_module_definition_##name.init();                                                  \
    }                                                                                                 \
    void xalo_module_body_##name(::pybind11::module_& variable)

// ---------------------------------------------------------------------------
// Module globals

class Globals {
public:
    // Called once from module init.
    void init(py::module_ m);

    // The module attribute, read from the module's dictionary now; NameError
    // when it is missing.
    ref get(py::handle name) const;
    void set(const char* name, py::handle value) const;
    // The module attribute as a borrowed pointer, or null when it is missing;
    // never raises. For checks on a hot path that only compare identities.
    PyObject* peek(py::handle name) const;
    // Development mode: the truth of the module attribute STRICT (taken from
    // xalo_sdk.constants at import), read at each use so that a test or a
    // caller can switch one module. NameError when it is missing, as in
    // Python code.
    bool strict() const { return truth(get(XNAME("STRICT"))); }

    // import module / from module import name, kept as module attributes.
    ref import(const char* module, const char* as = nullptr) const;
    ref import_from(const char* module, const char* name) const;

    // Defines a module-level function.
    void def(const Function& f) const;

    py::handle name() const { return name_; }

private:
    PyObject* dict_ = nullptr;  // kept for the process's life, like the module
    PyObject* name_ = nullptr;
};

class ClassBuilder {
public:
    ClassBuilder(const Globals& g, const char* name, const char* doc = nullptr);

    ClassBuilder& def(const Function& f);
    ClassBuilder& def_static(const Function& f);
    ClassBuilder& attr(const char* name, py::handle value);

    // type(name, bases, namespace), also stored as a module attribute.
    py::object finish(py::tuple bases = py::tuple());

private:
    const Globals& g_;
    std::string name_;
    py::dict ns_;
};

}  // namespace xcore
