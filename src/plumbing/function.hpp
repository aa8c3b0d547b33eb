// The module's function objects: the function type and the tables of functions it is made from.
#pragma once

#include "args.hpp"

// See CMakeLists.txt: a frame of this module may be unwound by the interpreter ending a
// daemon thread, which must neither terminate the process nor run cleanups.
#if defined(__cpp_exceptions)
#error "c_sdk is built with -fno-exceptions"
#endif

namespace csdk {

// A Python-visible function implemented in C++: called through vectorcall, bound as a
// method when stored on a class (as Python functions are), with its own name, qualified
// name, module and docstring.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* closure;  // a strong reference the implementation needs (wrapped function, key)
    const void* data;   // static data of the implementation (parameter list, C function)
    const Params* signature;  // what __text_signature__ shows; null: nothing known
};

extern PyTypeObject FunctionType;

struct FunctionInit {
    vectorcallfunc call;
    const void* data = nullptr;
    const char* name;
    const char* qualname = nullptr;  // defaults to name
    const char* module = "c_sdk";
    const char* doc = nullptr;
    PyObject* closure = nullptr;     // borrowed; the function takes its own reference
    const Params* signature = nullptr;  // its parameter list, or &kAnyArguments
};

// The signature of functions that take whatever they are given and pass it on.
extern const Params kAnyArguments;

// New reference, or null with an error set.
PyObject* new_function(const FunctionInit& init);

inline Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

bool ready_function_type();

// One row of a table of functions: how the module binds it.
struct FunctionRow {
    const char* name;
    bool adapted;          // bound through adapt_to_python3
    const char* params;    // parameter names, space separated
    vectorcallfunc call;
    Params* spec;          // filled at binding
    const char* file;
    int line;
};

// Fills the parameter list of a row (names interned, traceback site "c_sdk.<name>").
bool prepare_params(const FunctionRow& row, const char* display_name, const char* site_name);

// A module-level function of the row, named after it (new reference).
PyObject* new_row_function(const FunctionRow& row, const char* doc = nullptr);

}  // namespace csdk
