// Process-wide state, interned names and cached module-global lookups.
#pragma once

#include "refs.hpp"

namespace csdk {

// One copy per process: the module lives until the process ends.
struct ProcessState {
    PyObject* module = nullptr;    // strong; set while the execution step runs and after it succeeded
    PyObject* dict = nullptr;      // the module's namespace, borrowed from module
    PyObject* builtins = nullptr;  // strong: the builtins module's dict, the fallback for globals
    int64_t interpreter = -1;      // the interpreter that first created the module
};
extern ProcessState g_state;

// Strings the module looks up or passes by name, interned once at initialisation.
#define CSDK_INTERNED(X)                                                                   \
    X(CSDK_OPERATE_SUCCESS) X(zvsdklogger) X(IS_PY2) X(IS_PY3) X(platform) X(functools)   \
    X(py_zvi_strerror) X(f) X(adapt_to_python3) X(encode) X(ascii) X(debug) X(uname)       \
    X(lower) X(windows) X(linux) X(format) X(get) X(data) X(__setattr__) X(__str__)        \
    X(__repr__) X(__builtins__) X(__test__) X(__loader__) X(__file__) X(__package__)       \
    X(__path__) X(loader) X(origin) X(parent) X(submodule_search_locations) X(__module__)  \
    X(__slots__) X(c_sdk)

struct InternedNames {
#define CSDK_DECLARE_NAME(n) PyObject* n = nullptr;
    CSDK_INTERNED(CSDK_DECLARE_NAME)
#undef CSDK_DECLARE_NAME
};
extern InternedNames g_names;

// Interns the names and fills g_small_ints.
bool intern_names();

// A module global read by name at call time. The value is cached while the module
// namespace is unchanged; a miss falls back to a fresh lookup, then to the builtins.
struct GlobalSlot {
    PyObject* const* name;    // points into g_names
    PyObject* value = nullptr;  // borrowed from the module namespace while version matches
    uint64_t version = 0;       // 0: nothing cached
    // For an exact int value that fits a long long, its C value (status comparisons).
    bool is_c_int = false;
    long long c_int = 0;
    // version while the cached value is such an int, else 0: one comparison tells that
    // c_int is current. Namespace versions only grow, so a value left from an earlier
    // namespace never matches again.
    uint64_t int_version = 0;
};

#if CSDK_HAVE_DICT_WATCHERS
extern uint64_t g_namespace_version;
extern bool g_namespace_watched;
inline uint64_t namespace_version() {
    // Unwatched (no watcher slot was free): every lookup is a miss.
    return g_namespace_watched ? g_namespace_version : ++g_namespace_version;
}
#else
inline uint64_t namespace_version() { return dict_version(g_state.dict); }
#endif

bool watch_namespace(PyObject* dict);

PyObject* lookup_global_slow(GlobalSlot& slot);

// The global's cached value while it is current, else null (and no error): a read of
// the cache alone.
inline PyObject* cached_global(const GlobalSlot& slot) {
    return slot.version == namespace_version() && slot.version != 0 ? slot.value : nullptr;
}

// Borrowed reference to the global's current value, or null with NameError set.
inline PyObject* lookup_global(GlobalSlot& slot) {
    if (slot.version == namespace_version() && slot.version != 0) return slot.value;
    return lookup_global_slow(slot);
}

extern GlobalSlot g_success;  // CSDK_OPERATE_SUCCESS
extern GlobalSlot g_is_py2;   // IS_PY2
extern GlobalSlot g_handler;  // f

// status == CSDK_OPERATE_SUCCESS decided in C from the cache: 1 or 0 while the cached
// value is current and an exact int; -1 when the comparison needs the objects. Reads
// nothing but the cache, so it may run before or after anything else of a call.
[[gnu::always_inline]] inline int cached_success(int status) {
    // A namespace version is never 0 (dict versions and the watcher's count start at 1),
    // so a slot without an int misses.
    if (g_success.int_version == namespace_version()) return status == g_success.c_int;
    return -1;
}

// For when cached_success cannot tell. The comparison with a value that is not an exact
// int runs Python code (its __eq__), which may rebind the global or call the SDK again;
// so the value is held for the comparison, and a caller with an SDK result to copy
// copies it before comparing.

// The current CSDK_OPERATE_SUCCESS (looked up, and cached, again), or empty with
// NameError set.
Owned success_value();

// status == value decided without running code: 1 or 0 when value is an exact int that
// fits a long long, else -1 (nothing set).
int success_in_c(int status, PyObject* value);

// status_obj == value under Python equality, and its truth value: 1, 0, or -1 with an
// error set.
int status_equals(PyObject* status_obj, PyObject* value);

// The int objects of the statuses the interpreter shares (its small ints), kept so a
// status becomes an object without a call; filled by intern_names, which runs when the
// module object is created.
constexpr int kSmallIntMin = -5, kSmallIntMax = 256;
extern PyObject* g_small_ints[kSmallIntMax - kSmallIntMin + 1];

// A status as an int object (new reference), or null with an error set.
// (The table is filled before the module has any function to call.)
[[gnu::always_inline]] inline PyObject* status_object(int status) {
    unsigned i = static_cast<unsigned>(status) - static_cast<unsigned>(kSmallIntMin);
    if (i <= static_cast<unsigned>(kSmallIntMax - kSmallIntMin)) return Py_NewRef(g_small_ints[i]);
    return PyLong_FromLong(status);
}

}  // namespace csdk
