// The event callback bridge: the SDK's only way into Python.
#include "../module/state.hpp"
#include "../wrappers/call.hpp"

#include <cstring>

namespace csdk {

bool bind_handler(PyObject* handler) {
    return PyDict_SetItem(g_state.dict, g_names.f, handler) == 0;
}

// Prints the pending exception, then reports it as unraisable with this function's
// name as the object, and leaves the error indicator clear. SystemExit ends the process
// in the printing stage, as the interpreter's printer does.
static void report_failure() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(0);
    PyObject* where = PyUnicode_FromString("c_sdk.callback_wrapper");
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(where ? where : Py_None);
    Py_XDECREF(where);
}

static PyObject* event_name(const char* name) {
    if (!name) {
        PyErr_SetString(PyExc_RuntimeError, "zvsdk delivered an event with a null name");
        return nullptr;
    }
    PyObject* flag = lookup_global(g_is_py2);
    if (!flag) return nullptr;
    int as_bytes = flag == Py_False ? 0 : flag == Py_True ? 1 : PyObject_IsTrue(flag);
    if (as_bytes < 0) return nullptr;
    if (as_bytes) return PyBytes_FromString(name);
    size_t n = std::strlen(name);
    if (n > PY_SSIZE_T_MAX) n = PY_SSIZE_T_MAX;
    return PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(n), nullptr);
}

static PyObject* event_payload(const char* data, int len) {
    // A negative length is refused by the interpreter (SystemError); a null payload
    // with a length is refused here rather than read.
    if (!data && len > 0) {
        PyErr_Format(PyExc_RuntimeError, "zvsdk delivered a null payload of %d bytes", len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(len > 0 ? data : "", len);
}

void callback_wrapper(const char* name, const char* data, int len) {
    // The SDK calls back only from inside a call made through this module, on the
    // thread that holds the interpreter lock, so nothing is acquired here.
    PyObject* py_name = event_name(name);
    if (!py_name) return report_failure();
    PyObject* handler = lookup_global(g_handler);
    if (!handler) {
        Py_DECREF(py_name);
        return report_failure();
    }
    Py_INCREF(handler);  // a handler may rebind f while it runs
    PyObject* payload = event_payload(data, len);
    if (!payload) {
        Py_DECREF(py_name);
        Py_DECREF(handler);
        return report_failure();
    }
    // Slot 0 is scratch space, so a bound method can prepend its instance in place.
    PyObject* argv[3] = {nullptr, py_name, payload};
    PyObject* result = PyObject_Vectorcall(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(py_name);
    Py_DECREF(payload);
    Py_DECREF(handler);
    if (!result) return report_failure();
    Py_DECREF(result);
}

}  // namespace csdk
