#include "zvstub.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "sim/json.hpp"
#include "state.hpp"

using namespace standin;

namespace {

// Bytes from a (pointer, length) pair; a null pointer only goes with no bytes.
bool take_bytes(const char* data, size_t len, int is_null, Text& out) {
    if (is_null) {
        out = Text{true, {}};
        return true;
    }
    if (!data && len > 0) return false;
    out = Text{false, data ? std::string(data, len) : std::string()};
    return true;
}

// Looks fn up and checks it produces what the setter sets; on success `fn_out` is set.
template <class Accepts>
int check(const char* name, Accepts accepts, Fn& fn_out) {
    const auto fn = find_function(name);
    if (!fn) return ZVSTUB_UNKNOWN_FUNCTION;
    if (!accepts(info(*fn))) return ZVSTUB_WRONG_KIND;
    fn_out = *fn;
    return ZVSTUB_OK;
}

bool has_response(const FnInfo& f) { return f.outputs == Outputs::Response; }

thread_local std::string json_text;  // what zvstub_json_doubles and zvstub_json_string return

}  // namespace

extern "C" {

void zvstub_reset(void) {
    Lock lock(state_mutex());
    state() = State{};
    set_poison(false);
}

void zvstub_set_poison(int on) { set_poison(on != 0); }

const char* zvstub_calls_json(void) {
    thread_local std::string json;
    Lock lock(state_mutex());
    json = calls_json(state());
    return json.c_str();
}

size_t zvstub_call_count(void) {
    Lock lock(state_mutex());
    return state().calls.size();
}

void zvstub_set_record_limit(long long limit) {
    Lock lock(state_mutex());
    State& s = state();
    s.session_record_limit = limit;
    trim_record(s);
}

size_t zvstub_calls_dropped(void) {
    Lock lock(state_mutex());
    return state().calls_dropped;
}

int zvstub_function_count(void) { return static_cast<int>(kFunctionCount); }

const char* zvstub_function_name(int i) {
    if (i < 0 || static_cast<size_t>(i) >= kFunctionCount) return nullptr;
    return info(static_cast<Fn>(i)).name;
}

int zvstub_set_int(const char* name, long long value) {
    Fn fn;
    const auto accepts = [](const FnInfo& f) { return f.result == Result::Int || f.result == Result::LongLong; };
    if (const int rc = check(name, accepts, fn)) return rc;
    if (info(fn).result == Result::Int &&
        (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()))
        return ZVSTUB_BAD_VALUE;
    Lock lock(state_mutex());
    state().scripts[index(fn)].number = value;
    return ZVSTUB_OK;
}

int zvstub_set_real(const char* name, double value) {
    Fn fn;
    if (const int rc = check(name, [](const FnInfo& f) { return f.result == Result::Real; }, fn)) return rc;
    Lock lock(state_mutex());
    state().scripts[index(fn)].real = value;
    return ZVSTUB_OK;
}

int zvstub_set_text(const char* name, const char* data, size_t len, int is_null) {
    Fn fn;
    // zvi_strerror's text depends on its argument, so it is scripted per error number.
    const auto accepts = [](const FnInfo& f) {
        return (f.result == Result::Text && std::string_view(f.name) != "zvi_strerror") || f.outputs == Outputs::Addr;
    };
    if (const int rc = check(name, accepts, fn)) return rc;
    Text text;
    if (!take_bytes(data, len, is_null, text)) return ZVSTUB_BAD_VALUE;
    Lock lock(state_mutex());
    state().scripts[index(fn)].text = std::move(text);
    return ZVSTUB_OK;
}

int zvstub_set_strerror(int errorno, const char* data, size_t len, int is_null) {
    Text text;
    if (!take_bytes(data, len, is_null, text)) return ZVSTUB_BAD_VALUE;
    Lock lock(state_mutex());
    state().strerror_texts[errorno] = std::move(text);
    return ZVSTUB_OK;
}

int zvstub_set_response(const char* name, const char* data, size_t len) {
    Fn fn;
    if (const int rc = check(name, has_response, fn)) return rc;
    Text bytes;
    if (len > static_cast<size_t>(std::numeric_limits<int>::max()) || !take_bytes(data, len, 0, bytes))
        return ZVSTUB_BAD_VALUE;
    Lock lock(state_mutex());
    state().scripts[index(fn)].response = Response{false, std::move(bytes.data), static_cast<int>(len)};
    return ZVSTUB_OK;
}

int zvstub_set_response_raw(const char* name, int null_pointer, int len) {
    Fn fn;
    if (const int rc = check(name, has_response, fn)) return rc;
    Lock lock(state_mutex());
    state().scripts[index(fn)].response = Response{null_pointer != 0, {}, len};
    return ZVSTUB_OK;
}

int zvstub_queue_event(const char* name, size_t name_len, int name_is_null, const char* data, size_t data_len,
                       int data_is_null, int reported_len) {
    Text name_bytes, data_bytes;
    if (!take_bytes(name, name_len, name_is_null, name_bytes) || !take_bytes(data, data_len, data_is_null, data_bytes))
        return ZVSTUB_BAD_VALUE;
    Lock lock(state_mutex());
    state().events.push_back(Event{name_bytes.null, std::move(name_bytes.data), data_bytes.null,
                                   std::move(data_bytes.data), reported_len});
    return ZVSTUB_OK;
}

size_t zvstub_pending_events(void) {
    Lock lock(state_mutex());
    return state().events.size();
}

int zvstub_stop_requested(void) {
    Lock lock(state_mutex());
    return state().stop_requested ? 1 : 0;
}

const char* zvstub_json_doubles(const double* values, size_t n) {
    json_text.clear();
    for (size_t i = 0; i < n; ++i) {
        if (i) json_text += ',';
        sim::json::append_double(json_text, values[i]);
    }
    return json_text.c_str();
}

const char* zvstub_json_string(const char* data, size_t len) {
    json_text.clear();
    sim::json::append_string(json_text, std::string_view(data ? data : "", data ? len : 0));
    return json_text.c_str();
}

}  // extern "C"
