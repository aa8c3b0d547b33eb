// The common body of every SDK function: record the arguments, work out the outcome,
// fill the out-parameters and return the result. Each exported function passes its
// arguments in C parameter order; the argument's type picks how it is recorded.
#ifndef ZVSDK_STANDIN_DISPATCH_HPP
#define ZVSDK_STANDIN_DISPATCH_HPP

#include <type_traits>

#include "sim/routes.hpp"
#include "state.hpp"

namespace standin {

inline void record_arg(std::vector<Arg>& args, const char* s) {
    args.emplace_back(s ? Bytes{false, s} : Bytes{true, {}});
}
inline void record_arg(std::vector<Arg>& args, int v) { args.emplace_back(static_cast<long long>(v)); }
inline void record_arg(std::vector<Arg>& args, double v) { args.emplace_back(v); }
inline void record_arg(std::vector<Arg>& args, bool v) { args.emplace_back(v); }
inline void record_arg(std::vector<Arg>& args, zvi_event_callback cb) {
    args.emplace_back(Address{reinterpret_cast<std::uintptr_t>(cb)});
}
inline void record_arg(std::vector<Arg>& args, Req r) {
    Bytes bytes{r.data == nullptr, {}};
    if (r.data && r.length > 0) bytes.data.assign(r.data, static_cast<std::size_t>(r.length));
    args.emplace_back(std::move(bytes));
    record_arg(args, r.length);
}
inline void record_arg(std::vector<Arg>& args, ResponseOut o) {
    args.emplace_back(OutParam{o.res != nullptr});
    args.emplace_back(OutParam{o.res_len != nullptr});
}
inline void record_arg(std::vector<Arg>& args, AddrOut o) { args.emplace_back(OutParam{o.addr != nullptr}); }

// Every SDK function records its call first; in poison mode that is also where the
// previous call's buffer is overwritten.
template <class... Args>
void record(State& s, Fn fn, Args... args) {
    poison_lent();
    Call call{fn, {}};
    call.args.reserve(sizeof...(Args) * 2);
    (record_arg(call.args, args), ...);
    record_call(s, std::move(call));
}

// Out-parameters are filled whenever the caller passed them, whatever the status.
template <class T>
void fill(const Outcome&, T) {}
inline void fill(const Outcome& out, ResponseOut o) {
    const Response& r = out.response;
    const char* buffer = lend(r.data, r.length);
    if (o.res) *o.res = r.null ? nullptr : const_cast<char*>(buffer);
    if (o.res_len) *o.res_len = r.length;
}
inline void fill(const Outcome& out, AddrOut o) {
    const char* buffer = lend(out.text.data, 0);
    if (o.addr) *o.addr = out.text.null ? nullptr : const_cast<char*>(buffer);
}

template <class R>
R result_of(const Outcome& out) {
    if constexpr (std::is_void_v<R>) {
        (void)out;
    } else if constexpr (std::is_same_v<R, const char*>) {
        const char* text = lend(out.text.data, 0);
        return out.text.null ? nullptr : text;
    } else if constexpr (std::is_same_v<R, double>) {
        return out.real;
    } else {
        return static_cast<R>(out.number);  // the control interface keeps values in range
    }
}

// One whole call of F with its arguments in C parameter order: recorded, answered by the
// simulation (which gets the arguments as they are), then scripted.
template <Fn F, class R, class... Args>
R call(Args... args) {
    Lock lock(state_mutex());
    State& s = state();
    record(s, F, args...);
    Outcome out;
    sim::answer<F>(s.sim, out, s.events, args...);
    out = scripted(s, F, std::move(out));
    (fill(out, args), ...);
    return result_of<R>(out);
}

// The result of fn without recording a call: for functions that record on entry and
// produce their result after doing something else (zvi_run, zvi_poll).
template <class R>
R result_now(Fn fn) {
    Lock lock(state_mutex());
    return result_of<R>(scripted(state(), fn, Outcome{}));
}

}  // namespace standin

#endif
