// The exported SDK functions. Including zvsdk.h makes the compiler hold every definition
// to the header's exact C signature.
#include <limits>

#include "dispatch.hpp"
#include "zvsdk.h"

using namespace standin;

namespace {

std::size_t pending_now() {
    Lock lock(state_mutex());
    return state().events.size();
}

}  // namespace

extern "C" {

// ---- the two shapes of serialized calls ----

#define SDK_REQ_ONLY(name) \
    int name(const char* req, int req_len) { return call<Fn::name, int>(Req{req, req_len}); }
#define SDK_REQ_RES(name)                                                  \
    int name(const char* req, int req_len, char** res, int* res_len) {     \
        return call<Fn::name, int>(Req{req, req_len}, ResponseOut{res, res_len}); \
    }
#include "functions.def"

// ---- session and run control ----

int zvi_init(void) { return call<Fn::zvi_init, int>(); }
void zvi_set_mode(int mode) { call<Fn::zvi_set_mode, void>(mode); }

// Delivers the events that were queued when it was called; events the callbacks queue
// meanwhile wait for the next zvi_poll or zvi_run. A stop request ends it early and
// stays set for the run loop it belongs to.
int zvi_poll(void) {
    call<Fn::zvi_poll, void>();
    deliver_events(pending_now(), false, false);
    return result_now<int>(Fn::zvi_poll);
}

long long zvi_now(void) { return call<Fn::zvi_now, long long>(); }
double zvi_now_plus(void) { return call<Fn::zvi_now_plus, double>(); }
const char* zvi_get_c_version(void) { return call<Fn::zvi_get_c_version, const char*>(); }
int zvi_set_token(const char* token) { return call<Fn::zvi_set_token, int>(token); }
void zvi_set_apitoken(const char* token) { call<Fn::zvi_set_apitoken, void>(token); }
const char* zvi_get_encrypted_token(void) { return call<Fn::zvi_get_encrypted_token, const char*>(); }
const char* zvi_get_orgcode(void) { return call<Fn::zvi_get_orgcode, const char*>(); }
void zvi_set_mfp(const char* mfp) { call<Fn::zvi_set_mfp, void>(mfp); }
void zvi_set_serv_addr(const char* addr) { call<Fn::zvi_set_serv_addr, void>(addr); }
void zvi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id) {
    call<Fn::zvi_set_serv_addr_v5, void>(addr, orgcode, site_id);
}
int zvi_get_serv_addr(const char* serv_id, char** addr) {
    return call<Fn::zvi_get_serv_addr, int>(serv_id, AddrOut{addr});
}
void zvi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password) {
    call<Fn::zvi_set_ctp_md_info, void>(front_addresses, user_name, password);
}
void zvi_set_strategy_id(const char* strategy_id) { call<Fn::zvi_set_strategy_id, void>(strategy_id); }
void zvi_set_account_id(const char* account_ids) { call<Fn::zvi_set_account_id, void>(account_ids); }
void zvi_set_mode_consistency(bool consistent) { call<Fn::zvi_set_mode_consistency, void>(consistent); }
int zvi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                            double transaction_ratio, double commission_ratio, double commission_unit,
                            double slippage_ratio, double option_float_margin_ratio1,
                            double option_float_margin_ratio2, int adjust, int match_mode, int check_cache) {
    return call<Fn::zvi_set_backtest_config, int>(start_time, end_time, initial_cash, transaction_ratio,
                     commission_ratio, commission_unit, slippage_ratio, option_float_margin_ratio1,
                     option_float_margin_ratio2, adjust, match_mode, check_cache);
}
void zvi_set_backtest_intraday(int intraday) { call<Fn::zvi_set_backtest_intraday, void>(intraday); }
void zvi_set_backtest_threadnum(int n) { call<Fn::zvi_set_backtest_threadnum, void>(n); }
void zvi_set_max_wait_time(int max_wait_time) { call<Fn::zvi_set_max_wait_time, void>(max_wait_time); }
int zvi_use_dsproxy(void) { return call<Fn::zvi_use_dsproxy, int>(); }
void zvi_set_simtrade_only(void) { call<Fn::zvi_set_simtrade_only, void>(); }
void zvi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1, const char* reserved2) {
    call<Fn::zvi_set_version, void>(sdk_version, sdk_lang, reserved1, reserved2);
}

// Runs until the queue is empty and the simulated session (if one is configured) has
// nothing more to replay, or a callback calls zvi_stop; then clears the stop request.
// The result is read after the loop, so a callback may still script it.
int zvi_run(void) {
    call<Fn::zvi_run, void>();
    deliver_events(std::numeric_limits<std::size_t>::max(), true, true);
    return result_now<int>(Fn::zvi_run);
}

int zvi_stop(void) {
    const int status = call<Fn::zvi_stop, int>();
    Lock lock(state_mutex());
    state().stop_requested = true;
    return status;
}

int zvi_get_stop_error_code(void) { return call<Fn::zvi_get_stop_error_code, int>(); }

const char* zvi_strerror(int errorno) {
    Lock lock(state_mutex());
    State& s = state();
    record(s, Fn::zvi_strerror, errorno);
    const Text text = strerror_text(s, errorno);
    const char* buffer = lend(text.data, 0);
    return text.null ? nullptr : buffer;
}

const char* zvi_get_ext_errormsg(void) { return call<Fn::zvi_get_ext_errormsg, const char*>(); }

// ---- events ----

void zvi_set_event_callback_pb(zvi_event_callback callback) {
    call<Fn::zvi_set_event_callback_pb, void>(callback);
    Lock lock(state_mutex());
    state().callback = callback;
}

// ---- timers and schedules ----

int zvi_schedule(const char* date_rule, const char* time_rule) {
    return call<Fn::zvi_schedule, int>(date_rule, time_rule);
}
void zvi_set_timer(int interval) { call<Fn::zvi_set_timer, void>(interval); }
int zvi_user_timer(int period, int start_delay) { return call<Fn::zvi_user_timer, int>(period, start_delay); }
void zvi_user_timer_stop(int timer_id) { call<Fn::zvi_user_timer_stop, void>(timer_id); }

// ---- message bus ----

void zvi_set_bus_info(const char* server_addr, const char* user_name, const char* password) {
    call<Fn::zvi_set_bus_info, void>(server_addr, user_name, password);
}
void zvi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey, bool skip_verify) {
    call<Fn::zvi_set_bus_secure, void>(in_mode, tlsca, tlscert, tlskey, skip_verify);
}
void zvi_add_bus_topic(const char* topic) { call<Fn::zvi_add_bus_topic, void>(topic); }
int zvi_send_msg_to_bus(const char* topic, const char* msg) { return call<Fn::zvi_send_msg_to_bus, int>(topic, msg); }

// ---- market data ----

int zvi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    return call<Fn::zvi_subscribe, int>(symbols, frequency, unsubscribe_previous);
}
int zvi_unsubscribe(const char* symbols, const char* frequency) {
    return call<Fn::zvi_unsubscribe, int>(symbols, frequency);
}
int zvi_current_pb(const char* symbols, bool include_call_auction, const char* fields, char** res, int* res_len) {
    return call<Fn::zvi_current_pb, int>(symbols, include_call_auction, fields, ResponseOut{res, res_len});
}

// ---- trading ----

int zvi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type, int position_effect,
                      int repeat_n, int max_price_offset, int time_out, int time_wait, const char* account) {
    return call<Fn::zvi_smart_reorder, int>(symbol, price, volume, side, order_type, position_effect, repeat_n,
                     max_price_offset, time_out, time_wait, account);
}
int zvi_smart_reorder_cancel(int reorder_id) { return call<Fn::zvi_smart_reorder_cancel, int>(reorder_id); }
int zvi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res, int* res_len) {
    return call<Fn::zvi_get_child_orders_pb, int>(account_id, algo_id, ResponseOut{res, res_len});
}
int zvi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name, const char* algo_params,
                            char** res, int* res_len) {
    return call<Fn::zvi_algo_order_batch_pb, int>(Req{req, req_len}, algo_name, algo_params,
                     ResponseOut{res, res_len});
}
int zvi_get_account_info_pb(char** res, int* res_len) {
    return call<Fn::zvi_get_account_info_pb, int>(ResponseOut{res, res_len});
}

}  // extern "C"
