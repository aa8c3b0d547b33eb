// One SDK call: convert the Python arguments, call the SDK function once, convert its
// result. Every wrapper and every directly exposed SDK function is an instance of this.
#pragma once

#include "../module/convert.hpp"
#include "../module/function.hpp"
#include "../module/state.hpp"
#include "../sdk/zvsdk.h"

#include <algorithm>
#include <tuple>
#include <type_traits>

namespace csdk {

// ---- argument kinds: each takes the Python parameter at position I ----

template <int I>
struct Str {
    static constexpr int index = I;
    const char* v;
    bool convert(PyObject* const* argv) { return to_c_string(argv[I], &v); }
    std::tuple<const char*> c_args() const { return {v}; }
};

template <int I>
struct Req {
    static constexpr int index = I;
    const char* data;
    int len;
    bool convert(PyObject* const* argv) { return to_request(argv[I], &data, &len); }
    std::tuple<const char*, int> c_args() const { return {data, len}; }
};

template <int I>
struct Int {
    static constexpr int index = I;
    int v;
    bool convert(PyObject* const* argv) { return to_c_int(argv[I], &v); }
    std::tuple<int> c_args() const { return {v}; }
};

template <int I>
struct Real {
    static constexpr int index = I;
    double v;
    bool convert(PyObject* const* argv) { return to_c_double(argv[I], &v); }
    std::tuple<double> c_args() const { return {v}; }
};

template <int I>
struct Flag {
    static constexpr int index = I;
    bool v;
    bool convert(PyObject* const* argv) { return to_c_bool(argv[I], &v); }
    std::tuple<bool> c_args() const { return {v}; }
};

// An integer argument that the SDK takes as a bool: true when it converts to non-zero.
template <int I>
struct NonZero {
    static constexpr int index = I;
    bool v;
    bool convert(PyObject* const* argv) {
        int n;
        if (!to_c_int(argv[I], &n)) return false;
        v = n != 0;
        return true;
    }
    std::tuple<bool> c_args() const { return {v}; }
};

// A reserved pointer argument, always null, with no Python parameter.
struct Null {
    static constexpr int index = -1;
    bool convert(PyObject* const*) { return true; }
    std::tuple<const char*> c_args() const { return {nullptr}; }
};

// The event handler: stored as the module global f; the SDK gets the C callback.
void callback_wrapper(const char* name, const char* data, int len);
bool bind_handler(PyObject* handler);

template <int I>
struct Handler {
    static constexpr int index = I;
    bool convert(PyObject* const* argv) { return bind_handler(argv[I]); }
    std::tuple<zvi_event_callback> c_args() const { return {&callback_wrapper}; }
};

// ---- results ----

struct Status {
    std::tuple<> out_args() { return {}; }
    PyObject* finish(int r) { return PyLong_FromLong(r); }
};

struct LongLong {
    std::tuple<> out_args() { return {}; }
    PyObject* finish(long long r) { return PyLong_FromLongLong(r); }
};

struct Double {
    std::tuple<> out_args() { return {}; }
    PyObject* finish(double r) { return PyFloat_FromDouble(r); }
};

struct Text {
    std::tuple<> out_args() { return {}; }
    PyObject* finish(const char* r) { return from_c_string(r); }
};

struct None_ {
    std::tuple<> out_args() { return {}; }
    PyObject* finish() { Py_RETURN_NONE; }
};

PyObject* copy_response(const char* res, int res_len);

// (status, bytes) when the status equals CSDK_OPERATE_SUCCESS, else (status, None);
// the response is read only on success.
struct Response {
    char* res = nullptr;
    int res_len = 0;
    std::tuple<char**, int*> out_args() { return {&res, &res_len}; }
    PyObject* finish(int status) {
        PyObject* s = PyLong_FromLong(status);
        if (!s) return nullptr;
        int ok = status_is_success(status, s);
        PyObject* body;
        if (ok > 0) {
            body = copy_response(res, res_len);
        } else if (ok == 0) {
            Py_INCREF(Py_None);
            body = Py_None;
        } else {
            body = nullptr;
        }
        if (!body) {
            Py_DECREF(s);
            return nullptr;
        }
        PyObject* t = PyTuple_New(2);
        if (!t) {
            Py_DECREF(s);
            Py_DECREF(body);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, 0, s);
        PyTuple_SET_ITEM(t, 1, body);
        return t;
    }
};

// A string out-parameter: bytes unless the status differs from CSDK_OPERATE_SUCCESS.
struct ServAddr {
    char* addr = nullptr;
    std::tuple<char**> out_args() { return {&addr}; }
    PyObject* finish(int status) {
        Owned s = Owned::steal(PyLong_FromLong(status));
        if (!s) return nullptr;
        int ok = status_is_success(status, s.borrow());
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_NONE;
        return from_c_string(addr);
    }
};

// ---- the call ----

template <class... Kinds>
constexpr Py_ssize_t parameter_count() {
    return std::max({0, (Kinds::index + 1)...});
}

// CheckPending: a Python error left set by code the SDK ran during the call (an event
// handler, say) wins over the C result.
template <bool CheckPending, class Result, class... Kinds, class Fn>
inline PyObject* invoke(Fn fn, PyObject* const* argv, const TracebackSite& site) {
    std::tuple<Kinds...> kinds;
    bool converted = std::apply([argv](auto&... k) { return (true && ... && k.convert(argv)); }, kinds);
    if (!converted) {
        add_traceback(site);
        return nullptr;
    }
    Result result;
    auto c_args = std::tuple_cat(std::apply([](auto&... k) { return std::tuple_cat(k.c_args()...); }, kinds),
                                 result.out_args());
    PyObject* out;
    if constexpr (std::is_void_v<decltype(std::apply(fn, c_args))>) {
        std::apply(fn, c_args);
        if (CheckPending && PyErr_Occurred()) {
            out = nullptr;
        } else {
            out = result.finish();
        }
    } else {
        auto r = std::apply(fn, c_args);
        if (CheckPending && PyErr_Occurred()) {
            out = nullptr;
        } else {
            out = result.finish(r);
        }
    }
    if (!out) add_traceback(site);
    return out;
}

// A module wrapper around one SDK function. Line makes every registry row its own
// instantiation, so a name defined twice still gets two distinct functions.
template <int Line, auto Fn, class Result, class... Kinds>
struct Wrapper {
    static constexpr Py_ssize_t N = parameter_count<Kinds...>();
    static inline Params params;

    static PyObject* vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        PyObject* buffer[N ? N : 1];
        PyObject* const* argv = bind_args<N>(params, args, nargsf, kwnames, buffer);
        if (!argv) return nullptr;
        return invoke<false, Result, Kinds...>(Fn, argv, params.site);
    }
};

}  // namespace csdk
