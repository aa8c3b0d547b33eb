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

// The status object exists before the comparison, which may run Python code (__eq__ of
// a CSDK_OPERATE_SUCCESS that is not an int) or raise NameError.
PyObject* response_uncached(int status, const char* res, int res_len) {
    PyObject* s = status_object(status);
    if (!s) return nullptr;
    int ok = status_is_success_slow(status, s);
    return status_pair(s, ok > 0 ? copy_response(res, res_len) : ok == 0 ? Py_NewRef(Py_None) : nullptr);
}

}  // namespace csdk
