// Expands the wrapper table into function objects.
#include "registry.hpp"

#include "../plumbing/state.hpp"
#include "call.hpp"

#include <iterator>

namespace csdk {

static const FunctionRow wrapper_rows[] = {
#define CALL(py, fn, adapted, result, pnames, ...)                                                 \
    {#py, adapted, pnames, &Wrapper<__LINE__, &fn, result __VA_OPT__(, ) __VA_ARGS__>::vectorcall, \
     &Wrapper<__LINE__, &fn, result __VA_OPT__(, ) __VA_ARGS__>::params, __FILE__, __LINE__},
#include "expand_rows.inc"
};

// For each row, the method definition its adapter's wrapper gets (adapted rows only).
static const PyMethodDef adapted_defs[] = {
#define CALL(py, fn, adapted, result, pnames, ...) \
    adapted_def<adapted, Wrapper<__LINE__, &fn, result __VA_OPT__(, ) __VA_ARGS__>>(),
#include "expand_rows.inc"
};
static_assert(std::size(adapted_defs) == std::size(wrapper_rows));

// Every row names exactly as many Python parameters as its kinds take: the keyword path
// parses into an array of that many arguments.
#define CALL(py, fn, adapted, result, pnames, ...)                   \
    static_assert(count_names(pnames) == parameter_count<__VA_ARGS__>(), \
                  #py ": the parameter names and the argument kinds disagree");
#include "expand_rows.inc"

static PyObject* decorate(PyObject* dict, PyObject* func) {
    PyObject* adapter = PyDict_GetItemWithError(dict, g_names.adapt_to_python3);
    if (!adapter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names.adapt_to_python3);
        return nullptr;
    }
    return PyObject_CallOneArg(adapter, func);
}

// When the decoration gave the module's own adapter wrapper around exactly this
// function, its entry point becomes the combined one (see Adapted in call.hpp).
static void combine(PyObject* decorated, PyObject* func, const PyMethodDef& def) {
    PyObject* cell = adapter_cell(decorated);
    if (def.ml_meth && cell && wrapped_function(cell) == func) set_wrapper_entry(decorated, &def);
}

bool bind_wrappers(PyObject* dict) {
    for (size_t i = 0; i < std::size(wrapper_rows); ++i) {
        const FunctionRow& row = wrapper_rows[i];
        Owned func = Owned::steal(new_row_function(row));
        if (!func) return false;
        if (row.adapted) {
            Owned decorated = Owned::steal(decorate(dict, func.borrow()));
            if (!decorated) return false;
            combine(decorated.borrow(), func.borrow(), adapted_defs[i]);
            func = std::move(decorated);
        }
        if (PyDict_SetItemString(dict, row.name, func.borrow()) < 0) return false;
    }
    return true;
}

}  // namespace csdk
