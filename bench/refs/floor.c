/* The floor: the least a hand-written C extension does per call to offer the same
 * functions as c_sdk, against the same libzvsdk.so.
 *
 *   py_zvi_get_orders(req)                 -> (status, bytes) or (status, None)
 *   py_zvi_subscribe(symbols, frequency, unsubscribe_previous) -> status
 *   py_zvi_set_data_callback(f)            binds the module global f
 *   py_zvi_run()                           -> status; events go to f(name, payload)
 *
 * Each entry point is METH_FASTCALL and does one dict lookup of a module global, one
 * comparison and builds the result objects; nothing is cached.
 *
 * Also here, for the harness only: the SDK's own cost without any Python object (sdk_*),
 * and callgrind's collection switch (cg_toggle).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "zvsdk.h"

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FLOOR_HAVE_CALLGRIND 1
#endif
#endif

static PyObject* g_dict;     /* the module namespace (borrowed from the module) */
static PyObject* g_success;  /* "CSDK_OPERATE_SUCCESS" */
static PyObject* g_f;        /* "f" */

static PyObject* get_orders(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "py_zvi_get_orders(req: bytes)");
        return NULL;
    }
    char* res = NULL;
    int res_len = 0;
    int status = zvi_get_orders_pb(PyBytes_AS_STRING(args[0]), (int)PyBytes_GET_SIZE(args[0]), &res, &res_len);
    PyObject* s = PyLong_FromLong(status);
    if (!s) return NULL;
    PyObject* ok = PyDict_GetItemWithError(g_dict, g_success);
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "CSDK_OPERATE_SUCCESS");
        Py_DECREF(s);
        return NULL;
    }
    int eq = PyObject_RichCompareBool(s, ok, Py_EQ);
    PyObject* body = eq > 0 ? PyBytes_FromStringAndSize(res, res_len) : eq == 0 ? Py_NewRef(Py_None) : NULL;
    if (!body) {
        Py_DECREF(s);
        return NULL;
    }
    PyObject* t = PyTuple_New(2);
    if (!t) {
        Py_DECREF(s);
        Py_DECREF(body);
        return NULL;
    }
    PyTuple_SET_ITEM(t, 0, s);
    PyTuple_SET_ITEM(t, 1, body);
    return t;
}

/* bytes as is, str encoded as ASCII into *tmp (new reference the caller drops). */
static const char* c_string(PyObject* o, PyObject** tmp) {
    if (PyBytes_Check(o)) return PyBytes_AS_STRING(o);
    if (PyUnicode_Check(o)) {
        *tmp = PyUnicode_AsASCIIString(o);
        return *tmp ? PyBytes_AS_STRING(*tmp) : NULL;
    }
    PyErr_Format(PyExc_TypeError, "expected bytes or str, not %.100s", Py_TYPE(o)->tp_name);
    return NULL;
}

static PyObject* subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "py_zvi_subscribe(symbols, frequency, unsubscribe_previous)");
        return NULL;
    }
    PyObject *t0 = NULL, *t1 = NULL;
    PyObject* result = NULL;
    const char* symbols = c_string(args[0], &t0);
    const char* frequency = symbols ? c_string(args[1], &t1) : NULL;
    int flag = frequency ? PyObject_IsTrue(args[2]) : -1;
    if (flag >= 0) result = PyLong_FromLong(zvi_subscribe(symbols, frequency, flag != 0));
    Py_XDECREF(t0);
    Py_XDECREF(t1);
    return result;
}

/* The SDK calls back with the interpreter lock held (from inside py_zvi_run). */
static void on_event(const char* name, const char* data, int len) {
    PyObject* handler = PyDict_GetItemWithError(g_dict, g_f);
    if (!handler) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "f");
        PyErr_WriteUnraisable(NULL);
        return;
    }
    Py_INCREF(handler);
    PyObject* argv[3] = {NULL, PyUnicode_DecodeUTF8(name, (Py_ssize_t)strlen(name), NULL),
                         PyBytes_FromStringAndSize(data, len)};
    PyObject* r = argv[1] && argv[2]
                      ? PyObject_Vectorcall(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL)
                      : NULL;
    Py_XDECREF(argv[1]);
    Py_XDECREF(argv[2]);
    Py_DECREF(handler);
    if (!r) {
        PyErr_WriteUnraisable(NULL);
        return;
    }
    Py_DECREF(r);
}

static PyObject* set_data_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "py_zvi_set_data_callback(f)");
        return NULL;
    }
    if (PyDict_SetItem(g_dict, g_f, args[0]) < 0) return NULL;
    zvi_set_event_callback_pb(on_event);
    Py_RETURN_NONE;
}

static PyObject* run(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    int status = zvi_run();
    if (PyErr_Occurred()) return NULL;
    return PyLong_FromLong(status);
}

/* ---- the SDK alone ---- */

static PyObject* sdk_get_orders(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    Py_ssize_t n;
    if (nargs != 2 || !PyBytes_Check(args[0]) || (n = PyLong_AsSsize_t(args[1])) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "sdk_get_orders(req: bytes, n: int)");
        return NULL;
    }
    const char* req = PyBytes_AS_STRING(args[0]);
    int len = (int)PyBytes_GET_SIZE(args[0]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        char* res;
        int res_len;
        zvi_get_orders_pb(req, len, &res, &res_len);
    }
    Py_RETURN_NONE;
}

static PyObject* sdk_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    Py_ssize_t n;
    if (nargs != 3 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1]) || (n = PyLong_AsSsize_t(args[2])) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "sdk_subscribe(symbols: bytes, frequency: bytes, n: int)");
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) zvi_subscribe(PyBytes_AS_STRING(args[0]), PyBytes_AS_STRING(args[1]), false);
    Py_RETURN_NONE;
}

static void ignore_event(const char* name, const char* data, int len) {
    (void)name;
    (void)data;
    (void)len;
}

static PyObject* sdk_run(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    zvi_set_event_callback_pb(ignore_event);
    return PyLong_FromLong(zvi_run());
}

static PyObject* cg_toggle(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
#ifdef FLOOR_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"py_zvi_get_orders", (PyCFunction)(void (*)(void))get_orders, METH_FASTCALL, NULL},
    {"py_zvi_subscribe", (PyCFunction)(void (*)(void))subscribe, METH_FASTCALL, NULL},
    {"py_zvi_set_data_callback", (PyCFunction)(void (*)(void))set_data_callback, METH_FASTCALL, NULL},
    {"py_zvi_run", run, METH_NOARGS, NULL},
    {"sdk_get_orders", (PyCFunction)(void (*)(void))sdk_get_orders, METH_FASTCALL, NULL},
    {"sdk_subscribe", (PyCFunction)(void (*)(void))sdk_subscribe, METH_FASTCALL, NULL},
    {"sdk_run", sdk_run, METH_NOARGS, NULL},
    {"cg_toggle", cg_toggle, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor(void) {
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return NULL;
    g_dict = PyModule_GetDict(m);
    g_success = PyUnicode_InternFromString("CSDK_OPERATE_SUCCESS");
    g_f = PyUnicode_InternFromString("f");
    PyObject* constant = PyImport_ImportModule("zv.constant");
    PyObject* ok = constant ? PyObject_GetAttr(constant, g_success) : NULL;
    Py_XDECREF(constant);
    if (!g_success || !g_f || !ok || PyDict_SetItem(g_dict, g_success, ok) < 0) {
        Py_XDECREF(ok);
        Py_DECREF(m);
        return NULL;
    }
    Py_DECREF(ok);
#ifdef FLOOR_HAVE_CALLGRIND
    if (PyModule_AddIntConstant(m, "have_callgrind", 1) < 0) {
#else
    if (PyModule_AddIntConstant(m, "have_callgrind", 0) < 0) {
#endif
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
