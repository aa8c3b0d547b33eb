// The simulated backtest session: it answers the SDK calls in place of the stand-in's
// defaults while it is on (see docs/simulation.md), and produces the replay's events.
//
// It is off after loading and after every zvstub_reset; zvi_set_serv_addr("sim...")
// turns it on. Each SDK function it answers hands it the arguments as the function
// received them (answer<F>() below). Its parts, each in its own file:
//   calendar   dates, times, the trading calendar and its price steps
//   scheduler  timers, user timers and schedules
//   prices     the price source: generated paths or the bars of CSV files (bar_files)
//   account    cash, orders, fills, positions and order matching
//   stores     bus topics, parameters and instrument pools
//   formats    the JSON of events and responses; json, the reader and writer
// Everything here runs under the stand-in's state lock: the simulation only produces
// events, the delivery loop hands them to the callback with the lock released.
#ifndef ZVSDK_STANDIN_SIM_SIMULATION_HPP
#define ZVSDK_STANDIN_SIM_SIMULATION_HPP

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "registry.hpp"
#include "sim/account.hpp"
#include "sim/bar_files.hpp"
#include "sim/calendar.hpp"
#include "sim/prices.hpp"
#include "sim/scheduler.hpp"
#include "sim/status.hpp"
#include "sim/stores.hpp"
#include "types.hpp"

namespace standin::sim {

class Simulation {
public:
    bool enabled() const { return enabled_; }
    bool active() const { return active_; }

    // ---- the calls, with their arguments as received; results go to `out` ----
    void set_serv_addr(const char* addr);
    int configure(const char* start_time, const char* end_time, double initial_cash, double transaction_ratio,
                  double commission_ratio, double commission_unit, double slippage_ratio, int adjust, int match_mode);
    int subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
    int unsubscribe(const char* symbols, const char* frequency);
    void set_timer(int interval) { scheduler_.set_timer(interval, clock_); }
    int user_timer(int period, int start_delay);
    void user_timer_stop(int id) { scheduler_.stop_user_timer(id); }
    int schedule(const char* date_rule, const char* time_rule);
    void add_bus_topic(const char* topic) { bus_.add_topic(topic); }
    int send_to_bus(const char* topic, const char* msg, std::deque<Event>& queue);
    void now(Outcome& out) const;
    void now_plus(Outcome& out) const;
    void ext_errormsg(Outcome& out) const { out.text = Text{false, last_error_}; }
    void account_info(Outcome& out) const;
    // The serialized calls: the request as received; the response, when there is one, in `out`.
    void request(Fn fn, const Req& req, Outcome& out, std::deque<Event>& queue);

    // ---- the replay ----
    // The next event, produced on demand; false when there is no session or it has finished.
    bool next_event(Event& event);
    // Counts one event handed out by zvi_run/zvi_poll (for backtest_finished).
    void delivered() {
        if (active_) ++delivered_;
    }

private:
    int fail(Fn fn, int code, const std::string& why);
    int report(Fn fn, const Status& status) { return status.ok() ? 0 : fail(fn, status.code, status.why); }
    bool read_request(Fn fn, const Req& req, json::Value& request, int& status);
    // Whether symbols name data files: in a file session, or before any session when the
    // address names a data path.
    bool file_symbols() const { return active_ ? prices_.file_mode() : !data_path_.empty(); }
    Status check_subscription(std::string_view symbol, int seconds);
    // The data files that symbol infos describe (the session's, or the address's), or null.
    BarFiles* described_files(std::string& why);
    Status write_symbol_infos(const json::Value& req, std::string& res);
    // The subscribed symbols of a bar length (seconds, 0 for ticks), or null when there are none.
    const std::map<std::string, std::int64_t>* subscribed(int seconds) const;

    std::int64_t next_instant() const;
    void produce();
    void match_step();
    void match_file_step(int part);
    void emit_ticks();
    void emit_bars();

    // settings from the address
    bool enabled_ = false;
    std::uint64_t seed_ = 1;
    std::string data_path_;      // empty: generated prices
    std::string address_error_;  // why the last sim: address did not parse, or empty
    BarFiles files_;
    BarFiles next_files_;  // a new data path's files, described while a file session runs on the old
    std::string last_error_;

    // the session
    bool active_ = false;
    std::int64_t start_ = 0, end_ = 0;
    std::int64_t clock_ = 0;
    Prices prices_;
    Account account_;

    // the replay's position
    bool init_done_ = false, finished_ = false;
    std::int64_t instant_ = 0;
    int phase_ = -1;        // the next group of the current instant, -1 between instants
    bool stepped_ = false;  // a generated price step happened at this pass over the instant
    int file_part_ = 0;     // the next of a file bar's four price steps
    std::deque<Event> batch_;
    std::int64_t delivered_ = 0;

    // what the strategy set up; survives reconfiguration
    // subscriptions by bar length in seconds (0 ticks, kDailySeconds daily bars), each
    // symbol -> the first generated step replayed for it
    std::map<int, std::map<std::string, std::int64_t>> subscriptions_;
    Scheduler scheduler_;
    Bus bus_;
    Parameters parameters_;
    Pools pools_;
};

// Hands one SDK call to the simulation: F's arguments as the exported function received
// them (request buffers as Req, the out-parameters as the caller passed them). Functions
// the simulation does not answer keep `out` as it is.
template <Fn F, class... Args>
void answer(Simulation& sim, Outcome& out, std::deque<Event>& queue, Args... args) {
    if constexpr (F == Fn::zvi_set_serv_addr) {
        sim.set_serv_addr(args...);  // the address that turns the simulation on
        return;
    }
    if (!sim.enabled()) return;
    if constexpr (F == Fn::zvi_set_backtest_config) {
        const auto configure = [&](const char* start, const char* end, double cash, double transaction,
                                   double commission, double unit, double slippage, double, double, int adjust,
                                   int match_mode, int) {
            return sim.configure(start, end, cash, transaction, commission, unit, slippage, adjust, match_mode);
        };
        out.number = configure(args...);
    } else if constexpr (F == Fn::zvi_now) {
        sim.now(out);
    } else if constexpr (F == Fn::zvi_now_plus) {
        sim.now_plus(out);
    } else if constexpr (F == Fn::zvi_get_ext_errormsg) {
        sim.ext_errormsg(out);
    } else if constexpr (F == Fn::zvi_subscribe) {
        out.number = sim.subscribe(args...);
    } else if constexpr (F == Fn::zvi_unsubscribe) {
        out.number = sim.unsubscribe(args...);
    } else if constexpr (F == Fn::zvi_set_timer) {
        sim.set_timer(args...);
    } else if constexpr (F == Fn::zvi_user_timer) {
        out.number = sim.user_timer(args...);
    } else if constexpr (F == Fn::zvi_user_timer_stop) {
        sim.user_timer_stop(args...);
    } else if constexpr (F == Fn::zvi_schedule) {
        out.number = sim.schedule(args...);
    } else if constexpr (F == Fn::zvi_add_bus_topic) {
        sim.add_bus_topic(args...);
    } else if constexpr (F == Fn::zvi_send_msg_to_bus) {
        out.number = sim.send_to_bus(args..., queue);
    } else if constexpr (F == Fn::zvi_get_account_info_pb) {
        sim.account_info(out);
    } else if constexpr (sizeof...(Args) > 0) {
        // Serialized calls: the first argument is the request buffer.
        if constexpr (std::is_same_v<std::tuple_element_t<0, std::tuple<Args...>>, Req>)
            sim.request(F, std::get<0>(std::tuple<Args...>(args...)), out, queue);
    }
}

}  // namespace standin::sim

#endif
