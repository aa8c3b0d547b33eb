#include "call.hpp"

namespace csdk {

PyObject* copy_response_slow(const char* res, int res_len) {
    if (res_len < 0) {
        PyErr_Format(PyExc_RuntimeError, "zvsdk reported success with a negative response length (%d)", res_len);
        return nullptr;
    }
    if (!res) {
        PyErr_SetString(PyExc_RuntimeError, "zvsdk reported success without a response buffer");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(res, res_len);
}

// The status object exists before the lookup, which may raise NameError. When the
// success value is not an exact int its comparison runs Python code, which may call the
// SDK again and so make it reuse its buffer: the response is copied before that (when
// the SDK left a readable one) and dropped when the status turns out not to be success.
PyObject* response_uncached(int status, const char* res, int res_len) {
    Owned s = Owned::steal(status_object(status));
    if (!s) return nullptr;
    Owned value = success_value();
    if (!value) return nullptr;
    int ok = success_in_c(status, value.borrow());
    if (ok >= 0) return status_pair(s.release(), ok ? copy_response(res, res_len) : Py_NewRef(Py_None));
    Owned copy;
    if (res && res_len >= 0 && !(copy = Owned::steal(PyBytes_FromStringAndSize(res, res_len)))) return nullptr;
    ok = status_equals(s.borrow(), value.borrow());
    if (ok < 0) return nullptr;
    PyObject* body = !ok ? Py_NewRef(Py_None) : copy ? copy.release() : copy_response_slow(res, res_len);
    return status_pair(s.release(), body);
}

// The same for a string out-parameter: bytes on success, else None.
PyObject* text_uncached(int status, const char* text) {
    Owned s = Owned::steal(status_object(status));
    if (!s) return nullptr;
    Owned value = success_value();
    if (!value) return nullptr;
    int ok = success_in_c(status, value.borrow());
    if (ok >= 0) {
        if (!ok) Py_RETURN_NONE;
        return from_c_string(text);
    }
    Owned copy = Owned::steal(from_c_string(text));
    if (!copy) return nullptr;
    ok = status_equals(s.borrow(), value.borrow());
    if (ok < 0) return nullptr;
    if (!ok) Py_RETURN_NONE;
    return copy.release();
}

}  // namespace csdk
