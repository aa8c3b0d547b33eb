#include "state.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <cmath>
#include <cstdio>

#include "sim/json.hpp"

namespace standin {

State& state() {
    static State s;
    return s;
}

std::mutex& state_mutex() {
    static std::mutex m;
    return m;
}

Outcome scripted(const State& s, Fn fn, Outcome out) {
    const Script& script = s.scripts[index(fn)];
    if (script.number) out.number = *script.number;
    if (script.real) out.real = *script.real;
    if (script.text) out.text = *script.text;
    if (script.response) out.response = *script.response;
    return out;
}

Text strerror_text(const State& s, int errorno) {
    const auto it = s.strerror_texts.find(errorno);
    if (it != s.strerror_texts.end()) return it->second;
    if (s.sim.enabled())
        if (const char* text = sim::error_text(errorno)) return Text{false, text};
    return Text{false, "zvsdk error " + std::to_string(errorno)};
}

namespace {

std::atomic<bool> g_poison{false};
thread_local std::vector<char> t_lent;
// Buffers replaced while poisoned; kept so that stale pointers still point at them.
thread_local std::deque<std::vector<char>> t_retired;
constexpr std::size_t kRetiredKept = 64;

}  // namespace

void set_poison(bool on) { g_poison.store(on); }

void poison_lent() {
    if (!g_poison.load() || t_lent.size() < 2) return;
    std::fill(t_lent.begin(), t_lent.end() - 1, kPoisonByte);
}

const char* lend(const std::string& data, long long min_size) {
    std::vector<char>& lent = t_lent;
    // One byte more than asked for, zero, so every lent buffer is NUL-terminated and
    // non-null even when empty.
    const std::size_t size = std::max<std::size_t>(data.size(), static_cast<std::size_t>(std::max(min_size, 0LL)));
    std::vector<char> fresh(size + 1, '\0');
    std::copy(data.begin(), data.end(), fresh.begin());
    if (g_poison.load()) {
        t_retired.push_back(std::move(lent));
        if (t_retired.size() > kRetiredKept) t_retired.pop_front();
    } else {
        t_retired.clear();
    }
    lent = std::move(fresh);
    return lent.data();
}

void deliver_events(std::size_t limit, bool clear_stop, bool replay) {
    for (std::size_t delivered = 0; delivered < limit; ++delivered) {
        Event event;
        zvi_event_callback callback;
        {
            Lock lock(state_mutex());
            State& s = state();
            if (s.stop_requested) break;
            // Popped before the callback runs, so a callback that runs the loop again
            // sees only the events after this one.
            if (!s.events.empty()) {
                event = std::move(s.events.front());
                s.events.pop_front();
            } else if (!replay || !s.sim.next_event(event)) {
                break;
            }
            s.sim.delivered();
            callback = s.callback;
        }
        if (!callback) continue;  // nobody to deliver to: the event is dropped
        // The payload lives in this frame (the event was moved out of the queue), so a
        // callback that resets the library or queues more events cannot free it under the
        // reader; its string ends in a NUL. Only a reported length larger than the payload
        // needs a zero-padded copy, for a reader that trusts it to stay inside.
        const char* data = event.data.c_str();
        std::vector<char> padded;
        if (event.reported_length > 0 && static_cast<std::size_t>(event.reported_length) > event.data.size()) {
            padded.assign(static_cast<std::size_t>(event.reported_length) + 1, '\0');
            std::copy(event.data.begin(), event.data.end(), padded.begin());
            data = padded.data();
        }
        callback(event.name_null ? nullptr : event.name.c_str(), event.data_null ? nullptr : data,
                 event.reported_length);
    }
    if (!clear_stop) return;
    Lock lock(state_mutex());
    state().stop_requested = false;
}

void trim_record(State& s) {
    if (!s.sim.active() || s.session_record_limit < 0) return;
    // The newest call stays, whatever the bound: its caller reads its arguments.
    const std::size_t keep = std::max<std::size_t>(1, static_cast<std::size_t>(s.session_record_limit));
    while (s.calls.size() > keep) {
        s.calls.pop_front();
        ++s.calls_dropped;
    }
}

void record_call(State& s, Call call) {
    s.calls.push_back(std::move(call));
    trim_record(s);
}

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xf];
    }
    return out;
}

// Doubles go out as strings Python's float() reads back exactly, including nan and inf,
// which JSON has no numbers for.
std::string real_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
}

struct ArgWriter {
    sim::json::Writer& w;
    void operator()(const Bytes& b) const {
        w.begin_array().str("s");
        if (b.null) w.null(); else w.str(hex(b.data));
        w.end_array();
    }
    void operator()(long long v) const { w.begin_array().str("i").integer(v).end_array(); }
    void operator()(double v) const { w.begin_array().str("f").str(real_text(v)).end_array(); }
    void operator()(bool v) const { w.begin_array().str("b").boolean(v).end_array(); }
    void operator()(OutParam o) const { w.begin_array().str("o").boolean(o.non_null).end_array(); }
    void operator()(Address a) const {
        w.begin_array().str("p").unsigned_integer(a.value).end_array();
    }
};

}  // namespace

std::string calls_json(const State& s) {
    std::string out;
    sim::json::Writer w(out);
    w.begin_array();
    for (const Call& call : s.calls) {
        w.begin_object().field("fn", info(call.fn).name).key("args").begin_array();
        for (const Arg& arg : call.args) std::visit(ArgWriter{w}, arg);
        w.end_array().end_object();
    }
    w.end_array();
    return out;
}

}  // namespace standin
