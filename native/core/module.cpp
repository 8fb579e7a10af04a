// Owning references, interned names, vectorcall helpers, module globals and
// class creation.
#include "core/xcore.hpp"

#ifdef XALO_FORCED_UNWIND
#include <cxxabi.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace xcore {

namespace {
thread_local bool t_being_ended = false;

// Runs a call into Python; notes a forced unwind (the thread being ended at
// interpreter exit) as it passes, before any frame of ours drops a reference.
template <class Call>
PyObject* noting_thread_end(Call&& call) {
#ifdef XALO_FORCED_UNWIND
    try {
        return call();
    } catch (abi::__forced_unwind&) {
        t_being_ended = true;
        exit_begun.store(true, std::memory_order_relaxed);
        throw;
    }
#else
    return call();
#endif
}

// The atexit hook: exit has begun, threads may be ended from now on.
PyObject* note_exit(PyObject*, PyObject*) {
    exit_begun.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_exit", note_exit, METH_NOARGS, nullptr};

// Registers the hook that sets exit_begun. Without it every reference drop
// checks the interpreter's own finalizing state, as if exit had begun.
void register_exit_hook() {
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    if (interpreter_finalizing()) {  // imported while the interpreter exits
        exit_begun.store(true, std::memory_order_relaxed);
        return;
    }
    try {
        ref atexit = ref::steal(PyImport_ImportModule("atexit"));
        ref hook = ref::steal(PyCFunction_New(&note_exit_def, nullptr));
        ref::steal(PyObject_CallMethod(atexit.ptr(), "register", "O", hook.ptr()));
    } catch (py::error_already_set&) {
        exit_begun.store(true, std::memory_order_relaxed);
    }
}
}  // namespace

bool thread_end_noted_or_no_gil() noexcept {
    return t_being_ended || !PyGILState_Check();
}

HandlingException::HandlingException(py::handle exc) {
    PyErr_GetExcInfo(&saved_[0], &saved_[1], &saved_[2]);
    Py_INCREF(Py_TYPE(exc.ptr()));
    Py_INCREF(exc.ptr());
    PyErr_SetExcInfo((PyObject*)Py_TYPE(exc.ptr()), exc.ptr(), PyException_GetTraceback(exc.ptr()));
}

HandlingException::~HandlingException() {
    if (!thread_is_being_ended())
        PyErr_SetExcInfo(saved_[0], saved_[1], saved_[2]);
}

PendingError::PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    if (value == nullptr)
        value = PyObject_CallFunction(PyExc_SystemError, "s", "no Python error is pending");
    value_ = ref(py::reinterpret_steal<py::object>(value));
}

bool PendingError::matches(py::handle exc_type) const {
    return PyErr_GivenExceptionMatches(value_.ptr(), exc_type.ptr()) != 0;
}

void PendingError::rethrow() {
    PyObject* value = value_.release().ptr();
    if (value == nullptr) {  // not even the SystemError could be made
        PyErr_NoMemory();
        throw py::error_already_set();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyObject* type = (PyObject*)Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
    throw py::error_already_set();
}

PyObject* keep_forever(py::handle h) noexcept {
    Py_XINCREF(h.ptr());
    return h.ptr();
}

void Constant::init(PyObject* made) {
    if (made == nullptr)
        throw py::error_already_set();
    PyTypeObject* t = Py_TYPE(made);
    bool immutable = t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type || t == &PyBytes_Type ||
                     t == &PyTuple_Type || t == &PySlice_Type || t == &PyBool_Type || made == Py_None;
    if (!immutable) {
        Py_DECREF(made);
        throw std::logic_error("a module constant must be immutable");
    }
    obj_ = made;
}

bool unpack(py::handle value, Py_ssize_t n, ref* out) {
    PyObject* v = value.ptr();
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) && PySequence_Fast_GET_SIZE(v) == n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = ref::borrow(PySequence_Fast_GET_ITEM(v, i));
        return true;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    ref it = ref::steal(raw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            throw py::error_already_set();
        }
        out[i] = ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        ref drop = ref::steal(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        throw py::error_already_set();
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return PyTuple_CheckExact(v) || PyList_CheckExact(v);
}

PyObject* intern_forever(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr)
        throw py::error_already_set();
    return s;
}

PyObject* kwnames_forever(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New((Py_ssize_t)names.size());
    if (t == nullptr)
        throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* n : names)
        PyTuple_SET_ITEM(t, i++, intern_forever(n));
    return t;
}

namespace {
constexpr size_t kMaxCallArgs = 16;

size_t positional_count(std::initializer_list<py::handle> args, py::handle kwnames) {
    size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0;
    if (args.size() > kMaxCallArgs || nkw > args.size())
        throw std::logic_error("bad argument list for a vectorcall");
    return args.size() - nkw;
}
}  // namespace

namespace {
// The raw method call behind every method form: a new reference, or null
// with the Python error pending.
PyObject* method_call(py::handle name, PyObject** stack, size_t n, py::handle kwnames) {
    return noting_thread_end([&] {
        return PyObject_VectorcallMethod(name.ptr(), stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    });
}
}  // namespace

ref vcall_stack(py::handle callable, PyObject** stack, size_t n, py::handle kwnames) {
    return ref::steal(noting_thread_end([&] {
        return PyObject_Vectorcall(callable.ptr(), stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    }));
}

ref vcall_method_stack(py::handle name, PyObject** stack, size_t n) {
    return ref::steal(method_call(name, stack, n, py::handle()));
}

ref vcall(py::handle callable, std::initializer_list<py::handle> args, py::handle kwnames) {
    size_t npos = positional_count(args, kwnames);
    // One spare slot in front lets the callee prepend self without copying.
    PyObject* stack[kMaxCallArgs + 1];
    size_t i = 1;
    for (py::handle a : args)
        stack[i++] = a.ptr();
    return vcall_stack(callable, stack, npos, kwnames);
}

ref try_vcall_method(py::handle self, py::handle name, std::initializer_list<py::handle> args,
                     py::handle kwnames) {
    size_t npos = positional_count(args, kwnames);
    PyObject* stack[kMaxCallArgs + 1];
    stack[0] = self.ptr();
    size_t i = 1;
    for (py::handle a : args)
        stack[i++] = a.ptr();
    return ref(py::reinterpret_steal<py::object>(method_call(name, stack, npos + 1, kwnames)));
}

ref vcall_method(py::handle self, py::handle name, std::initializer_list<py::handle> args,
                 py::handle kwnames) {
    ref result = try_vcall_method(self, name, args, kwnames);
    if (!result)
        throw py::error_already_set();
    return result;
}

// ---- joined text -------------------------------------------------------------------

KeyPart::KeyPart(py::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0) {
            unsigned long long u = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
            char* end = digits_ + sizeof digits_;
            char* p = end;
            do {
                *--p = char('0' + u % 10);
                u /= 10;
            } while (u != 0);
            if (v < 0)
                *--p = '-';
            begin_ = p;
            length_ = end - p;
            return;
        }
    }
    if (PyUnicode_CheckExact(value.ptr())) {
        text_ = value;
    } else {
        formatted_ = xcore::format_text(value);
        text_ = formatted_;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text_.ptr()) != 0)
        throw py::error_already_set();
#endif
    length_ = PyUnicode_GET_LENGTH(text_.ptr());
}

void KeyPart::write(PyObject* out, Py_ssize_t at) const {
    int kind = PyUnicode_KIND(out);
    if (!text_) {
        for (Py_ssize_t i = 0; i < length_; ++i)
            PyUnicode_WRITE(kind, PyUnicode_DATA(out), at + i, (Py_UCS4)begin_[i]);
    } else if (kind == PyUnicode_1BYTE_KIND) {
        memcpy(PyUnicode_1BYTE_DATA(out) + at, PyUnicode_1BYTE_DATA(text_.ptr()), (size_t)length_);
    } else if (PyUnicode_CopyCharacters(out, at, text_.ptr(), 0, length_) < 0) {
        throw py::error_already_set();
    }
}

ref join_key(std::initializer_list<const KeyPart*> parts) {
    Py_ssize_t length = (Py_ssize_t)parts.size() - 1;
    Py_UCS4 maxchar = '_';
    for (const KeyPart* p : parts) {
        length += p->length();
        maxchar = std::max(maxchar, p->maxchar());
    }
    ref key = ref::steal(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (const KeyPart* p : parts) {
        if (p != *parts.begin())
            PyUnicode_WRITE(PyUnicode_KIND(key.ptr()), PyUnicode_DATA(key.ptr()), at++, '_');
        p->write(key.ptr(), at);
        at += p->length();
    }
    return key;
}

// ---- module definition ------------------------------------------------------------

ModuleDefinition::ModuleDefinition(const char* qualified_name, Body body) noexcept
    : def_{PyModuleDef_HEAD_INIT, qualified_name, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
      slots_{}, name_(qualified_name), body_(body) {
    size_t n = 0;
    slots_[n++] = {Py_mod_create, reinterpret_cast<void*>(&create)};
    slots_[n++] = {Py_mod_exec, reinterpret_cast<void*>(&exec)};
#ifdef Py_mod_multiple_interpreters
    // Declared for what it is. From 3.13 on CPython runs PyInit in the main
    // interpreter for an interpreter with its own GIL, and then refuses the
    // module there itself, with its own message, before the create slot.
    slots_[n++] = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#endif
    slots_[n] = {0, nullptr};
    def_.m_slots = slots_;
}

bool ModuleDefinition::refused() const {
    // Public since 3.9: PyInterpreterState_Get never fails with the GIL held.
    if (PyInterpreterState_Get() == PyInterpreterState_Main())
        return false;
    PyErr_Format(PyExc_ImportError, "%s runs in the main interpreter only, not in a sub-interpreter", name_);
    return true;
}

PyObject* ModuleDefinition::init() {
    if (refused())
        return nullptr;
    return PyModuleDef_Init(&def_);
}

// The definition is the first member of its ModuleDefinition (both are
// standard-layout), so the one's address is the other's.
static_assert(std::is_standard_layout_v<ModuleDefinition>);

PyObject* ModuleDefinition::create(PyObject* import_entry, PyModuleDef* def) {
    auto* self = reinterpret_cast<ModuleDefinition*>(def);
    if (self->refused())
        return nullptr;
    if (self->module_ != nullptr) {
        Py_INCREF(self->module_);
        return self->module_;
    }
    PyObject* name = PyObject_GetAttrString(import_entry, "name");
    if (name == nullptr)
        return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int ModuleDefinition::exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr)
        return -1;
    auto* self = reinterpret_cast<ModuleDefinition*>(def);
    if (self->refused())
        return -1;
    if (self->module_ != nullptr)  // the module made before, handed out again by create
        return 0;
    try {
        PYBIND11_ENSURE_INTERNALS_READY
        interp::check_at_import();
        if (const char* plain = std::getenv("XALO_PLAIN_INTERPRETER");
            plain != nullptr && *plain != '\0' && std::strcmp(plain, "0") != 0 && std::strcmp(plain, "1") != 0)
            setting_refused("XALO_PLAIN_INTERPRETER", plain, "1 or 0", "0", true);
        auto m = py::reinterpret_borrow<py::module_>(module);
        self->body_(m);
        self->module_ = keep_forever(module);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

// ---- module globals -------------------------------------------------------------

void Globals::init(py::module_ m) {
    register_exit_hook();
    dict_ = py::object(m.attr("__dict__")).release().ptr();
    name_ = py::object(m.attr("__name__")).release().ptr();
}

ref Globals::get(py::handle name) const {
    PyObject* v = PyDict_GetItemWithError(dict_, name.ptr());
    if (v == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }
    return ref::borrow(v);
}

PyObject* Globals::peek(py::handle name) const {
    PyObject* v = PyDict_GetItemWithError(dict_, name.ptr());
    if (v == nullptr && PyErr_Occurred())
        PyErr_Clear();
    return v;
}

void Globals::set(const char* name, py::handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0)
        throw py::error_already_set();
}

ref Globals::import(const char* module, const char* as) const {
    ref m = ref::borrow(py::module_::import(module));
    set(as ? as : module, m);
    return m;
}

ref Globals::import_from(const char* module, const char* name) const {
    ref v = ref::borrow(py::module_::import(module).attr(name));
    set(name, v);
    return v;
}

void Globals::def(const Function& f) const {
    set(f.name().c_str(), f.build(f.name(), name_));
}

// ---- classes ----------------------------------------------------------------------

ClassBuilder::ClassBuilder(const Globals& g, const char* name, const char* doc) : g_(g), name_(name) {
    // Made in module init there is no calling frame to take these from.
    ns_["__module__"] = g.name();
    ns_["__qualname__"] = py::str(name);
    if (doc != nullptr)
        ns_["__doc__"] = py::str(doc);
}

ClassBuilder& ClassBuilder::def(const Function& f) {
    ns_[py::str(f.name())] = f.build(name_ + "." + f.name(), g_.name());
    return *this;
}

ClassBuilder& ClassBuilder::def_static(const Function& f) {
    ns_[py::str(f.name())] = ref::steal(PyStaticMethod_New(f.build(name_ + "." + f.name(), g_.name()).ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
    ns_[name] = value;
    return *this;
}

py::object ClassBuilder::finish(py::tuple bases) {
    py::handle meta = bases.size() ? py::handle((PyObject*)Py_TYPE(bases[0].ptr())) : py::handle((PyObject*)&PyType_Type);
    py::object cls = call(meta, py::str(name_), bases, ns_);
    g_.set(name_.c_str(), cls);
    return cls;
}

unsigned long long env_positive(const char* name, unsigned long long fallback, bool at_import) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = *text == '-' ? 0 : std::strtoull(text, &end, 10);
    if (*text != '-' && errno == 0 && *end == '\0' && v != 0)
        return v;
    setting_refused(name, text, "a positive whole number", "the default " + std::to_string(fallback), at_import);
    return fallback;
}

unsigned long long env_whole(const char* name, unsigned long long fallback, unsigned long long lo,
                             unsigned long long hi, bool at_import) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    unsigned long long v = 0;
    bool ok = std::strlen(text) <= 19;  // no overflow below
    for (const char* c = text; ok && *c != '\0'; ++c)
        ok = *c >= '0' && *c <= '9' && (v = v * 10 + static_cast<unsigned long long>(*c - '0'), true);
    if (ok && v >= lo && v <= hi)
        return v;
    setting_refused(name, text,
                    ("a whole number from " + std::to_string(lo) + " to " + std::to_string(hi)).c_str(),
                    "the default " + std::to_string(fallback), at_import);
    return fallback;
}

void setting_refused(const char* name, const char* value, const char* expected, const std::string& used,
                     bool at_import) {
    // Values reported by this module already: a setting read for every
    // frame costs no call into Python after its first report.
    static std::vector<std::string> reported;
    std::string seen = std::string(name) + "=" + value;
    if (!at_import && std::find(reported.begin(), reported.end(), seen) != reported.end())
        return;
    ref constants = ref::steal(PyImport_ImportModule("xalo_sdk.constants"));
    ref strict_now = ref::steal(PyBool_FromLong(at_import));
    ref text = ref::steal(PyUnicode_DecodeFSDefault(value));
    call(xcore::getattr(constants, XNAME("setting_refused")), py::str(name), text, py::str(expected), py::str(used),
         strict_now);
    reported.push_back(std::move(seen));
}

}  // namespace xcore
