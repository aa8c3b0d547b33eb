#include "state.hpp"

namespace csdk {

ProcessState g_state;
InternedNames g_names;

GlobalSlot g_success{&g_names.CSDK_OPERATE_SUCCESS};
GlobalSlot g_is_py2{&g_names.IS_PY2};
GlobalSlot g_handler{&g_names.f};
PyObject* g_small_ints[kSmallIntMax - kSmallIntMin + 1];

bool intern_names() {
#define CSDK_INTERN_NAME(n)                                  \
    if (!g_names.n && !(g_names.n = PyUnicode_InternFromString(#n))) return false;
    CSDK_INTERNED(CSDK_INTERN_NAME)
#undef CSDK_INTERN_NAME
    // PyLong_FromLong hands out the interpreter's own object for these values; holding
    // one reference each keeps them for status_object.
    for (int v = kSmallIntMin; v <= kSmallIntMax; ++v) {
        PyObject*& slot = g_small_ints[v - kSmallIntMin];
        if (!slot && !(slot = PyLong_FromLong(v))) return false;
    }
    return true;
}

#if CSDK_HAVE_DICT_WATCHERS
uint64_t g_namespace_version = 1;
bool g_namespace_watched = false;

static int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_namespace_version;
    return 0;
}

bool watch_namespace(PyObject* dict) {
    static int watcher = -1;
    if (watcher < 0) watcher = PyDict_AddWatcher(on_namespace_event);
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        // No watcher slot: correct without the cache, only slower.
        PyErr_Clear();
        g_namespace_watched = false;
        return true;
    }
    g_namespace_watched = true;
    ++g_namespace_version;
    return true;
}
#else
bool watch_namespace(PyObject*) { return true; }
#endif

PyObject* lookup_global_slow(GlobalSlot& slot) {
    PyObject* name = *slot.name;
    slot.version = 0;
    slot.int_version = 0;
    if (!g_state.dict) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    uint64_t version = namespace_version();
    PyObject* value = PyDict_GetItemWithError(g_state.dict, name);
    if (value) {
        slot.value = value;
        slot.is_c_int = false;
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (!overflow && !(v == -1 && PyErr_Occurred())) {
                slot.is_c_int = true;
                slot.c_int = v;
            }
            PyErr_Clear();
        }
        slot.version = version;
        if (slot.is_c_int) slot.int_version = version;
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    // Builtins are not cached: a change there does not move the module's version.
    value = g_state.builtins ? PyDict_GetItemWithError(g_state.builtins, name) : nullptr;
    if (value) {
        slot.value = value;
        slot.is_c_int = false;
        return value;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

Owned success_value() {
    return Owned::incref(lookup_global(g_success));
}

int success_in_c(int status, PyObject* value) {
    if (g_success.is_c_int && g_success.value == value) return status == g_success.c_int;
    if (!PyLong_CheckExact(value)) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return 0;  // beyond long long: no int status equals it
    return status == v;
}

int status_equals(PyObject* status_obj, PyObject* value) {
    Owned eq = Owned::steal(PyObject_RichCompare(status_obj, value, Py_EQ));
    return eq ? PyObject_IsTrue(eq.borrow()) : -1;
}

}  // namespace csdk
