// SDK functions exposed directly: no adapter, no status test, no response copy. Each
// callable holds the C function it calls; the entry point is shared per C signature.
#include "../wrappers/call.hpp"

#include <string>

namespace csdk {

struct DirectRow {
    FunctionRow row;
    const char* qualname;
    const char* doc;
    void (*fn)();  // the SDK function, cast back to its own type at the call
};

template <class Fn, class Result, class... Kinds>
struct Direct {
    static constexpr Py_ssize_t N = parameter_count<Kinds...>();

    static PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        const DirectRow* d = static_cast<const DirectRow*>(as_function(self)->data);
        const Params& p = *d->row.spec;
        PyObject* buffer[N ? N : 1];
        PyObject* const* argv = bind_args<N>(p, args, nargsf, kwnames, buffer);
        if (!argv) return nullptr;
        return invoke<true, false, Result, Kinds...>(reinterpret_cast<Fn>(d->fn), argv, p.site);
    }
};

#define DIRECT(fn, result, pnames, signature, doc, ...)                                              \
    static_assert(count_names(pnames) == parameter_count<__VA_ARGS__>(),                           \
                  #fn ": the parameter names and the argument kinds disagree");                    \
    static Params fn##_params;                                                                     \
    static const DirectRow fn##_row = {                                                            \
        {#fn, false, pnames, &Direct<decltype(&fn), result __VA_OPT__(, ) __VA_ARGS__>::vectorcall, \
         &fn##_params, __FILE__, __LINE__},                                                        \
        signature ".<locals>.wrap", doc, reinterpret_cast<void (*)()>(&fn)};
#include "direct.def"
#undef DIRECT

static const DirectRow* const direct_rows[] = {
#define DIRECT(fn, ...) &fn##_row,
#include "direct.def"
#undef DIRECT
};

bool bind_direct_functions(PyObject* module) {
    for (const DirectRow* d : direct_rows) {
        if (!prepare_params(d->row, "wrap", d->qualname)) return false;
        Owned f = Owned::steal(new_function({d->row.call, d, "wrap", d->qualname, "cfunc.to_py", d->doc, nullptr, d->row.spec}));
        if (!f || PyObject_SetAttrString(module, d->row.name, f.borrow()) < 0) return false;
    }
    return true;
}

}  // namespace csdk
