#include "state.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <cmath>
#include <cstdio>

namespace standin {

State& state() {
    static State s;
    return s;
}

std::mutex& state_mutex() {
    static std::mutex m;
    return m;
}

Outcome outcome_of(State& s, Fn fn, const std::vector<Arg>* args) {
    Outcome out;
    if (args) s.sim.answer(fn, *args, out, s.events);
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
        // A reader that trusts a reported length larger than the payload stays inside
        // this zero-padded copy. It lives in this frame, so a callback that resets the
        // library or queues more events cannot free it under the reader.
        std::vector<char> payload(std::max<long long>(static_cast<long long>(event.data.size()),
                                                      event.reported_length) + 1, '\0');
        std::copy(event.data.begin(), event.data.end(), payload.begin());
        callback(event.name_null ? nullptr : event.name.c_str(), event.data_null ? nullptr : payload.data(),
                 event.reported_length);
    }
    if (!clear_stop) return;
    Lock lock(state_mutex());
    state().stop_requested = false;
}

namespace {

void append_hex(std::string& out, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xf];
    }
    out += '"';
}

// Doubles go out as strings Python's float() reads back exactly, including nan and inf,
// which JSON has no numbers for.
void append_real(std::string& out, double value) {
    out += '"';
    if (std::isnan(value)) {
        out += "nan";
    } else if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", value);
        out += buf;
    }
    out += '"';
}

struct ArgWriter {
    std::string& out;
    void operator()(const Bytes& b) const {
        out += "[\"s\",";
        if (b.null) out += "null"; else append_hex(out, b.data);
        out += ']';
    }
    void operator()(long long v) const { out += "[\"i\"," + std::to_string(v) + ']'; }
    void operator()(double v) const {
        out += "[\"f\",";
        append_real(out, v);
        out += ']';
    }
    void operator()(bool v) const { out += v ? "[\"b\",true]" : "[\"b\",false]"; }
    void operator()(OutParam o) const { out += o.non_null ? "[\"o\",true]" : "[\"o\",false]"; }
    void operator()(Address a) const { out += "[\"p\"," + std::to_string(a.value) + ']'; }
};

}  // namespace

std::string calls_json(const State& s) {
    std::string out = "[";
    for (std::size_t i = 0; i < s.calls.size(); ++i) {
        const Call& call = s.calls[i];
        if (i) out += ',';
        out += "{\"fn\":\"";
        out += info(call.fn).name;  // identifiers: nothing to escape
        out += "\",\"args\":[";
        for (std::size_t j = 0; j < call.args.size(); ++j) {
            if (j) out += ',';
            std::visit(ArgWriter{out}, call.args[j]);
        }
        out += "]}";
    }
    out += ']';
    return out;
}

}  // namespace standin
