// Argument parsing: the parameter list of a function and the binding of a vectorcall
// argument vector to it, shared by every entry point.
#pragma once

#include "traceback.hpp"

namespace csdk {

// The parameter list of one function, as keyword parsing and arity errors see it.
struct Params {
    const char* name = nullptr;      // as shown in TypeError messages
    TracebackSite site{};
    Py_ssize_t count = 0;            // parameters
    Py_ssize_t required = 0;         // parameters without a default (the leading ones)
    PyObject* const* names = nullptr;     // interned parameter names, count entries
    PyObject* const* defaults = nullptr;  // values of the optional parameters
};

// Fills out[0..count) from a vectorcall argument vector: positional arguments, then
// keywords, then defaults. On failure sets TypeError, adds the traceback entry and
// returns false.
bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// Argument vectors that need no parsing take this branch; everything else goes through
// parse_args into `buffer`.
template <Py_ssize_t N>
inline PyObject* const* bind_args(const Params& p, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames, PyObject** buffer) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // With no parameters the caller may pass no argument array at all: hand back the
    // (unused) buffer, so that a null result always means failure.
    if (nargs == N && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return N == 0 ? buffer : args;
    return parse_args(p, args, nargs, kwnames, buffer) ? buffer : nullptr;
}

}  // namespace csdk
