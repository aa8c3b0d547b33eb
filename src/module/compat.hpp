// Version shims: the only place that compares PY_VERSION_HEX.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// 3.12 added dict watchers and deprecated the dict version tag; before 3.12 the tag is
// the cheap way to tell that the module namespace changed.
#if PY_VERSION_HEX >= 0x030C0000
#define CSDK_HAVE_DICT_WATCHERS 1
#else
#define CSDK_HAVE_DICT_WATCHERS 0
#endif

// 3.13 moved the declaration of _PyTraceback_Add to an internal header; the function is
// still exported and is what the interpreter itself uses for C-level traceback entries.
#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif

inline int64_t current_interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
}

#if !CSDK_HAVE_DICT_WATCHERS
// Every mutation of a dict gives it a new, globally unique version.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// 3.13 moved the declaration of _PyOS_IsMainThread (is this the main thread of the main
// interpreter?) to an internal header too; the function is still exported.
#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif
