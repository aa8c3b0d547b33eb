// The objects the simulated session hands out (orders, fills, parameters, pools) and the
// JSON of its events and responses (docs/simulation.md lists them): compact, keys in the
// documented order, times as "YYYY-MM-DD HH:MM:SS".
#ifndef ZVSDK_STANDIN_SIM_FORMATS_HPP
#define ZVSDK_STANDIN_SIM_FORMATS_HPP

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/json.hpp"
#include "types.hpp"

namespace standin::sim {

constexpr const char* kAccountId = "sim";

enum Side { kBuy = 1, kSell = 2 };
enum OrderType { kLimit = 1, kMarket = 2 };
enum OrderStatus { kNew = 1, kPartiallyFilled = 2, kFilled = 3, kCanceled = 5, kRejected = 8 };
enum RejectReason { kNoReason = 0, kNoCash = 1, kNoPosition = 2 };

struct Order {
    std::int64_t seq;  // 1, 2, ...: "sim-<seq>"
    std::string cl_ord_id;
    std::string symbol;
    int side, type;
    double price;
    std::int64_t volume;  // for an order by value: 0 until it is sized at its first fill
    double value = 0;     // a market order sized by value: what it may spend (buy) or sell for; else 0
    int status;
    std::int64_t filled_volume = 0;
    double filled_amount = 0, filled_commission = 0;
    int rej_reason = kNoReason;
    std::string rej_detail;
    std::int64_t created_at, updated_at;
    double frozen_cash = 0;  // buys: cash still frozen for the unfilled volume
    bool open() const { return status == kNew || status == kPartiallyFilled; }
    std::int64_t remaining() const { return volume - filled_volume; }
};

struct Execution {
    std::int64_t seq;  // "sim-exec-<seq>"
    std::size_t order;
    double price;
    std::int64_t volume;
    double amount, commission;
    std::int64_t created_at;
};

struct Parameter {
    std::string key;
    double value = 0;
    std::optional<double> min, max;
    std::string name, intro, group;
    bool readonly = false;
};

std::string order_id(const Order& o);

// ---- objects inside responses and events ----
void write_order(json::Writer& w, const Order& o);
void write_execution(json::Writer& w, const Execution& x, const Order& o);
void write_parameter(json::Writer& w, const Parameter& p);
void write_pool(json::Writer& w, const std::string& name, const std::vector<std::string>& symbols);

// ---- events ----
// An event's length is a C int: false (and nothing queued) for a longer payload.
bool push_event(std::deque<Event>& queue, const char* name, std::string data);
void push_order_status(std::deque<Event>& queue, const Order& o);
void push_execution_report(std::deque<Event>& queue, const Execution& x, const Order& o);
std::string init_payload(std::int64_t start);
std::string finished_payload(std::int64_t end, std::int64_t events);
std::string schedule_payload(std::string_view date_rule, std::string_view time_rule, std::string_view at);
std::string timer_payload(std::int64_t id, std::string_view at);
std::string bus_payload(std::string_view topic, std::string_view msg, std::int64_t at);

struct BarFields {
    std::string_view symbol, frequency, bob, eob;
    double open, high, low, close;
    double volume;  // written as an integer when it is a whole number
    double amount, pre_close;
};
std::string bar_payload(const BarFields& bar);

struct TickFields {
    std::string_view symbol, at;
    double price, open, high, low;
    std::int64_t cum_volume;
    double cum_amount;
    std::int64_t last_volume;
    double last_amount, bid_p;
    std::int64_t bid_v;
    double ask_p;
    std::int64_t ask_v;
};
std::string tick_payload(const TickFields& tick);

}  // namespace standin::sim

#endif
