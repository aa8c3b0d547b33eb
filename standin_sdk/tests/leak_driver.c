/* Drives every kind of state the stand-in keeps (records, scripts, queued and
 * re-entrant events, a simulated session with orders, fills, timers, parameters, pools
 * and bus messages, a session replaying a CSV file) so a run under valgrind shows
 * whether the library leaks. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "zvsdk.h"
#include "zvstub.h"

static int depth = 0;

static void on_event(const char* name, const char* data, int len) {
    char* res = NULL;
    int res_len = 0;
    (void)data;
    (void)len;
    zvi_get_orders_pb("in-callback", 11, &res, &res_len);
    if (name && strcmp(name, "requeue") == 0 && depth++ < 3) {
        zvstub_queue_event("nested", 6, 0, "x", 1, 0, 64);
        zvi_poll();
    }
    if (name && strcmp(name, "init") == 0) {
        const char* buy = "{\"symbol\":\"SHSE.600000\",\"side\":1,\"order_type\":2,\"volume\":500}";
        const char* limit = "{\"symbol\":\"SZSE.000001\",\"side\":1,\"order_type\":1,\"volume\":100,\"price\":1}";
        zvi_place_order_pb(buy, (int)strlen(buy), &res, &res_len);
        zvi_place_order_pb(limit, (int)strlen(limit), &res, &res_len);
        zvi_user_timer(60000, 0);
        zvi_send_msg_to_bus("topic", "m\xff");
    }
    if (name && strcmp(name, "stop") == 0) zvi_stop();
}

static void simulate(void) {
    char* res = NULL;
    int res_len = 0;
    const char* params = "{\"parameters\":[{\"key\":\"k\",\"value\":1,\"min\":0,\"max\":5}]}";
    const char* set = "{\"parameters\":[{\"key\":\"k\",\"value\":2}]}";
    const char* pool = "{\"name\":\"p\",\"symbols\":[\"SHSE.600000\"]}";
    zvi_set_serv_addr("sim:seed=3");
    zvi_set_backtest_config("2024-01-02 14:50:00", "2024-01-02", 1e6, 0.1, 0.001, 0, 0.001, 0, 0, 0, 1, 0);
    zvi_subscribe("SHSE.600000,SZSE.000001", "tick", false);
    zvi_subscribe("SHSE.600000", "60s", false);
    zvi_schedule("1d", "14:55:00");
    zvi_set_timer(30000);
    zvi_add_bus_topic("topic");
    zvi_add_parameters_pb(params, (int)strlen(params));
    zvi_set_parameters_pb(set, (int)strlen(set));
    zvi_set_instrument_pool_symbols_pb(pool, (int)strlen(pool));
    zvi_get_instrument_pools_pb("{}", 2, &res, &res_len);
    zvi_run();
    zvi_get_cash_pb("{}", 2, &res, &res_len);
    zvi_get_positions_pb("{}", 2, &res, &res_len);
    zvi_get_execution_reports_pb("{}", 2, &res, &res_len);
    zvi_cancel_all_orders_pb("{}", 2);
    zvi_get_orders_pb("{}", 2, &res, &res_len);
}

static void replay_file(void) {
    char path[64], addr[96], symbol[64];
    char* res = NULL;
    int res_len = 0;
    const char* buy = "{\"symbol\":\"%s\",\"side\":1,\"order_type\":2,\"volume\":1000000}";
    char order[160];
    FILE* f;
    snprintf(symbol, sizeof symbol, "zvsdk-leak-%d", (int)getpid());
    snprintf(path, sizeof path, "/tmp/%s.csv", symbol);
    f = fopen(path, "w");
    if (!f) return;
    fputs("Date,Open,High,Low,Close,Volume\n2024-01-02,10,11,9,10.5,100\n2024-01-03,10.5,12,10,11,200\n", f);
    fclose(f);
    zvi_set_serv_addr("sim:seed=x");
    zvi_set_backtest_config("2024-01-01", "2024-01-05", 1e4, 0, 0.002, 0, 0, 0, 0, 0, 0, 0);
    snprintf(addr, sizeof addr, "sim:data=%s", path);
    zvi_set_serv_addr(addr);
    zvi_set_backtest_config("2024-01-01", "2024-01-05", 1e4, 0, 0.002, 0, 0, 0, 0, 0, 0, 0);
    zvi_subscribe(symbol, "1d", false);
    zvi_subscribe(symbol, "60s", false);
    zvi_subscribe("NOFILE", "1d", false);
    snprintf(order, sizeof order, buy, symbol);
    zvi_place_order_pb(order, (int)strlen(order), &res, &res_len);
    zvi_run();
    zvi_get_cash_pb("{}", 2, &res, &res_len);
    remove(path);
}

static void fill(void) {
    char* res = NULL;
    int res_len = 0;
    char* addr = NULL;
    zvstub_set_int("zvi_run", 3);
    zvstub_set_int("zvi_now", 1LL << 40);
    zvstub_set_real("zvi_now_plus", 2.5);
    zvstub_set_text("zvi_get_orgcode", "org\0code", 8, 0);
    zvstub_set_text("zvi_get_serv_addr", "tcp://host", 10, 0);
    zvstub_set_strerror(7, "seven", 5, 0);
    zvstub_set_strerror(8, NULL, 0, 1);
    zvstub_set_response("zvi_get_orders_pb", "a\0b", 3);
    zvstub_set_response_raw("zvi_get_cash_pb", 0, 100);
    zvi_set_token("token");
    zvi_get_orgcode();
    zvi_strerror(7);
    zvi_strerror(9);
    zvi_get_serv_addr("id", &addr);
    zvi_get_cash_pb("req", 3, &res, &res_len);
    zvi_set_backtest_config("s", NULL, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 1, 2, 3);
    zvi_set_event_callback_pb(on_event);
    zvstub_queue_event("requeue", 7, 0, "payload", 7, 0, 3);
    zvstub_queue_event(NULL, 0, 1, NULL, 0, 1, -1);
    zvstub_queue_event("stop", 4, 0, "", 0, 0, 10);
    zvstub_queue_event("left", 4, 0, "queued", 6, 0, 6);
    zvi_run();
    simulate();
    replay_file();
    zvstub_calls_json();
}

int main(void) {
    fill();
    zvstub_reset();
    fill(); /* left in place: the library frees it at exit */
    printf("calls=%zu pending=%zu\n", zvstub_call_count(), zvstub_pending_events());
    return 0;
}
