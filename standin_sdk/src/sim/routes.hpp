// The routing table of the simulation: for each SDK function it answers, what the call
// needs before it is answered and the part that answers it (sim/parts.hpp). A function
// missing from the table keeps the stand-in's defaults.
//
// Each SDK function hands its arguments to answer<F>() as it received them (request
// buffers as Req, the out-parameters as the caller passed them). A call's handler gets
// them in C parameter order after (Simulation&, Parts&, Outcome&, event queue); a
// request's handler gets the decoded JSON request and writes its response, if the
// function has one, to `res`.
#ifndef ZVSDK_STANDIN_SIM_ROUTES_HPP
#define ZVSDK_STANDIN_SIM_ROUTES_HPP

#include <cstdint>
#include <deque>
#include <string>
#include <tuple>

#include "registry.hpp"
#include "sim/simulation.hpp"
#include "types.hpp"

namespace standin::sim {

using Queue = std::deque<Event>;

// A function's row: not answered unless the table has one.
template <Fn F>
struct Route {
    static constexpr bool kAnswered = false;
};

// SIM_CALL: a function with arguments of its own. SIM_REQUEST: a serialized call
// (a JSON request, and a JSON response for the functions that have one).
#define SIM_CALL(fn, needs, ...)                             \
    template <>                                              \
    struct Route<Fn::fn> {                                   \
        static constexpr bool kAnswered = true;              \
        static constexpr bool kRequest = false;              \
        static constexpr Needs kNeeds = Needs::needs;        \
        static constexpr auto handler = __VA_ARGS__;         \
    };
#define SIM_REQUEST(fn, needs, ...)                          \
    template <>                                              \
    struct Route<Fn::fn> {                                   \
        static constexpr bool kAnswered = true;              \
        static constexpr bool kRequest = true;               \
        static constexpr Needs kNeeds = Needs::needs;        \
        static constexpr RequestHandler handler = __VA_ARGS__; \
    };

// clang-format off
// ---- the address, the configuration and the clock ----
SIM_CALL(zvi_set_serv_addr, Nothing, [](Simulation& s, Parts&, Outcome&, Queue&, const char* addr) {
    s.set_serv_addr(addr);
})
SIM_CALL(zvi_set_backtest_config, On, [](Simulation& s, Parts&, Outcome& out, Queue&, const char* start,
                                         const char* end, double cash, double transaction, double commission,
                                         double unit, double slippage, double, double, int adjust, int match_mode,
                                         int) {
    out.number = s.configure(start, end, cash, transaction, commission, unit, slippage, adjust, match_mode);
})
SIM_CALL(zvi_now, Clock, [](Simulation&, Parts& p, Outcome& out, Queue&) { out.number = p.clock; })
SIM_CALL(zvi_now_plus, Clock, [](Simulation&, Parts& p, Outcome& out, Queue&) {
    out.real = static_cast<double>(p.clock) / 1000.0;
})
SIM_CALL(zvi_get_ext_errormsg, On, [](Simulation& s, Parts&, Outcome& out, Queue&) {
    out.text = Text{false, s.last_error()};
})

// ---- subscriptions ----
SIM_CALL(zvi_subscribe, On, [](Simulation& s, Parts& p, Outcome& out, Queue&, const char* symbols,
                               const char* frequency, bool unsubscribe_previous) {
    // An address that did not parse leaves no price source to subscribe to.
    out.number = s.address_error().empty()
                     ? s.report(Fn::zvi_subscribe, p.subscriptions.subscribe(symbols, frequency,
                                                                             unsubscribe_previous, p.prices))
                     : s.report(Fn::zvi_subscribe, failure(kInvalidRequest, s.address_error()));
})
SIM_CALL(zvi_unsubscribe, On, [](Simulation& s, Parts& p, Outcome& out, Queue&, const char* symbols,
                                 const char* frequency) {
    out.number = s.report(Fn::zvi_unsubscribe, p.subscriptions.unsubscribe(symbols, frequency, p.prices));
})

// ---- timers and schedules ----
SIM_CALL(zvi_set_timer, On, [](Simulation&, Parts& p, Outcome&, Queue&, int interval) {
    p.scheduler.set_timer(interval, p.clock);
})
SIM_CALL(zvi_user_timer, On, [](Simulation& s, Parts& p, Outcome& out, Queue&, int period, int start_delay) {
    std::int64_t id = 0;
    const Status status = p.scheduler.add_user_timer(period, start_delay, p.clock, id);
    out.number = status.ok() ? static_cast<int>(id) : -s.report(Fn::zvi_user_timer, status);
})
SIM_CALL(zvi_user_timer_stop, On, [](Simulation&, Parts& p, Outcome&, Queue&, int id) {
    p.scheduler.stop_user_timer(id);
})
SIM_CALL(zvi_schedule, On, [](Simulation& s, Parts& p, Outcome& out, Queue&, const char* date_rule,
                              const char* time_rule) {
    out.number = s.report(Fn::zvi_schedule, p.scheduler.add_schedule(date_rule, time_rule, p.clock));
})

// ---- the bus ----
SIM_CALL(zvi_add_bus_topic, On, [](Simulation&, Parts& p, Outcome&, Queue&, const char* topic) {
    p.bus.add_topic(topic);
})
SIM_CALL(zvi_send_msg_to_bus, On, [](Simulation& s, Parts& p, Outcome& out, Queue& q, const char* topic,
                                     const char* msg) {
    out.number = s.report(Fn::zvi_send_msg_to_bus, p.bus.send(topic, msg, p.clock, q));
})

// ---- the account ----
SIM_CALL(zvi_get_account_info_pb, On, [](Simulation&, Parts&, Outcome& out, Queue&, ResponseOut) {
    std::string res;
    Account::write_info(res);
    const int length = static_cast<int>(res.size());
    out.response = Response{false, std::move(res), length};
})
SIM_REQUEST(zvi_place_order_pb, Session, [](const Simulation&, Parts& p, const json::Value& r, std::string& res, Queue& q) {
    return p.account.place(r, p.prices, p.clock, res, q);
})
SIM_REQUEST(zvi_cancel_orders_pb, Session, [](const Simulation&, Parts& p, const json::Value& r, std::string&, Queue& q) {
    return p.account.cancel_orders(r, p.clock, q);
})
SIM_REQUEST(zvi_cancel_all_orders_pb, Session, [](const Simulation&, Parts& p, const json::Value&, std::string&, Queue& q) {
    p.account.cancel_all(p.clock, q);
    return Status{};
})
SIM_REQUEST(zvi_get_orders_pb, Session, [](const Simulation&, Parts& p, const json::Value&, std::string& res, Queue&) {
    p.account.write_orders(false, res);
    return Status{};
})
SIM_REQUEST(zvi_get_unfinished_orders_pb, Session, [](const Simulation&, Parts& p, const json::Value&, std::string& res, Queue&) {
    p.account.write_orders(true, res);
    return Status{};
})
SIM_REQUEST(zvi_get_execution_reports_pb, Session, [](const Simulation&, Parts& p, const json::Value& r, std::string& res, Queue&) {
    return p.account.write_executions(r, res);
})
SIM_REQUEST(zvi_get_cash_pb, Session, [](const Simulation&, Parts& p, const json::Value&, std::string& res, Queue&) {
    p.account.write_cash(p.prices, res);
    return Status{};
})
SIM_REQUEST(zvi_get_positions_pb, Session, [](const Simulation&, Parts& p, const json::Value&, std::string& res, Queue&) {
    p.account.write_positions(p.prices, res);
    return Status{};
})

// ---- prices and data files ----
SIM_REQUEST(zvi_current_price_pb, Session, [](const Simulation&, Parts& p, const json::Value& r, std::string& res, Queue&) {
    return p.prices.write_current(r, res);
})
SIM_REQUEST(zvi_get_symbol_infos, On, [](const Simulation& s, Parts& p, const json::Value& r, std::string& res, Queue&) {
    return p.prices.write_symbol_infos(r, s.address_error(), res);
})

// ---- parameters and instrument pools ----
SIM_REQUEST(zvi_add_parameters_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string&, Queue&) {
    return p.parameters.add(r);
})
SIM_REQUEST(zvi_set_parameters_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string&, Queue& q) {
    return p.parameters.set(r, q);
})
SIM_REQUEST(zvi_get_parameters_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string& res, Queue&) {
    return p.parameters.get(r, res);
})
SIM_REQUEST(zvi_set_instrument_pool_symbols_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string&, Queue&) {
    return p.pools.set(r, [&](std::string_view s) { return p.prices.names_symbol(s); });
})
SIM_REQUEST(zvi_get_instrument_pools_pb, On, [](const Simulation&, Parts& p, const json::Value&, std::string& res, Queue&) {
    p.pools.get_all(res);
    return Status{};
})
SIM_REQUEST(zvi_get_instrument_pool_by_name_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string& res, Queue&) {
    return p.pools.get(r, res);
})
SIM_REQUEST(zvi_del_instrument_pool_by_name_pb, On, [](const Simulation&, Parts& p, const json::Value& r, std::string&, Queue&) {
    return p.pools.del(r);
})
// clang-format on

#undef SIM_CALL
#undef SIM_REQUEST

// Hands one SDK call to the simulation, as its row in the table says.
template <Fn F, class... Args>
void answer(Simulation& sim, Outcome& out, Queue& queue, Args... args) {
    using R = Route<F>;
    if constexpr (R::kAnswered) {
        if (R::kNeeds != Needs::Nothing && !sim.enabled()) return;
        if (R::kNeeds == Needs::Clock && !sim.active()) return;
        if constexpr (R::kRequest) {
            const Req req = std::get<0>(std::tuple<Args...>(args...));  // the request buffer comes first
            sim.request(F, R::kNeeds, req, out, queue, R::handler);
        } else {
            R::handler(sim, sim.parts(), out, queue, args...);
        }
    }
}

}  // namespace standin::sim

#endif
