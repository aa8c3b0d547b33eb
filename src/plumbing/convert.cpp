#include "convert.hpp"

namespace csdk {

bool to_c_string_slow(PyObject* o, const char** out, Pin& pin) {
    if (PyByteArray_Check(o)) {
        pin.pin(o);
        *out = PyByteArray_AS_STRING(o);
        return true;
    }
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(o, &p, &n) < 0) return false;  // TypeError for other types
    *out = p;
    return true;
}

bool to_request_slow(PyObject* o, const char** data, int* len, Pin& pin) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) return false;
    // The SDK takes the length as a C int; a longer request would be cut silently.
    if (n > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "request of %zd bytes is too long (at most %d bytes)", n, INT_MAX);
        return false;
    }
    char* p;
    Py_ssize_t size;
    if (PyByteArray_Check(o)) {
        p = PyByteArray_AS_STRING(o);
        size = PyByteArray_GET_SIZE(o);
    } else if (PyBytes_AsStringAndSize(o, &p, &size) < 0) {
        return false;
    }
    // A subclass may report a length its storage does not have; the SDK must never be
    // told to read past the buffer.
    if (n > size) {
        PyErr_Format(PyExc_ValueError, "len() of the request is %zd but its buffer holds %zd bytes", n, size);
        return false;
    }
    // Taken last: len() above is the only code this conversion runs.
    if (PyByteArray_Check(o)) pin.pin(o);
    *data = p;
    *len = static_cast<int>(n);
    return true;
}

bool to_c_int_slow(PyObject* o, int* out) {
    Owned converted;
    if (!PyLong_Check(o)) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = Owned::steal(nb->nb_int(o));
        if (!converted) return false;
        PyObject* r = converted.borrow();
        if (!PyLong_CheckExact(r)) {
            if (!PyLong_Check(r)) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an "
                                 "instance of a strict subclass of int is deprecated, and may be "
                                 "removed in a future version of Python.",
                                 Py_TYPE(r)->tp_name) < 0)
                return false;
        }
        o = r;
    }
    int overflow;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

}  // namespace csdk
