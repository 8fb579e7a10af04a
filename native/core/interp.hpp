// Every bet the kit makes on the interpreter beyond its public, documented
// API, in one place. Module code reaches these details only through this
// unit, so supporting the next CPython means reading this file.
//
// Each entry: what it relies on, the versions it was checked on (its gate),
// the check it runs at import where one is possible, and what the kit does
// where the gate or the check says no (its fallback).
//
//   type_lookup      _PyType_Lookup: a class's attribute found along its MRO,
//                    borrowed, no error set.  Gate: 3.9 to 3.14, GIL builds.
//                    Check: agrees with a walk of __mro__ on a probe class.
//                    Fallback: that walk (tp_mro and each class's dict).
//   class_version    tp_version_tag, renewed by the interpreter whenever a
//                    class or a base changes; decisions about a class are
//                    cached under it.  Gate: 3.9 to 3.14, GIL builds (before
//                    3.12 valid only with Py_TPFLAGS_VALID_VERSION_TAG).
//                    Check: a probe class's tag moves when it is changed.
//                    Fallback: 0, "no version": nothing is cached.
//   system_clock     _PyTime_GetSystemClock and _PyTime_AsSecondsDouble:
//                    what time.time() itself calls on 3.9 to 3.12 (from 3.13
//                    the public PyTime_Time and PyTime_AsSecondsDouble).
//                    Gate: below 3.13.  Check: a reading lies between two
//                    of time.time's.  Fallback: calling time.time.
//   finalizing       _Py_IsFinalizing before 3.13 (public Py_IsFinalizing
//                    from 3.13).  Gate: below 3.13.  No fallback needed.
//   getattr_optional _PyObject_LookupAttr before 3.13 (public
//                    PyObject_GetOptionalAttr from 3.13).  Gate: below 3.13.
//   noting_thread_end
//                    abi::__forced_unwind: how glibc's pthread_exit unwinds
//                    a daemon thread that asks for the GIL while the
//                    interpreter finalizes (3.14 hangs such a thread instead).
//                    Gate: libstdc++.  Fallback: a thread without the GIL
//                    during finalization counts as being ended.
//
// Not bets, and so not here: the documented macros and type-object fields
// of the full C API (PyList_GET_ITEM, tp_getattro, tp_basicsize, ...),
// version gates that only choose between two public functions
// (PyErr_GetRaisedException from 3.12, say), and the zone filter's native
// copy: when it equals copy.copy is decided from documented facts (a class's
// __new__ and copy hooks, copyreg.dispatch_table, copy.copy itself), and
// checked against copy.copy at import (roi/fastpath.cpp).
#pragma once

#include <Python.h>

namespace xcore::interp {

// Runs the checks above once per extension module; from module init.
// With XALO_PLAIN_INTERPRETER=1 in the environment every entry takes its
// fallback instead, so that the suite can run the fallbacks too.
void check_at_import();
bool plain_only();

// ---- type_lookup ---------------------------------------------------------------

#if PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED)
#define XALO_PRIVATE_TYPE_LOOKUP 1
#endif

PyObject* lookup_by_mro(PyTypeObject* t, PyObject* name) noexcept;
extern bool private_lookup_holds;  // set by check_at_import

// cls.<name> as found on the class or a base (no descriptor called, no
// metaclass consulted), borrowed from the class; null when no class has it.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) noexcept {
#ifdef XALO_PRIVATE_TYPE_LOOKUP
    if (private_lookup_holds)
        return _PyType_Lookup(t, name);
#endif
    return lookup_by_mro(t, name);
}

// ---- class_version -------------------------------------------------------------

#if PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED)
#define XALO_VERSION_TAG 1
#endif

extern bool version_tag_holds;  // set by check_at_import

// A class's attribute-cache version, when the interpreter keeps a valid one
// for it, else 0. It changes whenever the class or one of its bases changes,
// so a decision about a class can be cached under it; 0 caches nothing.
inline unsigned int class_version(PyTypeObject* t) noexcept {
#ifdef XALO_VERSION_TAG
    if (!version_tag_holds)
        return 0;
#if PY_VERSION_HEX >= 0x030C0000
    return t->tp_version_tag;
#else
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
#endif
#else
    (void)t;
    return 0;
#endif
}

// ---- system_clock ----------------------------------------------------------------

extern bool private_clock_holds;  // set by check_at_import

// What time.time() returns, in *seconds, read as time.time reads it; false
// when only calling time.time gives it (an error, or the check said no).
inline bool clock_seconds(double* seconds) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t;
    if (PyTime_Time(&t) != 0) {
        PyErr_Clear();  // time.time, called instead, raises it
        return false;
    }
    *seconds = PyTime_AsSecondsDouble(t);
    return true;
#else
    if (!private_clock_holds)
        return false;
    *seconds = _PyTime_AsSecondsDouble(_PyTime_GetSystemClock());
    return true;
#endif
}

// ---- finalizing and optional attributes ---------------------------------------------

inline bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// getattr(obj, name): 1 and a new reference in *value when found, 0 when
// missing (AttributeError cleared), -1 with an error set.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, value);
#else
    return _PyObject_LookupAttr(obj, name, value);
#endif
}

// ---- noting_thread_end -----------------------------------------------------------

#if defined(__GLIBCXX__)
#define XALO_FORCED_UNWIND 1
#endif

}  // namespace xcore::interp
