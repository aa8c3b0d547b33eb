// The wrappers adapt_to_python3 returns: their cell type and their general entry point.
#include "adapted.hpp"

#include "../plumbing/state.hpp"

namespace csdk {

extern const TracebackSite wrapper_site = {"c_sdk.adapt_to_python3.wrapper", __FILE__, __LINE__};

// ---- the wrapper's cell ----

static PyTypeObject* g_cell_type = nullptr;  // strong, for the life of the process

static int cell_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped_function(self));
    return 0;
}

static int cell_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<WrapperCell*>(self)->func);
    return 0;
}

static void cell_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    cell_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot cell_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(cell_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cell_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cell_dealloc)},
    {0, nullptr},
};

static PyType_Spec cell_spec = {"c_sdk.adapt_to_python3.<locals>", sizeof(WrapperCell), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                cell_slots};

bool ready_wrapper_cell_type() {
    if (g_cell_type) return true;
    Owned type = Owned::steal(PyType_FromSpec(&cell_spec));
    Owned qualname = Owned::steal(PyUnicode_FromString("adapt_to_python3.<locals>"));
    // Set while the type is still mutable; then it is made immutable like the
    // interpreter's own types, so the wrappers' qualified name stays as it is.
    if (!type || !qualname || PyObject_SetAttrString(type.borrow(), "__qualname__", qualname.borrow()) < 0 ||
        PyObject_SetAttr(type.borrow(), g_names.__module__, g_names.c_sdk) < 0)
        return false;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.release());
    t->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(t);
    g_cell_type = t;
    return true;
}

// ---- the wrapper ----

static const char wrapper_doc[] = "wrapper(*args, **kwargs)\n--\n\n";

PyMethodDef wrapper_def(FastEntry entry) {
    return {"wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS, wrapper_doc};
}

static PyMethodDef general_def = wrapper_def(adapter_entry);

PyObject* new_wrapper(PyObject* func) {
    WrapperCell* cell = PyObject_GC_New(WrapperCell, g_cell_type);
    if (!cell) return nullptr;
    cell->func = Py_NewRef(func);
    PyObject_GC_Track(cell);
    Owned self = Owned::steal(reinterpret_cast<PyObject*>(cell));
    return PyCFunction_NewEx(&general_def, self.borrow(), g_names.c_sdk);
}

PyObject* adapter_cell(PyObject* wrapper) {
    if (!PyCFunction_CheckExact(wrapper)) return nullptr;
    auto* w = reinterpret_cast<PyCFunctionObject*>(wrapper);
    return w->m_ml == &general_def && w->m_self && Py_IS_TYPE(w->m_self, g_cell_type) ? w->m_self : nullptr;
}

void set_wrapper_entry(PyObject* wrapper, const PyMethodDef* def) {
    reinterpret_cast<PyCFunctionObject*>(wrapper)->m_ml = const_cast<PyMethodDef*>(def);
}

// str -> ASCII bytes through the object's own encode method (a str subclass may
// override it); exact str takes the codec directly, which is the same call.
static PyObject* encode_ascii(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return PyUnicode_AsASCIIString(s);
    return PyObject_CallMethodOneArg(s, g_names.encode, g_names.ascii);
}

static PyObject* call_wrapped(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The module's own functions are entered directly: they never return a result
    // together with an error, so the interpreter's generic result check adds nothing.
    PyObject* r = Py_IS_TYPE(func, &FunctionType) ? as_function(func)->vectorcall(func, args, nargs, kwnames)
                                                  : PyObject_Vectorcall(func, args, nargs, kwnames);
    if (!r) add_traceback(wrapper_site);
    return r;
}

// The decorated function: every top-level str argument, positional or keyword, is
// encoded as ASCII before the wrapped function runs, unless IS_PY2 is true. The
// caller's arguments are never modified; the common case (no str) passes the argument
// vector through untouched.
PyObject* adapter_entry(PyObject* cell, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Owned flag = Owned::incref(lookup_global(g_is_py2));  // its __bool__ may rebind IS_PY2
    if (!flag) {
        add_traceback(wrapper_site);
        return nullptr;
    }
    PyObject* f = flag.borrow();
    int py2 = f == Py_False ? 0 : f == Py_True ? 1 : PyObject_IsTrue(f);
    if (py2 < 0) {
        add_traceback(wrapper_site);
        return nullptr;
    }
    // The wrapped function is gone once the garbage collector cleared the cell (a
    // wrapper in a reference cycle can still be called while the cycle is torn down).
    Owned func = Owned::incref(wrapped_function(cell));
    if (!func) {
        PyErr_SetString(PyExc_NameError,
                        "cannot access free variable 'func' where it is not associated with a value in "
                        "enclosing scope");
        add_traceback(wrapper_site);
        return nullptr;
    }
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Py_ssize_t first = total;
    if (!py2) {
        for (Py_ssize_t i = 0; i < total; ++i) {
            if (PyUnicode_Check(args[i])) {
                first = i;
                break;
            }
        }
    }
    if (first == total) return call_wrapped(func.borrow(), args, nargs, kwnames);

    PyObject* small[8];
    PyObject** copy = total <= 8 ? small : static_cast<PyObject**>(PyMem_Malloc(total * sizeof(PyObject*)));
    if (!copy) {
        PyErr_NoMemory();
        add_traceback(wrapper_site);
        return nullptr;
    }
    Py_ssize_t done = 0;
    PyObject* result = nullptr;
    for (; done < total; ++done) {
        PyObject* a = args[done];
        copy[done] = done >= first && PyUnicode_Check(a) ? encode_ascii(a) : (Py_INCREF(a), a);
        if (!copy[done]) break;
    }
    if (done == total) {
        result = call_wrapped(func.borrow(), copy, nargs, kwnames);
    } else {
        add_traceback(wrapper_site);
    }
    for (Py_ssize_t i = 0; i < done; ++i) Py_DECREF(copy[i]);
    if (copy != small) PyMem_Free(copy);
    return result;
}

}  // namespace csdk
