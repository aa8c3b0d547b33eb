// The event callback bridge: the SDK's only way into Python.
#include "bridge.hpp"

#include "../plumbing/state.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

namespace csdk {

bool bind_handler(PyObject* handler) {
    return PyDict_SetItem(g_state.dict, g_names.f, handler) == 0;
}

// Whether this is the interpreter's main thread (asked of threading, so that only public
// API is used; the error indicator must be clear). When it cannot be told (threading
// cannot be imported, or its main_thread fails or gives no integer ident), the answer
// is no: the printing then never ends the process from here, which on another thread
// would finalise the interpreter underneath the SDK call.
static bool on_main_thread() {
    Owned threading = Owned::steal(PyImport_ImportModule("threading"));
    Owned main = threading ? Owned::steal(PyObject_CallMethod(threading.borrow(), "main_thread", nullptr)) : Owned();
    Owned ident = main ? Owned::steal(PyObject_GetAttrString(main.borrow(), "ident")) : Owned();
    unsigned long id = ident ? PyLong_AsUnsignedLong(ident.borrow()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return id == PyThread_get_thread_ident();
}

// Prints what sys.excepthook prints for an exception, the way PyErr_PrintEx does, but
// with no effect on how the process ends. A SystemExit raised by the hook itself still
// ends the process, as it does there, but only from the main thread: elsewhere it is
// printed as any other failure of the hook is.
static void print_through_hook(const PendingException& exc, bool main_thread) {
    PyObject* value = exc.value();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Owned tb = Owned::steal(PyException_GetTraceback(value));
    PyObject* tb_arg = tb ? tb.borrow() : Py_None;
    Owned hook = Owned::incref(PySys_GetObject("excepthook"));  // borrowed, taken at once
    if (PySys_Audit("sys.excepthook", "OOOO", hook ? hook.borrow() : Py_None, type, value, tb_arg) < 0) {
        // An audit hook's RuntimeError vetoes the printing.
        if (PyErr_ExceptionMatches(PyExc_RuntimeError)) return PyErr_Clear();
        PyErr_WriteUnraisable(nullptr);
    }
    if (!hook) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        return display_exception(value);
    }
    PyObject* args[] = {type, value, tb_arg};
    Owned result = Owned::steal(PyObject_Vectorcall(hook.borrow(), args, 3, nullptr));
    if (result) return;
    PendingException hook_error;
    if (hook_error.matches(PyExc_SystemExit) && main_thread) {
        hook_error.restore();
        return PyErr_PrintEx(0);
    }
    std::fflush(stdout);
    PySys_WriteStderr("Error in sys.excepthook:\n");
    display_exception(hook_error.value());
    PySys_WriteStderr("\nOriginal exception was:\n");
    display_exception(value);
}

// Prints a handler's failure. On the main thread the interpreter's printer prints it,
// and a SystemExit (the handler's, or one raised by sys.excepthook while printing) ends
// the process there, as it does. The exception is printed through the hook instead, so
// that the process goes on as it would:
// - on any other thread: the printer would end the process from here on a SystemExit,
//   finalising it underneath the SDK call and the main thread, which hangs or crashes;
//   as in a thread's own code, the exit request is reported and does not end the
//   process there;
// - a KeyboardInterrupt from 3.14 on: the printer marks a printed one as unhandled, and
//   the process would then end by SIGINT once the main program returns, though the
//   handler's interrupt was swallowed here.
static void print_failure(const PendingException& exc) {
    bool main_thread = on_main_thread();
    if (!main_thread || (CSDK_PRINTER_MARKS_INTERRUPT && exc.matches(PyExc_KeyboardInterrupt))) {
        print_through_hook(exc, main_thread);
        PyErr_Clear();
    } else {
        exc.restore_copy();
        PyErr_PrintEx(0);
    }
}

// Prints the pending exception, then reports it as unraisable with this function's
// name as the object, and leaves the error indicator clear. With none pending (an error
// path whose exception could not be made: 3.11 and later's PyErr_Format when its
// message cannot be allocated) nothing is printed, and the report is what
// PyErr_WriteUnraisable makes of no exception.
static void report_failure() {
    PendingException exc;
    if (exc) print_failure(exc);
    Owned where = Owned::steal(PyUnicode_FromString("c_sdk.callback_wrapper"));
    exc.restore();
    PyErr_WriteUnraisable(where ? where.borrow() : Py_None);
}

// ---- event names ----
//
// A session delivers few distinct event names, each many times; decoding the same bytes
// again gives an equal str, so the str of a recent name is kept and handed out again.
// An entry keeps its str only while this module holds the object's only reference: a
// name the handler kept (or that anything else still refers to) is let go after the
// call, so nothing the handler can reach is held here. A str in use is out of its entry,
// so a nested delivery (a handler driving the SDK) decodes its own, and goes back only
// if the entry was not given to another name meanwhile. The SDK's bytes are read before
// the handler runs, never after.

struct NameEntry {
    PyObject* str = nullptr;  // strong, the decoded name; null when free or in use
    unsigned gen = 0;         // changes whenever the entry is given to a name
    size_t len = 0;           // bytes in utf8
    char utf8[48];            // the name's bytes (no terminator)
};

constexpr unsigned kNameEntries = 4;
static NameEntry g_recent_names[kNameEntries];
static unsigned g_next_entry = 0;  // given to the next new name, round robin

// Which entry a name belongs to, for give_back.
struct NameSource {
    NameEntry* entry = nullptr;  // null: not kept
    unsigned gen = 0;
};

static PyObject* decode_name(const char* name, size_t n, NameSource* source) {
    PyObject* s = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(n > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : n),
                                       nullptr);
    // A str the interpreter shares (the empty one, single characters) is not kept.
    if (s && n <= sizeof(NameEntry::utf8) && Py_REFCNT(s) == 1) {
        NameEntry& e = g_recent_names[g_next_entry];
        g_next_entry = (g_next_entry + 1) % kNameEntries;
        Py_CLEAR(e.str);  // a str nothing else refers to: freeing it runs no code
        std::memcpy(e.utf8, name, n);
        e.len = n;
        *source = {&e, ++e.gen};
    }
    return s;
}

// A str of the event name (strict UTF-8), or bytes when IS_PY2 is true; new reference,
// or null with an error set.
static PyObject* event_name(const char* name, NameSource* source) {
    if (!name) {
        PyErr_SetString(PyExc_RuntimeError, "zvsdk delivered an event with a null name");
        return nullptr;
    }
    PyObject* flag = lookup_global(g_is_py2);
    if (!flag) return nullptr;
    int as_bytes = flag == Py_False ? 0 : flag == Py_True ? 1 : -1;
    if (as_bytes < 0) {
        Owned held = Owned::incref(flag);  // its __bool__ may rebind IS_PY2
        as_bytes = PyObject_IsTrue(flag);
        if (as_bytes < 0) return nullptr;
    }
    if (as_bytes) return PyBytes_FromString(name);
    size_t n = std::strlen(name);
    for (NameEntry& e : g_recent_names) {
        if (e.str && e.len == n && std::memcmp(e.utf8, name, n) == 0) {
            *source = {&e, e.gen};
            return std::exchange(e.str, nullptr);
        }
    }
    return decode_name(name, n, source);
}

// Drops the bridge's reference to the name; the object goes back to its entry instead
// when that reference is the only one and the entry still belongs to the name.
static void give_back(Owned py_name, const NameSource& source) {
    NameEntry* e = source.entry;
    if (e && Py_REFCNT(py_name.borrow()) == 1 && e->gen == source.gen && !e->str) e->str = py_name.release();
}

static PyObject* event_payload(const char* data, int len) {
    // A negative length is refused by the interpreter (SystemError); a null payload
    // with a length is refused here rather than read.
    if (!data && len > 0) {
        PyErr_Format(PyExc_RuntimeError, "zvsdk delivered a null payload of %d bytes", len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(len > 0 ? data : "", len);
}

// handler(*argv[1..2]); argv[0] is scratch space for a bound method's instance.
//
// A Python function, or a method bound to one, is entered through the function's own
// vectorcall (function_vectorcall in compat.hpp). That is the call PyObject_Vectorcall makes too, less the generic check of
// the result against the error indicator, which the interpreter's evaluation (and any
// replacement installed with PyFunction_SetVectorcall, which must behave like it)
// already guarantees; the interpreter calls Python functions the same way.
static PyObject* call_handler(PyObject* handler, PyObject** argv) {
    if (CSDK_DIRECT_FUNCTION_CALL && PyFunction_Check(handler))
        return function_vectorcall(handler)(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (CSDK_DIRECT_FUNCTION_CALL && PyMethod_Check(handler)) {
        PyObject* func = PyMethod_GET_FUNCTION(handler);
        if (PyFunction_Check(func)) {
            // As the bound method does: its instance first, no spare slot left in front.
            argv[0] = PyMethod_GET_SELF(handler);
            return function_vectorcall(func)(func, argv, 3, nullptr);
        }
    }
    return PyObject_Vectorcall(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

void callback_wrapper(const char* name, const char* data, int len) {
    // The SDK calls back only from inside a call made through this module, on the
    // thread that holds the interpreter lock, so nothing is acquired here.
    NameSource source;
    Owned py_name = Owned::steal(event_name(name, &source));
    if (!py_name) return report_failure();
    Owned handler = Owned::incref(lookup_global(g_handler));  // a handler may rebind f while it runs
    if (!handler) {
        give_back(std::move(py_name), source);
        return report_failure();
    }
    Owned payload = Owned::steal(event_payload(data, len));
    if (!payload) {
        give_back(std::move(py_name), source);
        handler = Owned();
        return report_failure();
    }
    PyObject* argv[3] = {nullptr, py_name.borrow(), payload.borrow()};
    Owned result = Owned::steal(call_handler(handler.borrow(), argv));
    // Let go of the arguments and the handler before a failure is reported (letting go
    // of the last reference to one may run its __del__).
    payload = Owned();
    give_back(std::move(py_name), source);
    handler = Owned();
    if (!result) return report_failure();
}

}  // namespace csdk
