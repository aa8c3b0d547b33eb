// Version shims: the only place that compares PY_VERSION_HEX, and the only place that
// reads the interpreter's own structures past its public functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// 3.12 added dict watchers and deprecated the dict version tag; before 3.12 the tag is
// the cheap way to tell that the module namespace changed.
#if PY_VERSION_HEX >= 0x030C0000
#define CSDK_HAVE_DICT_WATCHERS 1
#else
#define CSDK_HAVE_DICT_WATCHERS 0
#endif

// Member types for PyMemberDef: 3.12 gave them public names in Python.h; before, they
// come from structmember.h.
#if PY_VERSION_HEX >= 0x030C0000
#define CSDK_MEMBER_OBJECT Py_T_OBJECT_EX
#define CSDK_MEMBER_SSIZE Py_T_PYSSIZET
#define CSDK_MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define CSDK_MEMBER_OBJECT T_OBJECT_EX
#define CSDK_MEMBER_SSIZE T_PYSSIZET
#define CSDK_MEMBER_READONLY READONLY
#endif

// From 3.14 on the interpreter's error printer (PyErr_PrintEx) marks a KeyboardInterrupt
// it prints as unhandled, and the process then ends by SIGINT when the main program
// returns, however it returned.
#define CSDK_PRINTER_MARKS_INTERRUPT (PY_VERSION_HEX >= 0x030E0000)

// Before 3.13, object.__setattr__ and object.__delattr__ refuse an instance whose class
// (or a base between it and object) has a C-level tp_setattro of its own ("can't apply this
// __setattr__ to ... object"); from 3.13 on they check that only for classes themselves.
#define CSDK_OBJECT_SETATTR_ALLOWS_C_SETTERS (PY_VERSION_HEX >= 0x030D0000)

// A module by name from sys.modules (created empty when missing), as a new reference.
inline PyObject* add_module_ref(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject* m = PyImport_AddModule(name);  // borrowed
    Py_XINCREF(m);
    return m;
#endif
}

// Prints an exception instance and its traceback to sys.stderr, as the default
// sys.excepthook does.
inline void display_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc);
#else
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None);
    Py_XDECREF(tb);
#endif
}

namespace csdk {

// The pending exception, taken out of the error indicator and owned. From 3.12 on it is
// one object; before, a (type, value, traceback) triple, normalised here so that every
// later use sees the same exception instance.
class PendingException {
public:
    // Takes the pending exception, if any; the indicator is clear afterwards.
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
        if (type_) {
            PyErr_NormalizeException(&type_, &exc_, &tb_);
            if (tb_ && exc_) PyException_SetTraceback(exc_, tb_);
        }
#endif
    }
    ~PendingException() {
        Py_XDECREF(exc_);
#if PY_VERSION_HEX < 0x030C0000
        Py_XDECREF(type_);
        Py_XDECREF(tb_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

    explicit operator bool() const noexcept { return exc_ != nullptr; }
    // The exception instance (borrowed; null when there was none).
    PyObject* value() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept { return exc_ && PyErr_GivenExceptionMatches(exc_, type); }

    // Sets it as the current error again and lets it go.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
        type_ = tb_ = nullptr;
#endif
        exc_ = nullptr;
    }
    // Sets it as the current error and keeps it too.
    void restore_copy() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_XNewRef(exc_));
#else
        PyErr_Restore(Py_XNewRef(type_), Py_XNewRef(exc_), Py_XNewRef(tb_));
#endif
    }
    // Restores it when no error is set now; otherwise it becomes the __context__ of the
    // error that is (which then replaces it, as an error raised while handling another).
    void restore_under_current() noexcept {
        if (!PyErr_Occurred()) return restore();
        if (!exc_) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* now = PyErr_GetRaisedException();
        PyException_SetContext(now, exc_);  // steals
        exc_ = nullptr;
        PyErr_SetRaisedException(now);
#else
        PyObject *type, *now, *tb;
        PyErr_Fetch(&type, &now, &tb);
        PyErr_NormalizeException(&type, &now, &tb);
        if (tb && now) PyException_SetTraceback(now, tb);
        if (now) {
            PyException_SetContext(now, exc_);  // steals
            exc_ = nullptr;
        }
        PyErr_Restore(type, now, tb);
#endif
    }

private:
    PyObject* exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

}  // namespace csdk


// ---- shortcuts through the interpreter's structures ----
//
// Each one below reads a field or calls a function that CPython exposes to C code but does
// not promise to keep; everything else goes through the public API. Each can be compiled
// out (-D<name>=0) to measure it again; the gain given is instructions per operation
// under callgrind (CPython 3.11, the stand-in SDK), with and without the shortcut.

// The vectorcall of a Python function object, which the event bridge enters directly
// instead of through PyObject_Vectorcall (the same call, less the generic result check).
// Measured per event (the bridge and the handler's own run): 705 -> 672 instructions for
// a plain function (-5%), 784 -> 699 for a bound method (-11%).
#ifndef CSDK_DIRECT_FUNCTION_CALL
#define CSDK_DIRECT_FUNCTION_CALL 1
#endif
inline vectorcallfunc function_vectorcall(PyObject* func) {
    return reinterpret_cast<PyFunctionObject*>(func)->vectorcall;
}

// A class's version tag: 0, or a number the interpreter never gives to another state of
// any class, so an equal non-zero tag means the class has not changed. The record
// classes remember what a lookup on a class gave while the tag is unchanged.
// Measured per operation (less the loop's own cost), without -> with the tags:
// record[key] 512 -> 423 (-17%), record[key] = v 549 -> 500 (-9%), a field assigned as an
// attribute 788 -> 622 (-21%), a name read through __getattr__ 666 -> 454 (-32%); a field
// read through its property 604 -> 690 (+14%, the one case it costs).
#ifndef CSDK_TYPE_VERSION_TAGS
#define CSDK_TYPE_VERSION_TAGS 1
#endif
inline unsigned int type_version_tag(PyTypeObject* tp) {
#if CSDK_TYPE_VERSION_TAGS
    return tp->tp_version_tag;
#else
    (void)tp;
    return 0;  // never current: every lookup is made again
#endif
}

// What an attribute name resolves to on a class along its MRO, without running any
// descriptor (borrowed, or null with no error set): the interpreter's own lookup, which
// its type attribute cache makes cheap.
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

inline int64_t current_interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
}

#if !CSDK_HAVE_DICT_WATCHERS
// Every mutation of a dict gives it a new, globally unique version.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

