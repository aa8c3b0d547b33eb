#pragma once

#include "../module/function.hpp"

namespace csdk {

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

// Creates the function object of every SDK wrapper and binds it in the module
// namespace, in table order, decorating the adapted ones.
bool bind_wrappers(PyObject* dict);

}  // namespace csdk
