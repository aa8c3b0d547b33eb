// Argument parsing: arity and keyword errors worded as the interpreter words them.
#include "args.hpp"

namespace csdk {

static void raise_arity(const Params& p, Py_ssize_t given) {
    if (p.count == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", p.name, "takes no arguments", given);
        return;
    }
    Py_ssize_t expected;
    const char* how;
    if (given < p.required) {
        expected = p.required;
        how = "at least";
    } else {
        expected = p.count;
        how = "at most";
    }
    if (p.required == p.count) how = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", p.name,
                 how, expected, expected == 1 ? "" : "s", given);
}

static Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}

// Keywords left over after the parameters were matched: each one is either a
// duplicate of a positional argument or unknown.
static void raise_bad_keyword(const Params& p, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.name);
            return;
        }
        Py_ssize_t match = -1;
        for (Py_ssize_t j = 0; j < p.count && match < 0; ++j)
            if (p.names[j] == key || PyUnicode_Compare(key, p.names[j]) == 0) match = j;
        if (match < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.name, key);
            return;
        }
        if (match < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.name, key);
            return;
        }
    }
}

bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (p.count == 0) {
        if (nargs) raise_arity(p, nargs);
        else PyErr_Format(PyExc_TypeError, "%.200s() %s", p.name, "takes no keyword arguments");
        add_traceback(p.site);
        return false;
    }
    if (nargs > p.count) {
        raise_arity(p, nargs);
        add_traceback(p.site);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = nargs; i < p.count; ++i) {
        Py_ssize_t k = nkw ? find_keyword(kwnames, p.names[i]) : -1;
        if (k >= 0) {
            out[i] = args[nargs + k];
            --unused;
        } else if (i < p.required) {
            // As in compiled Python modules: the count given is where the first gap is.
            raise_arity(p, i);
            add_traceback(p.site);
            return false;
        } else {
            out[i] = p.defaults[i - p.required];
        }
    }
    if (unused > 0) {
        raise_bad_keyword(p, nargs, kwnames);
        add_traceback(p.site);
        return false;
    }
    return true;
}

}  // namespace csdk
