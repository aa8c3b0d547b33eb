#include "sim/formats.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "sim/calendar.hpp"

namespace standin::sim {

namespace {

// Room for a typical payload up front, so building one does not regrow its buffer.
std::string payload_buffer() {
    std::string data;
    data.reserve(256);
    return data;
}

}  // namespace

std::string order_id(const Order& o) { return "sim-" + std::to_string(o.seq); }

void write_order(json::Writer& w, const Order& o) {
    w.begin_object();
    w.field("order_id", order_id(o));
    w.field("cl_ord_id", o.cl_ord_id).field("account_id", kAccountId).field("symbol", o.symbol);
    w.field("side", o.side).field("order_type", o.type).field("price", o.price);
    w.field("volume", o.volume).field("value", o.value).field("equity_share", o.equity_share);
    if (o.by_target) w.field("target_volume", o.target); else w.key("target_volume").null();
    w.field("position_effect", o.effect).field("stop_price", o.stop_price);
    w.field("parent_order_id", o.parent >= 0 ? "sim-" + std::to_string(o.parent + 1) : std::string());
    w.field("status", o.status).field("filled_volume", o.filled_volume);
    w.field("filled_amount", o.filled_amount);
    w.field("filled_vwap", o.filled_volume ? o.filled_amount / static_cast<double>(o.filled_volume) : 0.0);
    w.field("filled_commission", o.filled_commission);
    w.field("ord_rej_reason", o.rej_reason).field("ord_rej_reason_detail", o.rej_detail);
    w.field("created_at", format_time(o.created_at).view());
    w.field("updated_at", format_time(o.updated_at).view());
    w.end_object();
}

void write_execution(json::Writer& w, const Execution& x, const Order& o) {
    w.begin_object();
    w.field("exec_id", "sim-exec-" + std::to_string(x.seq));
    w.field("order_id", order_id(o)).field("cl_ord_id", o.cl_ord_id).field("account_id", kAccountId);
    w.field("symbol", o.symbol).field("side", o.side).field("position_side", x.position_side);
    w.field("position_effect", x.position_effect).field("price", x.price).field("volume", x.volume);
    w.field("amount", x.amount).field("commission", x.commission);
    w.field("created_at", format_time(x.created_at).view());
    w.end_object();
}

void write_parameter(json::Writer& w, const Parameter& p) {
    w.begin_object().field("key", p.key).field("value", p.value);
    if (p.min) w.field("min", *p.min); else w.key("min").null();
    if (p.max) w.field("max", *p.max); else w.key("max").null();
    w.field("name", p.name).field("intro", p.intro).field("group", p.group).field("readonly", p.readonly);
    w.end_object();
}

void write_pool(json::Writer& w, const std::string& name, const std::vector<std::string>& symbols) {
    w.begin_object().field("name", name).key("symbols").begin_array();
    for (const std::string& s : symbols) w.str(s);
    w.end_array().end_object();
}

bool push_event(std::deque<Event>& queue, const char* name, std::string data) {
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    Event e;
    e.name = name;
    e.reported_length = static_cast<int>(data.size());
    e.data = std::move(data);
    queue.push_back(std::move(e));
    return true;
}

void push_order_status(std::deque<Event>& queue, const Order& o) {
    std::string data = payload_buffer();
    json::Writer w(data);
    write_order(w, o);
    push_event(queue, "order_status", std::move(data));
}

void push_execution_report(std::deque<Event>& queue, const Execution& x, const Order& o) {
    std::string data = payload_buffer();
    json::Writer w(data);
    write_execution(w, x, o);
    push_event(queue, "execution_report", std::move(data));
}

std::string init_payload(std::int64_t start) {
    std::string data;
    json::Writer(data).begin_object().field("created_at", format_time(start).view()).end_object();
    return data;
}

std::string finished_payload(std::int64_t end, std::int64_t events) {
    std::string data;
    json::Writer w(data);
    w.begin_object().field("created_at", format_time(end).view()).field("events", events).end_object();
    return data;
}

std::string schedule_payload(std::string_view date_rule, std::string_view time_rule, std::string_view at) {
    std::string data;
    json::Writer w(data);
    w.begin_object().field("date_rule", date_rule).field("time_rule", time_rule).field("created_at", at).end_object();
    return data;
}

std::string timer_payload(std::int64_t id, std::string_view at) {
    std::string data;
    json::Writer(data).begin_object().field("timer_id", id).field("created_at", at).end_object();
    return data;
}

std::string bus_payload(std::string_view topic, std::string_view msg, std::int64_t at) {
    std::string data;
    json::Writer w(data);
    w.begin_object().field("topic", topic).field("msg", msg).field("created_at", format_time(at).view()).end_object();
    return data;
}

namespace {

// Copies a literal without its terminating NUL (its length known at compile time).
template <std::size_t N>
char* put(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

}  // namespace

// The payload of every bar, the busiest of a file session: written by hand into one
// buffer with room for the longest text each member can take, then copied out at its
// length. The same bytes a json::Writer writes, without its bookkeeping per member.
std::string bar_payload(const BarFields& b) {
    constexpr std::size_t kLiterals = 128;  // the keys with their quotes, colons and commas, the braces: 103 bytes
    const std::size_t room = kLiterals + json::string_room(b.symbol.size()) + json::string_room(b.frequency.size()) +
                             json::string_room(b.bob.size()) + json::string_room(b.eob.size()) + 7 * json::kNumberRoom;
    char stack[1024];
    std::string heap;  // for the rare bar whose texts do not fit on the stack
    if (room > sizeof stack) heap.resize(room);
    char* const start = room > sizeof stack ? heap.data() : stack;
    char* p = put(start, "{\"symbol\":");
    p = json::write_string(p, b.symbol);
    p = put(p, ",\"frequency\":");
    p = json::write_string(p, b.frequency);
    p = put(p, ",\"bob\":");
    p = json::write_string(p, b.bob);
    p = put(p, ",\"eob\":");
    p = json::write_string(p, b.eob);
    p = put(p, ",\"open\":");
    p = json::write_double(p, b.open);
    p = put(p, ",\"high\":");
    p = json::write_double(p, b.high);
    p = put(p, ",\"low\":");
    p = json::write_double(p, b.low);
    p = put(p, ",\"close\":");
    p = json::write_double(p, b.close);
    p = put(p, ",\"volume\":");
    if (b.volume == std::floor(b.volume) && std::fabs(b.volume) <= 9007199254740992.0)
        p = json::write_int(p, static_cast<std::int64_t>(b.volume));
    else
        p = json::write_double(p, b.volume);
    p = put(p, ",\"amount\":");
    p = json::write_double(p, b.amount);
    p = put(p, ",\"pre_close\":");
    p = json::write_double(p, b.pre_close);
    *p++ = '}';
    const auto size = static_cast<std::size_t>(p - start);
    if (start == stack) return std::string(stack, size);
    heap.resize(size);
    return heap;
}

std::string tick_payload(const TickFields& t) {
    std::string data = payload_buffer();
    json::Writer w(data);
    w.begin_object().field("symbol", t.symbol).field("created_at", t.at).field("price", t.price);
    w.field("open", t.open).field("high", t.high).field("low", t.low);
    w.field("cum_volume", t.cum_volume).field("cum_amount", t.cum_amount);
    w.field("last_volume", t.last_volume).field("last_amount", t.last_amount);
    w.key("quotes").begin_array().begin_object();
    w.field("bid_p", t.bid_p).field("bid_v", t.bid_v).field("ask_p", t.ask_p).field("ask_v", t.ask_v);
    w.end_object().end_array().end_object();
    return data;
}

}  // namespace standin::sim
