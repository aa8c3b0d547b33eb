#include "call.hpp"

namespace csdk {

// The one copy of a response. The SDK owns the buffer; an SDK that reports success
// without a usable buffer gets a clear error instead of a read through a bad pointer.
PyObject* copy_response(const char* res, int res_len) {
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

}  // namespace csdk
