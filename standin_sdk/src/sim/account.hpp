// The account `sim`: cash, orders, fills and long positions, and the matching of open
// orders against price steps.
//
// Cash never goes negative. A buy freezes what it is expected to cost; a limit buy that
// cash does not cover is rejected. A market buy freezes at most the free cash and is cut
// at its fill to the whole units its frozen and the free cash cover at the fill price,
// commission included; the rest is canceled. A market order may give a value instead of
// a volume: it is sized at its first fill, at the fill price. A sale whose commission exceeds its
// proceeds pays the difference from the free cash, and is canceled unfilled when that
// does not cover it.
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
    void restart(double cash, const Costs& costs);

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

private:
    struct Position {
        std::int64_t volume = 0;
        double cost = 0;
    };
    double frozen_cash() const;
    std::int64_t frozen_volume(const std::string& symbol) const;
    void match(std::size_t order, const Step& step, std::int64_t now, std::deque<Event>& out);
    bool size_by_value(std::size_t order, const Step& step, std::int64_t now, std::deque<Event>& out);
    void fill(std::size_t order, double price, std::int64_t volume, std::int64_t now, std::deque<Event>& out);
    void finish(std::size_t order);
    void cancel(std::size_t order, std::int64_t now, std::deque<Event>& out);

    Costs costs_;
    double initial_cash_ = 0, cash_ = 0, cum_commission_ = 0;
    std::vector<Order> orders_;
    std::map<std::string, std::vector<std::size_t>> open_;  // open orders by symbol, oldest first
    std::vector<Execution> executions_;
    std::map<std::string, Position> positions_;
};

}  // namespace standin::sim

#endif
