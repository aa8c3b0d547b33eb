/* zvsdk.h: C interface of the zvsdk strategy library.
 *
 * Every function is exported with C linkage from libzvsdk.so. Strings are
 * NUL-terminated and borrowed for the duration of the call; responses handed
 * back through (char** res, int* res_len) stay owned by the library and are
 * valid until the next call on the same thread. Statuses are plain ints; the
 * host decides which value means success.
 *
 * Events are delivered by calling the registered callback from inside a
 * library call (zvi_run, zvi_poll) on the calling thread.
 */
#ifndef ZVSDK_H
#define ZVSDK_H

#include <stdbool.h>

#if defined(_WIN32)
#  define ZVSDK_API __declspec(dllimport)
#elif defined(__GNUC__)
#  define ZVSDK_API __attribute__((visibility("default")))
#else
#  define ZVSDK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Event callback: event name (NUL-terminated), payload pointer, payload length. */
typedef void (*zvi_event_callback)(const char* name, const char* data, int len);

/* ---- session and run control ---- */
ZVSDK_API int zvi_init(void);
ZVSDK_API void zvi_set_mode(int mode);
ZVSDK_API int zvi_poll(void);
ZVSDK_API long long zvi_now(void);
ZVSDK_API double zvi_now_plus(void);
ZVSDK_API const char* zvi_get_c_version(void);
ZVSDK_API int zvi_set_token(const char* token);
ZVSDK_API void zvi_set_apitoken(const char* token);
ZVSDK_API const char* zvi_get_encrypted_token(void);
ZVSDK_API const char* zvi_get_orgcode(void);
ZVSDK_API void zvi_set_mfp(const char* mfp);
ZVSDK_API void zvi_set_serv_addr(const char* addr);
ZVSDK_API void zvi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id);
ZVSDK_API int zvi_get_serv_addr(const char* serv_id, char** addr);
ZVSDK_API void zvi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password);
ZVSDK_API void zvi_set_strategy_id(const char* strategy_id);
ZVSDK_API void zvi_set_account_id(const char* account_ids);
ZVSDK_API void zvi_set_mode_consistency(bool consistent);
ZVSDK_API int zvi_set_backtest_config(const char* start_time, const char* end_time,
                                      double initial_cash, double transaction_ratio,
                                      double commission_ratio, double commission_unit,
                                      double slippage_ratio, double option_float_margin_ratio1,
                                      double option_float_margin_ratio2, int adjust,
                                      int match_mode, int check_cache);
ZVSDK_API void zvi_set_backtest_intraday(int intraday);
ZVSDK_API void zvi_set_backtest_threadnum(int n);
ZVSDK_API void zvi_set_max_wait_time(int max_wait_time);
ZVSDK_API int zvi_use_dsproxy(void);
ZVSDK_API void zvi_set_simtrade_only(void);
/* The last two arguments are reserved; callers pass null. */
ZVSDK_API void zvi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1,
                               const char* reserved2);
ZVSDK_API int zvi_run(void);
ZVSDK_API int zvi_stop(void);
ZVSDK_API int zvi_get_stop_error_code(void);
ZVSDK_API const char* zvi_strerror(int errorno);
ZVSDK_API const char* zvi_get_ext_errormsg(void);

/* ---- events ---- */
ZVSDK_API void zvi_set_event_callback_pb(zvi_event_callback callback);

/* ---- timers and schedules ---- */
ZVSDK_API int zvi_schedule(const char* date_rule, const char* time_rule);
ZVSDK_API void zvi_set_timer(int interval);
ZVSDK_API int zvi_user_timer(int period, int start_delay);
ZVSDK_API void zvi_user_timer_stop(int timer_id);

/* ---- message bus ---- */
ZVSDK_API void zvi_set_bus_info(const char* server_addr, const char* user_name, const char* password);
ZVSDK_API void zvi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                                  bool skip_verify);
ZVSDK_API void zvi_add_bus_topic(const char* topic);
ZVSDK_API int zvi_send_msg_to_bus(const char* topic, const char* msg);

/* ---- market data with arguments of their own ---- */
ZVSDK_API int zvi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
ZVSDK_API int zvi_unsubscribe(const char* symbols, const char* frequency);
ZVSDK_API int zvi_current_pb(const char* symbols, bool include_call_auction, const char* fields, char** res,
                             int* res_len);

/* ---- trading with arguments of their own ---- */
ZVSDK_API int zvi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                                int position_effect, int repeat_n, int max_price_offset, int time_out,
                                int time_wait, const char* account);
ZVSDK_API int zvi_smart_reorder_cancel(int reorder_id);
ZVSDK_API int zvi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res, int* res_len);
ZVSDK_API int zvi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name,
                                      const char* algo_params, char** res, int* res_len);
ZVSDK_API int zvi_get_account_info_pb(char** res, int* res_len);

/* ---- request-only calls: serialized request in, status out ---- */

ZVSDK_API int zvi_cancel_orders_pb(const char* req, int req_len);
ZVSDK_API int zvi_cancel_all_orders_pb(const char* req, int req_len);
ZVSDK_API int zvi_pause_algo_orders_pb(const char* req, int req_len);
ZVSDK_API int zvi_cancel_algo_orders_pb(const char* req, int req_len);
ZVSDK_API int zvi_log_pb(const char* req, int req_len);
ZVSDK_API int zvi_set_parameters_pb(const char* req, int req_len);
ZVSDK_API int zvi_add_parameters_pb(const char* req, int req_len);
ZVSDK_API int zvi_set_instrument_pool_symbols_pb(const char* req, int req_len);
ZVSDK_API int zvi_del_instrument_pool_by_name_pb(const char* req, int req_len);

/* ---- request/response calls: serialized request in, status and serialized response out ---- */
ZVSDK_API int zvi_current_price_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_last_tick_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_ticks_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_bars_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_ticks_n_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_bars_n_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_ticks_l2_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_bars_l2_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_transaction_l2_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_order_l2_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_history_order_queue_l2_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_open_call_auction(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_place_order_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_orders_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_unfinished_orders_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_execution_reports_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_close_all_positions_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_cash_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_cash_pb_v2(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_positions_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_positions_pb_v2(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_account_status_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_raw_func_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_place_algo_orders_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_algo_orders_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_entrustable_volume_by_symbol_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_credit_cash_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_credit_contracts_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_borrowable_instruments_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_borrowable_instruments_positions_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_collateral_instruments_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_repay_cash_directly_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_ipo_quota_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_ipo_instruments_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_ipo_match_number_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_ipo_lot_info_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_comb_entrust_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_sep_entrust_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_option_combinable_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_option_comb_position_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_parameters_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_instrument_pools_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_instrument_pool_by_name_pb(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_trading_dates(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_trading_dates_by_year(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_previous_trading_date(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_next_trading_date(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_previous_n_trading_dates(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_next_n_trading_dates(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_trading_time(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_trading_times_ext(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_trading_session(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_instruments(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_history_instruments(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_instrumentInfos(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_fuzzy_match_instrumentInfos(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_symbol_infos(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_symbols_v2(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_history_symbol(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_varietyinfos(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_continuous_contracts(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_contract_expire_rest_days(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_constituents(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_concept(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_industry(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_sector(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_dividends(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_dividends_snapshot(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_convertible_bond_call_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_get_exercise_prices(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_get_delisted_dates(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_get_symbols_by_in_at_out(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_option_get_symbols_by_exchange(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_fundamentals(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_get_fundamentals_n(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_forecast(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_audit(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_money_flow(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_active_stock_top10_shszhk_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_hk_inst_holding_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_hk_inst_holding_detail_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_quota_shszhk_infos(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_abnor_change_detail(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_abnor_change_stocks(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_basic(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_basic_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_mktvalue(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_mktvalue_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_valuation(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_daily_valuation_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_deriv(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_deriv_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_prime(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_finance_prime_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_income(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_income_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_cashflow(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_cashflow_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_balance(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_fundamentals_balance_pt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_share_change(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_top_shareholder(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_shareholder_num(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_adj_factor(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int stk_get_ration(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_dividend(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_index_history_constituents(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_index_constituents(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_symbol_sector(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_sector_constituents(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_sector_category(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_symbol_industry(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_industry_constituents(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_stk_get_industry_category(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_share(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_split(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_dividend(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_adj_factor(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_net_value(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_portfolio(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fnd_get_etf_components(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_bnd_get_analysis(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_bnd_get_amount_change(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_bnd_get_put_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_bnd_get_call_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_bnd_get_conversion_price(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fut_get_warehouse_receipt(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fut_get_transaction_rankings(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fut_get_transaction_ranking(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fut_get_contract_info(const char* req, int req_len, char** res, int* res_len);
ZVSDK_API int zvi_fut_get_continuous_contracts(const char* req, int req_len, char** res, int* res_len);

#ifdef __cplusplus
}
#endif

#endif /* ZVSDK_H */
