#include "function.hpp"

#include <cstddef>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace csdk {

// ---- the function type ----

static PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

static PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

static int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->closure);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    return 0;
}

static int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    return 0;
}

static void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

static PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like other module-level functions.
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

// ---- __text_signature__, for inspect.signature ----

const Params kAnyArguments{};

// "(a, b, c='')": every parameter positional-or-keyword, defaults by repr. Made on each
// read; nothing is kept on the function.
static PyObject* function_text_signature(PyObject* self, void*) {
    const Params* p = as_function(self)->signature;
    if (p == &kAnyArguments) return PyUnicode_FromString("(*args, **kwargs)");
    // A parameter list gets its names when its function is bound.
    if (!p || (p->count > 0 && !p->names) || (p->required < p->count && !p->defaults)) Py_RETURN_NONE;
    Owned parts = Owned::steal(PyList_New(p->count));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < p->count; ++i) {
        PyObject* part = i < p->required
                             ? Py_NewRef(p->names[i])
                             : PyUnicode_FromFormat("%U=%R", p->names[i], p->defaults[i - p->required]);
        if (!part) return nullptr;
        PyList_SET_ITEM(parts.borrow(), i, part);
    }
    Owned sep = Owned::steal(PyUnicode_FromString(", "));
    Owned inner = sep ? Owned::steal(PyUnicode_Join(sep.borrow(), parts.borrow())) : Owned();
    return inner ? PyUnicode_FromFormat("(%U)", inner.borrow()) : nullptr;
}

// __module__ and __doc__ are writable and deletable; deleted, they read as None.
template <PyObject* Function::*field>
static PyObject* get_optional(PyObject* self, void*) {
    PyObject* v = as_function(self)->*field;
    return Py_NewRef(v ? v : Py_None);
}

template <PyObject* Function::*field>
static int set_optional(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->*field, Py_XNewRef(value));
    return 0;
}

static PyGetSetDef function_getset[] = {
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_optional<&Function::module>, set_optional<&Function::module>, nullptr, nullptr},
    {"__doc__", get_optional<&Function::doc>, set_optional<&Function::doc>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__name__", CSDK_MEMBER_OBJECT, offsetof(Function, name), CSDK_MEMBER_READONLY, nullptr},
    {"__qualname__", CSDK_MEMBER_OBJECT, offsetof(Function, qualname), CSDK_MEMBER_READONLY, nullptr},
    {"__vectorcalloffset__", CSDK_MEMBER_SSIZE, offsetof(Function, vectorcall), CSDK_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "c_sdk.cfunction";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_call = function_call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_members = function_members;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    return PyType_Ready(&FunctionType) == 0;
}

PyObject* new_function(const FunctionInit& init) {
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = init.call;
    f->data = init.data;
    f->signature = init.signature;
    f->name = PyUnicode_InternFromString(init.name);
    f->qualname = PyUnicode_InternFromString(init.qualname ? init.qualname : init.name);
    f->module = PyUnicode_InternFromString(init.module);
    if (init.doc) {
        f->doc = PyUnicode_FromString(init.doc);
    } else {
        Py_INCREF(Py_None);
        f->doc = Py_None;
    }
    Py_XINCREF(init.closure);
    f->closure = init.closure;
    PyObject_GC_Track(f);
    Owned self = Owned::steal(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->module || !f->doc) return nullptr;
    return self.release();
}

// ---- rows of function tables ----

// Parameter names and traceback names live as long as the process, like the functions.
static std::deque<std::string> g_text;
static std::deque<std::vector<PyObject*>> g_param_names;

bool prepare_params(const FunctionRow& row, const char* display_name, const char* site_name) {
    Params& p = *row.spec;
    std::vector<PyObject*>& names = g_param_names.emplace_back();
    std::string all(row.params);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find(' ', pos);
        if (end == std::string::npos) end = all.size();
        if (end > pos) {
            PyObject* n = PyUnicode_InternFromString(all.substr(pos, end - pos).c_str());
            if (!n) return false;
            names.push_back(n);
        }
        pos = end + 1;
    }
    p.name = g_text.emplace_back(display_name).c_str();
    p.site = {g_text.emplace_back(site_name).c_str(), row.file, row.line};
    p.count = static_cast<Py_ssize_t>(names.size());
    if (p.required == 0 || p.required > p.count) p.required = p.count;
    p.names = names.data();
    return true;
}

PyObject* new_row_function(const FunctionRow& row, const char* doc) {
    std::string site = std::string("c_sdk.") + row.name;
    if (!prepare_params(row, row.name, site.c_str())) return nullptr;
    return new_function({row.call, row.spec, row.name, nullptr, "c_sdk", doc, nullptr, row.spec});
}

}  // namespace csdk
