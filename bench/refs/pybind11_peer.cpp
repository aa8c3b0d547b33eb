// The functions of c_sdk as a pybind11 user would write them against libzvsdk.so.
#include <pybind11/pybind11.h>

#include <string_view>

#include "zvsdk.h"

namespace py = pybind11;

namespace {

// The module namespace and the names read from it on every call; they live as long as
// the process (the module is never unloaded).
PyObject* g_globals = nullptr;
PyObject* g_success = nullptr;
PyObject* g_f = nullptr;

py::object global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_globals, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// bytes as is; str encoded (pybind11's own str -> bytes conversion).
py::bytes as_bytes(const py::object& o) {
    if (py::isinstance<py::bytes>(o)) return py::reinterpret_borrow<py::bytes>(o);
    if (py::isinstance<py::str>(o)) return py::bytes(py::reinterpret_borrow<py::str>(o));
    throw py::type_error("expected bytes or str");
}

// Called by the SDK from inside py_zvi_run, with the interpreter lock held.
void on_event(const char* name, const char* data, int len) {
    try {
        global(g_f)(py::str(name), py::bytes(data, static_cast<size_t>(len)));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("pybind11_peer.on_event");
    }
}

}  // namespace

PYBIND11_MODULE(pybind11_peer, m) {
    g_globals = PyModule_GetDict(m.ptr());  // borrowed: the module lives as long as the process
    g_success = py::str("CSDK_OPERATE_SUCCESS").release().ptr();
    g_f = py::str("f").release().ptr();
    PyUnicode_InternInPlace(&g_success);
    PyUnicode_InternInPlace(&g_f);
    m.attr("CSDK_OPERATE_SUCCESS") = py::module_::import("zv.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("f") = py::none();

    m.def("py_zvi_get_orders", [](py::bytes req) -> py::tuple {
        std::string_view r = req;
        char* res = nullptr;
        int res_len = 0;
        int status = zvi_get_orders_pb(r.data(), static_cast<int>(r.size()), &res, &res_len);
        py::int_ s(status);
        if (s.equal(global(g_success))) return py::make_tuple(s, py::bytes(res, static_cast<size_t>(res_len)));
        return py::make_tuple(s, py::none());
    });
    m.def("py_zvi_subscribe", [](py::object symbols, py::object frequency, bool unsubscribe_previous) {
        py::bytes s = as_bytes(symbols), fr = as_bytes(frequency);
        return zvi_subscribe(PyBytes_AS_STRING(s.ptr()), PyBytes_AS_STRING(fr.ptr()), unsubscribe_previous);
    });
    m.def("py_zvi_set_data_callback", [](py::object handler) {
        if (PyDict_SetItem(g_globals, g_f, handler.ptr()) < 0) throw py::error_already_set();
        zvi_set_event_callback_pb(&on_event);
    });
    m.def("py_zvi_run", [] { return zvi_run(); });
}
