// Everything the stand-in remembers between calls: the record of calls, the scripts set
// through the control interface, the event queue, the registered callback and the
// simulated session.
//
// One mutex guards it all. Callers through ctypes run without the interpreter lock, so
// calls may come from several threads; the mutex is never held while an event callback
// runs, so callbacks may re-enter the library freely.
#ifndef ZVSDK_STANDIN_STATE_HPP
#define ZVSDK_STANDIN_STATE_HPP

#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "registry.hpp"
#include "sim/simulation.hpp"
#include "types.hpp"
#include "zvsdk.h"

namespace standin {

// While a simulated session is configured the record keeps only the most recent calls,
// this many by default (about 2 MB), so a long session's memory stays flat; outside a
// session every call is kept. zvstub_set_record_limit changes the bound.
constexpr long long kDefaultSessionRecordLimit = 10000;

struct State {
    std::deque<Call> calls;
    long long session_record_limit = kDefaultSessionRecordLimit;  // < 0: unbounded
    std::size_t calls_dropped = 0;
    std::array<Script, kFunctionCount> scripts;
    std::map<int, Text> strerror_texts;
    std::deque<Event> events;
    zvi_event_callback callback = nullptr;
    bool stop_requested = false;
    int running = 0;  // nesting depth of zvi_run/zvi_poll deliveries
    sim::Simulation sim;
};

// The state and its mutex; hold the lock for every access.
State& state();
std::mutex& state_mutex();
using Lock = std::lock_guard<std::mutex>;

// The outcome of one call of fn: its own outcome (the defaults, or what the simulation
// answered) with the script applied over it.
Outcome scripted(const State& s, Fn fn, Outcome own);

// The text of zvi_strerror(errorno): the scripted one, else the simulation's text for
// its own codes while it is on, else "zvsdk error <n>".
Text strerror_text(const State& s, int errorno);

// Buffers handed to callers stay valid until the next call on the same thread, as the
// SDK promises and no longer: each new one replaces (and frees) the previous, so a caller
// that keeps an old pointer is caught by memory checkers.
const char* lend(const std::string& data, long long min_size);

// Poison mode (off by default and after a reset): every SDK call first overwrites the
// buffer lent last on its thread with kPoisonByte (its terminating NUL kept), as an SDK
// that reuses its buffers would, and replaced buffers are kept for a while instead of
// freed, so a stale read gives wrong bytes rather than undefined behaviour.
constexpr char kPoisonByte = '\xa5';
void set_poison(bool on);
void poison_lent();

// Delivers queued events through the registered callback, at most `limit` of them,
// stopping early when the queue runs empty or a stop is requested. With `replay`, an
// empty queue is refilled from the simulated session (while one is configured and not
// finished), so queued events always go first. A run loop clears the stop request when
// it returns (`clear_stop`); a poll leaves it, so a stop asked for inside a poll nested
// in zvi_run still ends that run. Call without the lock held.
void deliver_events(std::size_t limit, bool clear_stop, bool replay);

// Adds a call to the record, dropping the oldest beyond the session bound.
void record_call(State& s, Call call);
// Drops the oldest calls beyond the session bound (while a session is configured).
void trim_record(State& s);

// The whole record as JSON (see zvstub.h).
std::string calls_json(const State& s);

}  // namespace standin

#endif
