// Module entry: multi-phase initialisation, the interpreter guard and the binding of
// every module-level name in its fixed order.
#include "../plumbing/function.hpp"
#include "../plumbing/state.hpp"
#include "../records/records.hpp"
#include "../wrappers/adapted.hpp"
#include "../wrappers/registry.hpp"

namespace csdk {

bool bind_probes_and_adapter(PyObject* dict);
bool bind_status_helpers(PyObject* dict);
bool bind_direct_functions(PyObject* module);

static const TracebackSite init_site = {"init c_sdk", __FILE__, __LINE__};

// Copies one import-spec attribute onto the new module; a missing one is skipped.
static bool copy_spec_attr(PyObject* spec, PyObject* module, PyObject* from, PyObject* to, bool skip_none) {
    Owned value = Owned::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    return (skip_none && value.borrow() == Py_None) || PyObject_SetAttr(module, to, value.borrow()) == 0;
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    int64_t id = current_interpreter_id();
    if (g_state.interpreter == -1) {
        g_state.interpreter = id;
    } else if (g_state.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_state.module) {
        Py_INCREF(g_state.module);
        return g_state.module;
    }
    if (!intern_names()) return nullptr;
    Owned name = Owned::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Owned module = Owned::steal(PyModule_NewObject(name.borrow()));
    if (!module) return nullptr;
    PyObject* m = module.borrow();
    if (!copy_spec_attr(spec, m, g_names.loader, g_names.__loader__, false) ||
        !copy_spec_attr(spec, m, g_names.origin, g_names.__file__, false) ||
        !copy_spec_attr(spec, m, g_names.parent, g_names.__package__, false) ||
        !copy_spec_attr(spec, m, g_names.submodule_search_locations, g_names.__path__, true))
        return nullptr;
    return module.release();
}

// from <module_name> import <attr> (absolute), bound under the same name.
static bool import_from(PyObject* dict, const char* module_name, PyObject* attr) {
    Owned fromlist = Owned::steal(PyTuple_Pack(1, attr));
    if (!fromlist) return false;
    Owned mod_name = Owned::steal(PyUnicode_FromString(module_name));
    if (!mod_name) return false;
    Owned mod = Owned::steal(PyImport_ImportModuleLevelObject(mod_name.borrow(), dict, nullptr, fromlist.borrow(), 0));
    if (!mod) return false;
    Owned value = Owned::steal(PyObject_GetAttr(mod.borrow(), attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
        return false;
    }
    return PyDict_SetItem(dict, attr, value.borrow()) == 0;
}

static bool import_module(PyObject* dict, PyObject* name) {
    Owned mod = Owned::steal(PyImport_Import(name));
    return mod && PyDict_SetItem(dict, name, mod.borrow()) == 0;
}

static bool run_module_statements(PyObject* module, PyObject* dict) {
    if (!import_module(dict, g_names.functools) || !import_module(dict, g_names.platform)) return false;
    if (!import_from(dict, "zv.constant", g_names.CSDK_OPERATE_SUCCESS)) return false;
    if (!import_from(dict, "zv.utils", g_names.zvsdklogger)) return false;
    if (PyDict_SetItem(dict, g_names.IS_PY2, Py_False) < 0 || PyDict_SetItem(dict, g_names.IS_PY3, Py_True) < 0)
        return false;
    if (!bind_record_classes(dict)) return false;
    if (!bind_probes_and_adapter(dict) || !bind_status_helpers(dict)) return false;
    if (!bind_wrappers(dict)) return false;
    Owned test = Owned::steal(PyDict_New());
    if (!test || PyDict_SetItem(dict, g_names.__test__, test.borrow()) < 0) return false;
    return bind_direct_functions(module);
}

static void reset_caches() {
    for (GlobalSlot* s : {&g_success, &g_is_py2, &g_handler}) s->version = 0;
}

static int module_exec(PyObject* module) noexcept {
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    g_state.module = module;
    g_state.dict = PyModule_GetDict(module);
    bool ok = intern_names() && ready_function_type() && ready_wrapper_cell_type();
    Owned builtins = Owned::steal(ok ? add_module_ref("builtins") : nullptr);
    ok = bool(builtins);
    if (ok && !g_state.builtins) {
        g_state.builtins = PyModule_GetDict(builtins.borrow());
        Py_INCREF(g_state.builtins);
    }
    ok = ok && PyDict_SetItem(g_state.dict, g_names.__builtins__, builtins.borrow()) == 0;
    ok = ok && watch_namespace(g_state.dict);
    reset_caches();
    if (ok) {
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        int present = PyDict_Contains(modules, g_names.c_sdk);
        ok = present > 0 || (present == 0 && PyDict_SetItem(modules, g_names.c_sdk, module) == 0);
    }
    ok = ok && run_module_statements(module, g_state.dict);
    if (ok) return 0;
    add_traceback(init_site);
    reset_caches();
    g_state.dict = nullptr;
    Py_CLEAR(g_state.module);
    return -1;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "c_sdk", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace csdk

extern "C" PyMODINIT_FUNC PyInit_c_sdk(void) { return PyModuleDef_Init(&csdk::module_def); }
