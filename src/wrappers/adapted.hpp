// The wrappers adapt_to_python3 returns.
//
// A wrapper is a builtin function (the interpreter's own function type for C code, which
// its specialised call instructions enter directly) whose __self__ is a WrapperCell:
// the one object the wrapper closes over, the wrapped function. The cell's type is
// qualified "adapt_to_python3.<locals>", which gives the wrapper the qualified name
// "adapt_to_python3.<locals>.wrapper", as a wrapper defined in Python would have.
//
// The decorator itself is bound by the module (module/adapter.cpp); the wrapper lives
// here because the wrappers' own entry points take over its work (call.hpp, Adapted).
#pragma once

#include "../plumbing/function.hpp"

namespace csdk {

struct WrapperCell {
    PyObject_HEAD
    PyObject* func;  // null once the garbage collector cleared the cell
};

inline PyObject* wrapped_function(PyObject* cell) { return reinterpret_cast<WrapperCell*>(cell)->func; }

// The signature of a builtin function with METH_FASTCALL | METH_KEYWORDS.
using FastEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// What every wrapper's method definition shares: its name, flags and docstring (only a
// text signature, so __doc__ reads None and inspect.signature gives (*args, **kwargs)).
PyMethodDef wrapper_def(FastEntry entry);

// The general entry point: encodes the str arguments and calls the wrapped function.
PyObject* adapter_entry(PyObject* cell, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The traceback entry a wrapper adds for an error of the function it wraps.
extern const TracebackSite wrapper_site;

// The cell of a wrapper made by this module's adapter with the general entry point, or
// null for any other object.
PyObject* adapter_cell(PyObject* wrapper);

// Gives such a wrapper another entry point (a definition that lives as long as the
// process); the wrapper keeps its name, docstring and flags.
void set_wrapper_entry(PyObject* wrapper, const PyMethodDef* def);

// A new wrapper of func with the general entry point (new reference), or null with an
// error set.
PyObject* new_wrapper(PyObject* func);

// Makes the cell type; run once before the adapter is bound.
bool ready_wrapper_cell_type();

}  // namespace csdk
