// c_status_ok and c_status_fail: the host's test of an SDK status.
#include "../plumbing/function.hpp"
#include "../plumbing/state.hpp"

namespace csdk {

static GlobalSlot strerror_slot{&g_names.py_zvi_strerror};
static GlobalSlot logger_slot{&g_names.zvsdklogger};
static PyObject* named_template;    // "invoke c fun={} error code={}, error info={}"
static PyObject* unnamed_template;  // "invoke c fun error code={}, error info={}"
static PyObject* empty_string;

static Params ok_params, fail_params;

// status == CSDK_OPERATE_SUCCESS (or !=), as the comparison's own result object. The
// comparison may run Python code that rebinds the global: the value is held meanwhile.
static PyObject* compare_with_success(PyObject* status, int op) {
    Owned ok = success_value();
    if (!ok) return nullptr;
    if (g_success.is_c_int && g_success.value == ok.borrow() && PyLong_CheckExact(status)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(status, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) return PyBool_FromLong((v == g_success.c_int) == (op == Py_EQ));
        PyErr_Clear();
    }
    return PyObject_RichCompare(status, ok.borrow(), op);
}

static PyObject* c_status_ok(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* buffer[1];
    PyObject* const* argv = bind_args<1>(ok_params, args, nargsf, kwnames, buffer);
    if (!argv) return nullptr;
    PyObject* r = compare_with_success(argv[0], Py_EQ);
    if (!r) add_traceback(ok_params.site);
    return r;
}

// Writes "invoke c fun=... error code=..., error info=..." with the SDK's error text.
// Every global is held while code that could rebind it runs.
static bool log_failure(PyObject* status, PyObject* cfunname) {
    Owned strerror = Owned::incref(lookup_global(strerror_slot));
    if (!strerror) return false;
    Owned raw = Owned::steal(PyObject_CallOneArg(strerror.borrow(), status));
    if (!raw) return false;
    Owned text = Owned::steal(PyObject_CallMethod(raw.borrow(), "decode", "s", "utf8"));
    if (!text) return false;
    Owned logger = Owned::incref(lookup_global(logger_slot));
    if (!logger) return false;
    Owned debug = Owned::steal(PyObject_GetAttr(logger.borrow(), g_names.debug));
    if (!debug) return false;
    int named = PyObject_IsTrue(cfunname);
    if (named < 0) return false;
    Owned message = named ? Owned::steal(PyObject_CallMethodObjArgs(named_template, g_names.format, cfunname, status,
                                                                    text.borrow(), nullptr))
                          : Owned::steal(PyObject_CallMethodObjArgs(unnamed_template, g_names.format, status,
                                                                    text.borrow(), nullptr));
    if (!message) return false;
    Owned done = Owned::steal(PyObject_CallOneArg(debug.borrow(), message.borrow()));
    return bool(done);
}

static PyObject* c_status_fail(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* buffer[2];
    PyObject* const* argv = bind_args<2>(fail_params, args, nargsf, kwnames, buffer);
    if (!argv) return nullptr;
    Owned isfail = Owned::steal(compare_with_success(argv[0], Py_NE));
    int failed = isfail ? PyObject_IsTrue(isfail.borrow()) : -1;
    if (failed < 0 || (failed && !log_failure(argv[0], argv[1]))) {
        add_traceback(fail_params.site);
        return nullptr;
    }
    return isfail.release();
}

static const char ok_doc[] = "\n    c api 调用返回值status是否ok\n    ";
static const char fail_doc[] = "\n    c api 调用返回值status是否fail\n    ";

bool bind_status_helpers(PyObject* dict) {
    named_template = PyUnicode_InternFromString("invoke c fun={} error code={}, error info={}");
    unnamed_template = PyUnicode_InternFromString("invoke c fun error code={}, error info={}");
    empty_string = PyUnicode_InternFromString("");
    if (!named_template || !unnamed_template || !empty_string) return false;
    static PyObject* fail_defaults[1];
    fail_defaults[0] = empty_string;
    fail_params.required = 1;
    fail_params.defaults = fail_defaults;
    const FunctionRow ok_row = {"c_status_ok", false, "status", c_status_ok, &ok_params, __FILE__, __LINE__};
    const FunctionRow fail_row = {"c_status_fail", false, "status cfunname", c_status_fail, &fail_params, __FILE__,
                                  __LINE__};
    Owned ok = Owned::steal(new_row_function(ok_row, ok_doc));
    if (!ok || PyDict_SetItemString(dict, "c_status_ok", ok.borrow()) < 0) return false;
    Owned fail = Owned::steal(new_row_function(fail_row, fail_doc));
    return fail && PyDict_SetItemString(dict, "c_status_fail", fail.borrow()) == 0;
}

}  // namespace csdk
