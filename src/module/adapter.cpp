// adapt_to_python3 and the platform probes.
#include "../plumbing/state.hpp"
#include "../wrappers/adapted.hpp"

namespace csdk {

static Params adapt_params;
static PyObject* adapt_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* buffer[1];
    PyObject* const* argv = bind_args<1>(adapt_params, args, nargsf, kwnames, buffer);
    if (!argv) return nullptr;
    PyObject* w = new_wrapper(argv[0]);
    if (!w) add_traceback(adapt_params.site);
    return w;
}

static GlobalSlot platform_slot{&g_names.platform};

// platform.uname()[0].lower() == system
static PyObject* probe(const char* system, const TracebackSite& site) {
    Owned result;
    Owned platform = Owned::incref(lookup_global(platform_slot));  // uname may rebind it
    if (platform) {
        Owned uname = Owned::steal(PyObject_CallMethodNoArgs(platform.borrow(), g_names.uname));
        Owned sysname = uname ? Owned::steal(PySequence_GetItem(uname.borrow(), 0)) : Owned();
        Owned lowered = sysname ? Owned::steal(PyObject_CallMethodNoArgs(sysname.borrow(), g_names.lower)) : Owned();
        Owned expected = lowered ? Owned::steal(PyUnicode_FromString(system)) : Owned();
        if (expected) result = Owned::steal(PyObject_RichCompare(lowered.borrow(), expected.borrow(), Py_EQ));
    }
    if (!result) add_traceback(site);
    return result.release();
}

static Params windows_params, linux_params;
static PyObject* is_windows(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* buffer[1];
    if (!bind_args<0>(windows_params, args, nargsf, kwnames, buffer)) return nullptr;
    return probe("windows", windows_params.site);
}
static PyObject* is_linux(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* buffer[1];
    if (!bind_args<0>(linux_params, args, nargsf, kwnames, buffer)) return nullptr;
    return probe("linux", linux_params.site);
}

static const char adapt_doc[] = "\n     让这个模块同时支持python3和python2的装饰器\n     ";

bool bind_probes_and_adapter(PyObject* dict) {
    const FunctionRow rows[] = {
        {"is_windows", false, "", is_windows, &windows_params, __FILE__, __LINE__},
        {"is_linux", false, "", is_linux, &linux_params, __FILE__, __LINE__},
        {"adapt_to_python3", false, "func", adapt_call, &adapt_params, __FILE__, __LINE__},
    };
    for (const FunctionRow& row : rows) {
        bool adapter = row.spec == &adapt_params;
        Owned f = Owned::steal(new_row_function(row, adapter ? adapt_doc : nullptr));
        if (!f || PyDict_SetItemString(dict, row.name, f.borrow()) < 0) return false;
    }
    return true;
}

}  // namespace csdk
