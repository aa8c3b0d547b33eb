// The account `sim`: cash, orders, fills and netted positions (one signed volume per
// symbol: long above 0, short below), and the matching of open orders against price steps.
//
// Cash never goes negative. What opens a position (a buy beyond the short, a sell beyond
// the long) is paid from the available margin, nav - sum |position values| - what open
// orders freeze: a limit order it does not cover is rejected, a market order freezes at
// most what is available and is cut at its fill to the whole units the margin covers at
// the fill price, commission included. A short's proceeds go to the balance, which pays
// its buy-back. What closes a position needs no margin. A market order may give a value,
// an equity share or a target position instead of a volume: it is sized at its first
// fill, at the fill price. Stop orders wait for the price path to reach their stop; an
// entry's exits (stop-loss, take-profit) are placed when it fills, one canceling the
// other. When the nav of an account with shorts falls to 0 or below, the shorts are
// covered at once (a stop-out).
#ifndef ZVSDK_STANDIN_SIM_ACCOUNT_HPP
#define ZVSDK_STANDIN_SIM_ACCOUNT_HPP

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/formats.hpp"
#include "sim/json.hpp"
#include "sim/prices.hpp"
#include "sim/status.hpp"
#include "types.hpp"

namespace standin::sim {

// What trading costs and how orders match, from the session's configuration.
struct Costs {
    double transaction_ratio = 0, commission_ratio = 0, commission_unit = 0, slippage = 0;
    int match_mode = 0;
};

class Account {
public:
    // A new session; `prices` (which outlives the account) marks the shorts.
    void restart(double cash, const Costs& costs, Prices& prices);

    // The order calls, with their decoded requests; `now` is the simulated time. Events go
    // to `queue`, responses to `res`.
    Status place(const json::Value& req, Prices& prices, std::int64_t now, std::string& res,
                 std::deque<Event>& queue);
    Status cancel_orders(const json::Value& req, std::int64_t now, std::deque<Event>& queue);
    void cancel_all(std::int64_t now, std::deque<Event>& queue);

    // The queries. The account list is fixed: the one simulated account.
    static void write_info(std::string& res);
    void write_orders(bool open_only, std::string& res) const;
    Status write_executions(const json::Value& req, std::string& res) const;
    void write_cash(Prices& prices, std::string& res) const;
    void write_positions(Prices& prices, std::string& res) const;

    // Whether any order is open, and matching at a price step of one symbol: each of its
    // open orders, oldest first.
    bool any_open() const;
    bool has_open(const std::string& symbol) const;
    void match_symbol(const std::string& symbol, const Step& step, std::int64_t now, std::deque<Event>& out);
    // Symbols with open orders, ascending.
    std::vector<std::string> open_symbols() const;
    // Whether a short position is open (its margin is checked at every price step), and
    // the check: covers every short when the nav is 0 or below.
    bool has_short() const;
    void check_margin(std::int64_t now, std::deque<Event>& out);

private:
    struct Position {
        std::int64_t volume = 0;  // long > 0, short < 0
        double cost = 0;          // what the open volume was bought (long) or sold (short) for
    };
    double frozen_cash() const;
    // The volume open orders of the other side have committed to closing: sells of a long,
    // reduce-only buys of a short (exits excepted).
    std::int64_t frozen_volume(const std::string& symbol, int side) const;
    std::int64_t net(const std::string& symbol) const;
    double short_value() const;  // sum of the shorts' market values, at their last prices
    double available() const;    // balance - frozen - 2 x short value = nav - sum |values| - frozen
    double unit_cost(double price) const;
    double cost_of(double price, std::int64_t volume) const;
    Status read_request(const json::Value& req, Prices& prices, Order& o);
    void check_placed(Order& o, double current);
    void match(std::size_t order, const Step& step, std::int64_t now, std::deque<Event>& out);
    bool size_order(std::size_t order, double price, std::int64_t now, std::deque<Event>& out);
    void fill(std::size_t order, double price, std::int64_t volume, bool closing, std::int64_t now,
              std::deque<Event>& out);
    void after_fill(std::size_t order, std::int64_t now, std::deque<Event>& out);
    void place_exits(std::size_t entry, std::int64_t now, std::deque<Event>& out);
    void finish(std::size_t order);
    void cancel(std::size_t order, std::int64_t now, std::deque<Event>& out);

    Costs costs_;
    double initial_cash_ = 0, cash_ = 0, cum_commission_ = 0;
    std::vector<Order> orders_;
    std::map<std::string, std::vector<std::size_t>> open_;  // open orders by symbol, oldest first
    std::vector<Execution> executions_;
    std::map<std::string, Position> positions_;
    Prices* prices_ = nullptr;  // marks the shorts; set by every call that has the prices
};

}  // namespace standin::sim

#endif
