// The simulated backtest session: market data, timers, an account with orders and fills,
// a message bus loop-back, parameters and instrument pools, answering the SDK calls in
// place of the defaults while it is on (see docs/simulation.md).
//
// It is off after loading and after every zvstub_reset; zvi_set_serv_addr("sim:...")
// turns it on. Everything here runs under the stand-in's state lock: the simulation only
// produces events, the delivery loop hands them to the callback with the lock released.
#ifndef ZVSDK_STANDIN_SIM_SIMULATION_HPP
#define ZVSDK_STANDIN_SIM_SIMULATION_HPP

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bar_files.hpp"
#include "sim/calendar.hpp"
#include "sim/json.hpp"
#include "sim/market.hpp"
#include "types.hpp"

namespace standin::sim {

// Statuses of failed calls; zvi_strerror has a text for each while the simulation is on.
enum Error : int {
    kInvalidRequest = 1001,
    kInvalidSymbol = 1002,
    kUnknownOrder = 1003,
    kNoSession = 1004,
    kNotFound = 1005,
};
// The text of one of those codes, or null.
const char* error_text(int code);

class Simulation {
public:
    bool enabled() const { return enabled_; }
    bool active() const { return active_; }

    // Works out fn's own outcome from its recorded arguments, when it is one the
    // simulation answers; events it causes go to `queue` (delivered before simulated
    // time moves on).
    void answer(Fn fn, const std::vector<Arg>& args, Outcome& out, std::deque<Event>& queue);

    // The next event of the replay, produced on demand; false when there is no session
    // or it has finished.
    bool next_event(Event& event);

    // Counts one event handed out by zvi_run/zvi_poll (for backtest_finished).
    void delivered() {
        if (active_) ++delivered_;
    }

private:
    struct Order {
        std::int64_t seq;  // 1, 2, ...: "sim-<seq>"
        std::string cl_ord_id;
        std::string symbol;
        int side, type;
        double price;
        std::int64_t volume;
        int status;
        std::int64_t filled_volume = 0;
        double filled_amount = 0, filled_commission = 0;
        int rej_reason = 0;
        std::string rej_detail;
        std::int64_t created_at, updated_at;
        double frozen_cash = 0;  // buys: cash still frozen for the unfilled volume
        bool open() const { return status == 1 || status == 2; }
        std::int64_t remaining() const { return volume - filled_volume; }
    };
    struct Execution {
        std::int64_t seq;
        std::size_t order;
        double price;
        std::int64_t volume;
        double amount, commission;
        std::int64_t created_at;
    };
    // A symbol replayed from its data file: the bars, the next one to replay, and the
    // price of the last price step.
    struct FileMarket {
        std::shared_ptr<const BarSeries> series;
        std::size_t cursor = 0;
        double price = 0;
        std::int64_t price_time = 0;
        double volume = 0;  // the last price step's share of its bar's volume
    };
    struct Position {
        std::int64_t volume = 0;
        double cost = 0;
    };
    struct UserTimer {
        std::int64_t period, delay, next;
    };
    enum class DateRule { Daily, Weekly, Monthly };
    struct Schedule {
        DateRule rule;
        std::string date_rule, time_rule;
        std::int64_t time_of_day;
        std::int64_t next;
    };
    struct Parameter {
        std::string key;
        double value = 0;
        std::optional<double> min, max;
        std::string name, intro, group;
        bool readonly = false;
    };

    // ---- calls ----
    int fail(Fn fn, int code, const std::string& why);
    bool read_request(Fn fn, const std::vector<Arg>& args, json::Value& request, int& status);
    void set_serv_addr(const std::vector<Arg>& args);
    int configure(const std::vector<Arg>& args);
    int subscribe(const std::vector<Arg>& args);
    int unsubscribe(const std::vector<Arg>& args);
    void set_timer(const std::vector<Arg>& args);
    int user_timer(const std::vector<Arg>& args);
    int schedule(const std::vector<Arg>& args);
    int send_to_bus(const std::vector<Arg>& args, std::deque<Event>& queue);
    int place_order(const json::Value& req, std::string& res, std::deque<Event>& queue);
    int cancel_orders(const json::Value& req, std::deque<Event>& queue);
    int cancel_all(std::deque<Event>& queue);
    int get_orders(const json::Value& req, bool open_only, std::string& res);
    int get_execution_reports(const json::Value& req, std::string& res);
    int get_cash(std::string& res);
    int get_positions(std::string& res);
    int current_price(const json::Value& req, std::string& res);
    int add_parameters(const json::Value& req);
    int set_parameters(const json::Value& req, std::deque<Event>& queue);
    int get_parameters(const json::Value& req, std::string& res);
    int set_pool(const json::Value& req);
    int get_pools(std::string& res);
    int get_pool(const json::Value& req, std::string& res);
    int del_pool(const json::Value& req);

    // ---- the market and the account ----
    Market& market(const std::string& symbol);  // created and walked up to now on first use
    // Whether symbols name data files: in a file session, or before any session when the
    // address names a data path.
    bool file_symbols() const { return active_ ? file_mode_ : !data_path_.empty(); }
    std::shared_ptr<const BarSeries> series_of(std::string_view symbol, std::string& error);
    FileMarket* file_market(std::string_view symbol, std::string& error);  // null when it has no data
    // 0 when the symbol can be traded and priced in this session, else the failure status.
    int check_symbol(Fn fn, std::string_view symbol);
    bool symbol_form(std::string_view symbol) const;
    double price_of(const std::string& symbol);
    std::int64_t price_time_of(const std::string& symbol);
    std::int64_t step_time(std::int64_t step) const;
    std::int64_t steps_before(std::int64_t time) const;
    std::int64_t next_step() const;  // the next generated step anything needs, or -1
    std::int64_t next_file_bar() const;
    double frozen_cash() const;
    std::int64_t frozen_volume(const std::string& symbol) const;
    // Matches one open order against a price step: `price` the step's price, `previous`
    // the price before it on the same bar (for limit orders crossed inside a file bar, 0
    // otherwise), `volume` the step's volume.
    void match(std::size_t order, double price, double previous, double volume, std::deque<Event>& out);
    void fill_order(std::size_t order, double price, std::int64_t volume, std::deque<Event>& out);
    bool any_open_orders() const;
    void finish_order(std::size_t order);
    void cancel(std::size_t order, std::deque<Event>& out);
    void write_order(json::Writer& w, const Order& o) const;
    Event order_event(const Order& o) const;

    // ---- the replay ----
    std::int64_t next_schedule_time(const Schedule& s, std::int64_t from) const;
    std::int64_t next_instant() const;
    void produce();
    void run_step();
    void run_file_step(int part);
    void emit_ticks();
    void emit_bars();
    void push(std::deque<Event>& queue, const char* name, std::string data) const;

    bool enabled_ = false;
    std::uint64_t seed_ = 1;
    std::string data_path_;      // from the address: empty for generated prices
    std::string address_error_;  // why the last sim: address did not parse, or empty
    std::string last_error_;

    // configuration
    bool active_ = false;
    std::int64_t start_ = 0, end_ = 0;
    double initial_cash_ = 0, transaction_ratio_ = 0, commission_ratio_ = 0, commission_unit_ = 0, slippage_ = 0;
    int match_mode_ = 0;
    std::uint64_t session_seed_ = 1;
    bool file_mode_ = false;
    BarFiles files_;

    // the path's calendar: step 0 is the first step of `origin_`, the first trading day on
    // or after the start date; steps before the start are walked but not replayed
    std::int64_t origin_ = 0;
    std::int64_t clock_ = 0;
    std::int64_t steps_done_ = 0;
    std::map<std::string, Market> markets_;
    std::map<std::string, FileMarket, std::less<>> file_markets_;
    std::int64_t file_through_ = 0;  // file bars up to this time have been replayed
    int file_part_ = 0;              // the next of a file bar's four price steps

    // the replay's position
    bool init_done_ = false, finished_ = false;
    std::int64_t instant_ = 0;
    int phase_ = -1;  // the next group of the current instant, -1 between instants
    bool stepped_ = false;  // a price step happened at this pass over the instant
    std::deque<Event> batch_;
    std::int64_t delivered_ = 0;

    // subscriptions per frequency: symbol -> first step replayed for it
    std::array<std::map<std::string, std::int64_t>, kFrequencyCount> subscriptions_;
    std::int64_t timer_interval_ = 0, timer_next_ = 0;
    std::map<std::int64_t, UserTimer> user_timers_;
    std::int64_t next_user_timer_ = 1;
    std::vector<Schedule> schedules_;
    std::set<std::string> topics_;
    std::map<std::string, Parameter> parameters_;
    std::map<std::string, std::vector<std::string>> pools_;

    // the account
    std::vector<Order> orders_;
    std::map<std::string, std::vector<std::size_t>> open_orders_;  // by symbol, oldest first
    std::vector<Execution> executions_;
    std::map<std::string, Position> positions_;
    double cash_ = 0, cum_commission_ = 0;
};

}  // namespace standin::sim

#endif
