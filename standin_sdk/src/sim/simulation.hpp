// The simulated backtest session: it answers the SDK calls in place of the stand-in's
// defaults while it is on (see docs/simulation.md), and produces the replay's events.
//
// It is off after loading and after every zvstub_reset; zvi_set_serv_addr("sim...")
// turns it on. The routing table (sim/routes.hpp) hands each call it answers to the part
// that answers it; this class coordinates them: it reads the address, checks the
// configuration and starts a session, decodes the serialized requests, and keeps the
// last error. Its parts, each in its own file (sim/parts.hpp):
//   prices         the price source: generated paths or the bars of CSV files (bar_files),
//                  the address's data path and the symbol rule
//   account        cash, orders, fills, positions and order matching
//   subscriptions  the subscribed symbols by bar length
//   scheduler      timers, user timers and schedules
//   stores         bus topics, parameters and instrument pools
//   replay         the events of the session, instant by instant
// Below them: calendar (dates, times, the trading calendar), formats (the JSON of events
// and responses), json (the reader and writer), status (the statuses of failed calls)
// and text (the text helpers of messages).
// Everything here runs under the stand-in's state lock: the simulation only produces
// events, the delivery loop hands them to the callback with the lock released.
#ifndef ZVSDK_STANDIN_SIM_SIMULATION_HPP
#define ZVSDK_STANDIN_SIM_SIMULATION_HPP

#include <cstdint>
#include <deque>
#include <string>

#include "registry.hpp"
#include "sim/json.hpp"
#include "sim/parts.hpp"
#include "sim/replay.hpp"
#include "sim/status.hpp"
#include "types.hpp"

namespace standin::sim {

// What a call needs before the simulation answers it.
enum class Needs {
    Nothing,  // answered even while the simulation is off: the address that turns it on
    On,       // the simulation on, with or without a session
    Clock,    // a configured session's clock: without a session the defaults stand
    Session,  // a configured session: without one the call fails with kNoSession
};

class Simulation;
// A serialized call's handler: the decoded request in, the response (for the functions
// that have one) out in `res`.
using RequestHandler = Status (*)(const Simulation&, Parts&, const json::Value&, std::string&, std::deque<Event>&);

class Simulation {
public:
    bool enabled() const { return enabled_; }
    bool active() const { return parts_.prices.started(); }
    Parts& parts() { return parts_; }
    const std::string& last_error() const { return last_error_; }
    // Why the last sim: address did not parse, or empty.
    const std::string& address_error() const { return address_error_; }

    void set_serv_addr(const char* addr);
    int configure(const char* start_time, const char* end_time, double initial_cash, double transaction_ratio,
                  double commission_ratio, double commission_unit, double slippage_ratio, int adjust, int match_mode);
    // The status of a call of fn: 0, or the failure's code, its why kept as the last error.
    int report(Fn fn, const Status& status);
    // A serialized call: the request as received, checked for what the call needs and
    // decoded, then handed to its handler; the status and response go to `out`.
    void request(Fn fn, Needs needs, const Req& req, Outcome& out, std::deque<Event>& queue, RequestHandler handler);

    // ---- the replay ----
    // The next event, produced on demand; false when there is no session or it has finished.
    bool next_event(Event& event) { return active() && replay_.next_event(event, parts_); }
    // Counts one event handed out by zvi_run/zvi_poll (for backtest_finished).
    void delivered() {
        if (active()) replay_.delivered();
    }

private:
    int fail(Fn fn, int code, const std::string& why);
    bool read_request(Fn fn, const Req& req, json::Value& request, int& status);

    // settings from the address
    bool enabled_ = false;
    std::uint64_t seed_ = 1;
    std::string address_error_;
    std::string last_error_;

    Parts parts_;
    Replay replay_;
};

}  // namespace standin::sim

#endif
