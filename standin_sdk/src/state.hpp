// Everything the stand-in remembers between calls: the record of calls, the scripts set
// through the control interface, the event queue and the registered callback.
//
// One mutex guards it all. Callers through ctypes run without the interpreter lock, so
// calls may come from several threads; the mutex is never held while an event callback
// runs, so callbacks may re-enter the library freely.
#ifndef ZVSDK_STANDIN_STATE_HPP
#define ZVSDK_STANDIN_STATE_HPP

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "registry.hpp"
#include "zvsdk.h"

namespace standin {

// ---- the record ----

struct Bytes {  // a string or request buffer as received
    bool null = false;
    std::string data;
};
struct OutParam {  // an out-parameter: only whether the caller passed somewhere to write
    bool non_null = false;
};
struct Address {  // a function pointer, recorded as its address
    std::uintptr_t value = 0;
};
using Arg = std::variant<Bytes, long long, double, bool, OutParam, Address>;

struct Call {
    Fn fn;
    std::vector<Arg> args;
};

// ---- what a function hands back ----

struct Text {  // a returned string, or the *addr out-string
    bool null = false;
    std::string data;
};

struct Response {  // *res and *res_len
    bool null = false;
    std::string data;  // the buffer handed out is at least max(data size, length) bytes
    int length = 0;
};

// What one call produces. Every function starts from its own outcome (today the
// defaults; later whatever a simulated session computes), then the script overrides
// each part it sets, so scripted values always win.
struct Outcome {
    long long number = 0;  // int and long long results
    double real = 0.0;
    Text text;
    Response response;
};

struct Script {
    std::optional<long long> number;
    std::optional<double> real;
    std::optional<Text> text;
    std::optional<Response> response;
};

// ---- events ----

struct Event {
    bool name_null = false;
    std::string name;
    bool data_null = false;
    std::string data;
    int reported_length = 0;
};

struct State {
    std::vector<Call> calls;
    std::array<Script, kFunctionCount> scripts;
    std::map<int, Text> strerror_texts;
    std::deque<Event> events;
    zvi_event_callback callback = nullptr;
    bool stop_requested = false;
    int running = 0;  // nesting depth of zvi_run/zvi_poll deliveries
};

// The state and its mutex; hold the lock for every access.
State& state();
std::mutex& state_mutex();
using Lock = std::lock_guard<std::mutex>;

// The outcome of one call of fn: its own behaviour with the script applied over it.
Outcome outcome_of(const State& s, Fn fn);

// The text of zvi_strerror(errorno): the scripted one, or "zvsdk error <n>".
Text strerror_text(const State& s, int errorno);

// Buffers handed to callers stay valid until the next call on the same thread, as the
// SDK promises and no longer: each new one replaces (and frees) the previous, so a caller
// that keeps an old pointer is caught by memory checkers.
const char* lend(const std::string& data, long long min_size);

// Delivers queued events through the registered callback, at most `limit` of them,
// stopping early when the queue runs empty or a stop is requested. A run loop clears
// the stop request when it returns (`clear_stop`); a poll leaves it, so a stop asked for
// inside a poll nested in zvi_run still ends that run. Call without the lock held.
void deliver_events(std::size_t limit, bool clear_stop);

// The whole record as JSON (see zvstub.h).
std::string calls_json(const State& s);

}  // namespace standin

#endif
