// Conversions of Python arguments to the C types the SDK takes. Each returns false with
// a Python exception set when the argument does not convert; none of them copies data.
#pragma once

#include "refs.hpp"

#include <climits>

namespace csdk {

// Keeps a bytearray's storage where it is for the length of one SDK call. Python code
// can run between taking the pointer and the call (a later argument's __index__ or
// __bool__, an event handler); while the storage is pinned, resizing the bytearray
// raises BufferError there instead of moving the bytes away under the pointer. bytes
// need no pin: their storage is part of the object, which the caller keeps alive.
//
// The pin is bytearray's own buffer export, taken and released through bytearray's
// slots even for a subclass, so that no Python-level __buffer__ runs and the storage
// pinned is the one the pointer points into.
class Pin {
public:
    Pin() noexcept = default;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() { release(); }

    // o is a bytearray (or subclass). Cannot fail: a simple export of a bytearray
    // always succeeds.
    void pin(PyObject* o) noexcept {
        PyByteArray_Type.tp_as_buffer->bf_getbuffer(o, &view_, PyBUF_SIMPLE);
        obj_ = view_.obj;
    }
    // Inlined to a test of obj_: most calls pin nothing.
    [[gnu::always_inline]] void release() noexcept {
        if (obj_) unpin();
    }

private:
    [[gnu::noinline]] void unpin() noexcept {
        PyByteArray_Type.tp_as_buffer->bf_releasebuffer(obj_, &view_);
        view_.obj = nullptr;
        Py_CLEAR(obj_);
    }

    PyObject* obj_ = nullptr;  // strong (the export's own reference)
    Py_buffer view_;
};

// bytes or bytearray (subclasses included) -> a pointer into the object's own storage.
// The SDK reads it as a C string, so it ends at the first NUL. An empty bytearray gives
// the interpreter's static empty string, never a null pointer. A bytearray is pinned.
bool to_c_string_slow(PyObject* o, const char** out, Pin& pin);

[[gnu::always_inline]] inline bool to_c_string(PyObject* o, const char** out, Pin& pin) {
    if (PyBytes_Check(o)) [[likely]] {
        *out = PyBytes_AS_STRING(o);
        return true;
    }
    return to_c_string_slow(o, out, pin);
}

// An exact str held as compact ASCII keeps its text NUL-terminated inside the object,
// byte for byte what str.encode("ascii") would copy out of it. Such a str is immutable,
// so the pointer stays valid while the caller holds its reference.
inline bool is_ascii_text(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_COMPACT_ASCII(o); }
inline const char* ascii_text(PyObject* o) { return static_cast<const char*>(PyUnicode_DATA(o)); }

bool to_request_slow(PyObject* o, const char** data, int* len, Pin& pin);

// A serialized request: len(req) and a pointer into the object's storage, no copy. A
// bytearray is pinned.
inline bool to_request(PyObject* o, const char** data, int* len, Pin& pin) {
    // For the exact types len() is the storage size, so the length protocol can be skipped.
    if (PyBytes_CheckExact(o) && Py_SIZE(o) <= INT_MAX) {
        *data = PyBytes_AS_STRING(o);
        *len = static_cast<int>(Py_SIZE(o));
        return true;
    }
    return to_request_slow(o, data, len, pin);
}

bool to_c_int_slow(PyObject* o, int* out);

// A 32-bit C int from an int (subclasses included) or any object whose type has __int__
// (a float is truncated toward zero).
inline bool to_c_int(PyObject* o, int* out) {
    if (PyLong_CheckExact(o)) {
        int overflow;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (!overflow && v >= INT_MIN && v <= INT_MAX) {
            *out = static_cast<int>(v);
            return true;
        }
    }
    return to_c_int_slow(o, out);
}

// A C double: a float as is, anything else through float().
inline bool to_c_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A C bool from the truth value; a raising __bool__ or __len__ propagates.
inline bool to_c_bool(PyObject* o, bool* out) {
    if (o == Py_True) {
        *out = true;
        return true;
    }
    if (o == Py_False || o == Py_None) {
        *out = false;
        return true;
    }
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t != 0;
    return true;
}

// A C string result -> bytes. The SDK promises a non-null string; a null one reads as
// empty rather than crashing the process.
inline PyObject* from_c_string(const char* s) {
    return PyBytes_FromString(s ? s : "");
}

}  // namespace csdk
