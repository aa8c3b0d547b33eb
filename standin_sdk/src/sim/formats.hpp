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
enum OrderType { kLimit = 1, kMarket = 2, kStopMarket = 3, kStopLimit = 4 };
// position_effect: 0, the default (a sell at most the long, a buy covers a short first);
// 1, open (a sell beyond the long opens a short); 2, close (reduce-only).
enum PositionEffect { kEffectDefault = 0, kOpen = 1, kClose = 2 };
enum PositionSide { kLong = 1, kShort = 2 };
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
    double frozen_cash = 0;  // cash (or margin) still frozen for the unfilled volume
    int effect = kEffectDefault;
    double stop_price = 0;     // stop orders and stop-loss exits; 0 for the others
    bool triggered = false;    // a stop order whose stop the price path has reached
    double equity_share = 0;   // a market order sized by a share of the available margin; else 0
    bool by_target = false;    // a market order to a target position, sized at its fill
    std::int64_t target = 0;
    bool sized = true;         // false until an order by value, share or target is sized
    std::int64_t parent = -1;  // an exit: the index of its entry; else -1
    std::int64_t oco = -1;     // an exit: the index of the other exit, canceled when this one fills
    // An entry's exits: absolute prices, or ratios from its fill price (0: none), and the
    // indices of the exits once placed.
    double stop_loss = 0, take_profit = 0, stop_loss_ratio = 0, take_profit_ratio = 0;
    std::int64_t exit_sl = -1, exit_tp = -1;
    bool has_exits() const { return stop_loss > 0 || take_profit > 0 || stop_loss_ratio > 0 || take_profit_ratio > 0; }
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
    int position_side = kLong;  // the position the fill traded
    int position_effect = 1;    // 1 opened (or added to) it, 2 closed (part of) it
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
