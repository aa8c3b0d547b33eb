// Traceback entries for errors raised by the module's C++ code.
#pragma once

#include "refs.hpp"

namespace csdk {

// Where an exception raised by a function is reported: the traceback entry's name
// ("c_sdk.py_zvi_get_orders"), source file and line.
struct TracebackSite {
    const char* name;
    const char* file;
    int line;
};

// Adds one traceback entry for the pending exception. Cold path.
void add_traceback(const TracebackSite& site);

}  // namespace csdk
