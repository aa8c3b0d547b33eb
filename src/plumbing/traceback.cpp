// The traceback entry of an error raised in C++.
#include "traceback.hpp"

#include <frameobject.h>

namespace csdk {

// The entry is a frame of an empty code object that carries the site's function name,
// file and line, as the interpreter makes for C code. Failing to make it, the new error
// (MemoryError) is raised with the pending one as its context.
void add_traceback(const TracebackSite& site) {
    // Decoding the file name may run Python code, which must not see a pending error.
    PendingException pending;
    Owned globals = Owned::steal(PyDict_New());
    Owned code = globals ? Owned::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.file, site.name, site.line)))
                         : Owned();
    Owned frame = code ? Owned::steal(reinterpret_cast<PyObject*>(
                             PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.borrow()),
                                         globals.borrow(), nullptr)))
                       : Owned();
    pending.restore_under_current();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.borrow()));
}

}  // namespace csdk
