// One SDK call: convert the Python arguments, call the SDK function once, convert its
// result. Every wrapper and every directly exposed SDK function is an instance of this.
#pragma once

#include "../plumbing/convert.hpp"
#include "../plumbing/function.hpp"
#include "../plumbing/state.hpp"
#include "../sdk/zvsdk.h"
#include "../session/bridge.hpp"
#include "adapted.hpp"

#include <algorithm>
#include <tuple>
#include <type_traits>
#include <utility>

namespace csdk {

// ---- argument kinds: each takes the Python parameter at position I ----
//
// tools/call_kinds.py describes each kind and result form once for Python: the API
// reference's words and stub types, and the tests' model of the conversion. A new kind
// here gets its entry there.

// Every kind has release(), called once the SDK call returned: the string and request
// kinds unpin a bytearray there (see Pin), so that the code a result runs sees it as
// usual again.
template <int I>
struct Str {
    static constexpr int index = I;
    const char* v;
    Pin pin;
    Str() {}  // user-provided: the tuple of kinds would otherwise zero the pin's buffer view first
    [[gnu::always_inline]] bool convert(PyObject* const* argv) { return to_c_string(argv[I], &v, pin); }
    // For the adapter's wrapper, which has checked that a str here is ASCII text.
    [[gnu::always_inline]] bool convert_text(PyObject* const* argv) {
        PyObject* o = argv[I];
        if (!PyBytes_Check(o) && PyUnicode_CheckExact(o)) {
            v = ascii_text(o);
            return true;
        }
        return convert(argv);
    }
    std::tuple<const char*> c_args() const { return {v}; }
    void release() { pin.release(); }
};

template <int I>
struct Req {
    static constexpr int index = I;
    const char* data;
    int len;
    Pin pin;
    Req() {}  // filled by convert; nothing to zero first (as Str)
    [[gnu::always_inline]] bool convert(PyObject* const* argv) {
        // Through locals, so the members never have their address taken and stay in
        // registers on the way to the SDK call.
        const char* d;
        int n;
        if (!to_request(argv[I], &d, &n, pin)) return false;
        data = d;
        len = n;
        return true;
    }
    // As Str::convert_text; the length of ASCII text is its size in bytes.
    [[gnu::always_inline]] bool convert_text(PyObject* const* argv) {
        PyObject* o = argv[I];
        if (!PyBytes_CheckExact(o) && PyUnicode_CheckExact(o)) {
            data = ascii_text(o);
            len = static_cast<int>(PyUnicode_GET_LENGTH(o));
            return true;
        }
        return convert(argv);
    }
    std::tuple<const char*, int> c_args() const { return {data, len}; }
    void release() { pin.release(); }
};

// The kinds that pin nothing.
struct NoPin {
    void release() {}
};

template <int I>
struct Int : NoPin {
    static constexpr int index = I;
    int v;
    [[gnu::always_inline]] bool convert(PyObject* const* argv) { return to_c_int(argv[I], &v); }
    std::tuple<int> c_args() const { return {v}; }
};

template <int I>
struct Real : NoPin {
    static constexpr int index = I;
    double v;
    [[gnu::always_inline]] bool convert(PyObject* const* argv) { return to_c_double(argv[I], &v); }
    std::tuple<double> c_args() const { return {v}; }
};

template <int I>
struct Flag : NoPin {
    static constexpr int index = I;
    bool v;
    [[gnu::always_inline]] bool convert(PyObject* const* argv) { return to_c_bool(argv[I], &v); }
    std::tuple<bool> c_args() const { return {v}; }
};

// An integer argument that the SDK takes as a bool: true when it converts to non-zero.
template <int I>
struct NonZero : NoPin {
    static constexpr int index = I;
    bool v;
    [[gnu::always_inline]] bool convert(PyObject* const* argv) {
        int n;
        if (!to_c_int(argv[I], &n)) return false;
        v = n != 0;
        return true;
    }
    std::tuple<bool> c_args() const { return {v}; }
};

// A reserved pointer argument, always null, with no Python parameter.
struct Null : NoPin {
    static constexpr int index = -1;
    bool convert(PyObject* const*) { return true; }
    std::tuple<const char*> c_args() const { return {nullptr}; }
};

// The event handler: stored as the module global f; the SDK gets the C callback.
template <int I>
struct Handler : NoPin {
    static constexpr int index = I;
    bool convert(PyObject* const* argv) { return bind_handler(argv[I]); }
    std::tuple<zvi_event_callback> c_args() const { return {&callback_wrapper}; }
};

// ---- results ----

// Each result kind names the C type it takes from the SDK function (c_result), which
// must be exactly what the function returns.

struct Status {
    using c_result = int;
    std::tuple<> out_args() { return {}; }
    [[gnu::always_inline]] PyObject* finish(int r) { return status_object(r); }
};

struct LongLong {
    using c_result = long long;
    std::tuple<> out_args() { return {}; }
    PyObject* finish(long long r) { return PyLong_FromLongLong(r); }
};

struct Double {
    using c_result = double;
    std::tuple<> out_args() { return {}; }
    PyObject* finish(double r) { return PyFloat_FromDouble(r); }
};

struct Text {
    using c_result = const char*;
    std::tuple<> out_args() { return {}; }
    PyObject* finish(const char* r) { return from_c_string(r); }
};

struct None_ {
    using c_result = void;
    std::tuple<> out_args() { return {}; }
    PyObject* finish() { Py_RETURN_NONE; }
};

// copy_response for a buffer that cannot be read: the error (cold path).
PyObject* copy_response_slow(const char* res, int res_len);

// The one copy of a response. The SDK owns the buffer; an SDK that reports success
// without a usable buffer gets a clear error instead of a read through a bad pointer.
[[gnu::always_inline]] inline PyObject* copy_response(const char* res, int res_len) {
    if (res_len >= 0 && res) return PyBytes_FromStringAndSize(res, res_len);
    return copy_response_slow(res, res_len);
}

// (status, bytes) or (status, None) when CSDK_OPERATE_SUCCESS has to be compared as an
// object: the lookup and the comparison may raise (cold path).
PyObject* response_uncached(int status, const char* res, int res_len);
// bytes or None for a string out-parameter, likewise.
PyObject* text_uncached(int status, const char* text);

// (status, body) from two new references, both consumed; a null body (its error set)
// gives null.
[[gnu::always_inline]] inline PyObject* status_pair(PyObject* s, PyObject* body) {
    Owned status = Owned::steal(s), value = Owned::steal(body);
    PyObject* t = value ? PyTuple_New(2) : nullptr;
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t, 0, status.release());
    PyTuple_SET_ITEM(t, 1, value.release());
    return t;
}

// (status, bytes) when the status equals CSDK_OPERATE_SUCCESS, else (status, None);
// the response is read only on success.
struct Response {
    using c_result = int;
    char* res = nullptr;
    int res_len = 0;
    std::tuple<char**, int*> out_args() { return {&res, &res_len}; }
    // Inlined into each wrapper: the hot path is a few loads and two allocations.
    [[gnu::always_inline]] PyObject* finish(int status) {
        int ok = cached_success(status);
        if (ok < 0) return response_uncached(status, res, res_len);
        PyObject* s = status_object(status);
        if (!s) return nullptr;
        return status_pair(s, ok ? copy_response(res, res_len) : Py_NewRef(Py_None));
    }
};

// A string out-parameter: bytes unless the status differs from CSDK_OPERATE_SUCCESS.
struct ServAddr {
    using c_result = int;
    char* addr = nullptr;
    std::tuple<char**> out_args() { return {&addr}; }
    PyObject* finish(int status) {
        int ok = cached_success(status);
        if (ok < 0) return text_uncached(status, addr);
        if (!ok) Py_RETURN_NONE;
        return from_c_string(addr);
    }
};

// ---- the call ----

template <class... Kinds>
constexpr Py_ssize_t parameter_count() {
    return std::max({0, (Kinds::index + 1)...});
}

// Whether every Python parameter below parameter_count goes to at least one kind: a
// parameter that none takes would be accepted and then silently ignored.
template <class... Kinds>
constexpr bool every_parameter_used() {
    constexpr Py_ssize_t n = parameter_count<Kinds...>();
    static_assert(n <= 32, "more Python parameters than the parameter masks hold");
    unsigned used = 0;
    ((Kinds::index < 0 ? void() : void(used |= 1u << Kinds::index)), ...);
    return used == (n == 32 ? ~0u : (1u << n) - 1);
}

// The kinds that take a bytes-like argument the SDK reads as text (Str, Req): the
// adapter's str arguments at their positions can be handed over as they are.
template <class K, class = void>
struct takes_text : std::false_type {};
template <class K>
struct takes_text<K, std::void_t<decltype(&K::convert_text)>> : std::true_type {};

// Bit i set: parameter i goes to a text kind and to no other kind.
template <class... Kinds>
constexpr unsigned text_params() {
    unsigned text = 0, other = 0;
    ((Kinds::index < 0 ? void() : void((takes_text<Kinds>::value ? text : other) |= 1u << Kinds::index)), ...);
    return text & ~other;
}

// Text: the arguments come from the adapter's wrapper, with every str among them exact
// ASCII text at a text parameter.
template <bool Text, class K>
[[gnu::always_inline]] inline bool convert_one(K& kind, PyObject* const* argv) {
    if constexpr (Text && takes_text<K>::value) {
        return kind.convert_text(argv);
    } else {
        return kind.convert(argv);
    }
}

// Converts the arguments in order, stopping at the first that fails.
template <bool Text, class Tuple, size_t... I>
[[gnu::always_inline]] inline bool convert_all([[maybe_unused]] Tuple& kinds, [[maybe_unused]] PyObject* const* argv,
                                               std::index_sequence<I...>) {
    return (true && ... && convert_one<Text>(std::get<I>(kinds), argv));
}

// The C arguments of the kinds, in order.
template <class Tuple, size_t... I>
[[gnu::always_inline]] inline auto c_args_of([[maybe_unused]] Tuple& kinds, std::index_sequence<I...>) {
    return std::tuple_cat(std::get<I>(kinds).c_args()...);
}

template <class Tuple, size_t... I>
[[gnu::always_inline]] inline void release_all([[maybe_unused]] Tuple& kinds, std::index_sequence<I...>) {
    (std::get<I>(kinds).release(), ...);
}

// The parameter types of an SDK function, as a tuple.
template <class Fn>
struct sdk_params;
template <class R, class... A>
struct sdk_params<R (*)(A...)> {
    using type = std::tuple<A...>;
    using result = R;
};
template <class R, class... A>
struct sdk_params<R (*)(A...) noexcept> {
    using type = std::tuple<A...>;
    using result = R;
};

// Number of space-separated names in a parameter list ("a b c" -> 3).
constexpr Py_ssize_t count_names(const char* s) {
    Py_ssize_t n = 0;
    bool in_name = false;
    for (; *s; ++s) {
        if (*s == ' ') {
            in_name = false;
        } else if (!in_name) {
            in_name = true;
            ++n;
        }
    }
    return n;
}

// CheckPending: a Python error left set by code the SDK ran during the call (an event
// handler, say) wins over the C result. Inlined into each entry point, conversions and
// result included: the hot path then has no call but the SDK's and the allocations.
template <bool CheckPending, bool Text, class Result, class... Kinds, class Fn>
[[gnu::always_inline]] inline PyObject* invoke(Fn fn, PyObject* const* argv, const TracebackSite& site) {
    std::tuple<Kinds...> kinds;
    if (!convert_all<Text>(kinds, argv, std::index_sequence_for<Kinds...>{})) {
        add_traceback(site);
        return nullptr;
    }
    Result result;
    auto c_args = std::tuple_cat(c_args_of(kinds, std::index_sequence_for<Kinds...>{}), result.out_args());
    // The kinds and the result give the SDK exactly the types its header declares: no
    // conversion of one C type into another happens at the call.
    static_assert(std::is_same_v<decltype(c_args), typename sdk_params<Fn>::type>,
                  "the argument kinds of this row do not match the SDK function's parameters");
    // Nor of its result into another: an int status read as a long long, say.
    static_assert(std::is_same_v<typename Result::c_result, typename sdk_params<Fn>::result>,
                  "the result kind of this row does not match the SDK function's return type");
    static_assert(every_parameter_used<Kinds...>(), "a Python parameter of this row is taken by no argument kind");
    PyObject* out;
    if constexpr (std::is_void_v<decltype(std::apply(fn, c_args))>) {
        std::apply(fn, c_args);
        release_all(kinds, std::index_sequence_for<Kinds...>{});
        if (CheckPending && PyErr_Occurred()) {
            out = nullptr;
        } else {
            out = result.finish();
        }
    } else {
        auto r = std::apply(fn, c_args);
        release_all(kinds, std::index_sequence_for<Kinds...>{});
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
    static constexpr unsigned text = text_params<Kinds...>();
    static inline Params params;

    // The call with exactly the N positional arguments.
    [[gnu::always_inline]] static PyObject* call(PyObject* const* args) noexcept {
        return invoke<false, false, Result, Kinds...>(Fn, args, params.site);
    }

    // The same call with the adapter's str arguments not yet encoded: each str among the
    // arguments is exact ASCII text at a parameter in `text`, where its own bytes are
    // what the encoded argument would hold.
    [[gnu::always_inline]] static PyObject* call_text(PyObject* const* args) noexcept {
        return invoke<false, true, Result, Kinds...>(Fn, args, params.site);
    }

    static PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (nargs == N && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) [[likely]]
            return call(args);
        return parsed(self, args, nargs, kwnames);
    }

    // Keywords, defaults or a wrong count: the arguments in parameter order, then the
    // same call. (With no parameters args may be null; it is never read then.)
    [[gnu::noinline]] static PyObject* parsed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) noexcept {
        PyObject* buffer[N ? N : 1];
        if (!parse_args(params, args, nargs, kwnames, buffer)) return nullptr;
        return vectorcall(self, buffer, N, nullptr);
    }
};

// ---- wrappers bound through adapt_to_python3 ----

// The entry point bind_wrappers gives the adapter's wrapper of a wrapper W: the
// adapter's work and W's in one function while the adapter's work needs no new object
// (IS_PY2 cached as False, exactly W's positional arguments, every str among them exact
// ASCII text where W takes bytes), and else the adapter's own entry point. The encoded
// bytes of such a str would hold exactly the str's own NUL-terminated ASCII buffer,
// which W then reads in place; encoding it runs no Python code and cannot fail, so
// skipping it changes nothing the caller or the SDK can see. Both ways the caller sees
// the same calls, results and traceback entries.
template <class W>
struct Adapted {
    static PyObject* entry(PyObject* cell, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        if (nargs == W::N && !kwnames && cached_global(g_is_py2) == Py_False && wrapped_function(cell) &&
            text_ok(args)) [[likely]] {
            PyObject* r = W::call_text(args);
            if (!r) add_traceback(wrapper_site);
            return r;
        }
        return adapter_entry(cell, args, nargs, kwnames);
    }

    // A str subclass (its encode may be overridden), non-ASCII text (encoding raises) or
    // a str where W takes no bytes (the bytes then go to another conversion) takes the
    // adapter's own path. The request kind takes the length as a C int.
    [[gnu::always_inline]] static bool text_ok(PyObject* const* args) {
        for (Py_ssize_t i = 0; i < W::N; ++i) {
            PyObject* o = args[i];
            if (PyUnicode_Check(o) &&
                !((W::text >> i & 1u) && is_ascii_text(o) && PyUnicode_GET_LENGTH(o) <= INT_MAX))
                return false;
        }
        return true;
    }
};

// The method definition of the adapter's wrapper of W, for adapted rows.
template <bool Adapt, class W>
PyMethodDef adapted_def() {
    if constexpr (Adapt) {
        return wrapper_def(&Adapted<W>::entry);
    } else {
        return {nullptr, nullptr, 0, nullptr};
    }
}

}  // namespace csdk
