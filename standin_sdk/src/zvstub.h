/* zvstub.h: control interface of the stand-in libzvsdk.so.
 *
 * Exported from the same library as the SDK functions, so a test drives the very
 * instance the code under test calls. Function names (fn) are SDK function names as
 * in zvsdk.h. Byte arguments are (pointer, length) pairs: embedded NULs are kept, and
 * the library keeps its own copy. Not meant to be called from inside an SDK call other
 * than an event callback.
 *
 * The setters return ZVSTUB_OK or one of the negative codes below.
 */
#ifndef ZVSTUB_H
#define ZVSTUB_H

#include <stddef.h>

#if defined(__GNUC__)
#  define ZVSTUB_API __attribute__((visibility("default")))
#else
#  define ZVSTUB_API
#endif

#define ZVSTUB_OK 0
#define ZVSTUB_UNKNOWN_FUNCTION (-1) /* fn is null or names no SDK function */
#define ZVSTUB_WRONG_KIND (-2)       /* fn produces no result of that kind */
#define ZVSTUB_BAD_VALUE (-3)        /* value out of range for the result, or null data with a length */

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the record, every script, the queued events, the stop request, the
 * registered callback and the simulated session (turned off again, every setting back
 * to its default), and turns poison mode off. */
ZVSTUB_API void zvstub_reset(void);

/* Poison mode, for catching a caller that reads a result after a later SDK call: while
 * on, every SDK call first overwrites the response buffer and returned string it lent
 * last on the calling thread with bytes 0xa5 (the terminating NUL kept, so a string
 * keeps its length), as an SDK that reuses its buffers may. Replaced buffers are kept
 * (the last 64 per thread) rather than freed, so such a read gives those bytes instead
 * of undefined behaviour. Nothing else changes: the record and the answers are the same
 * either way. Off by default and after zvstub_reset. */
ZVSTUB_API void zvstub_set_poison(int on);

/* The record as JSON, valid until the next zvstub_calls_json on the same thread:
 *   [{"fn": "<name>", "args": [[kind, value], ...]}, ...]
 * one object per call in call order, the arguments in C parameter order:
 *   ["s", "<hex>" | null]  string or request buffer: its bytes hex-encoded, null for a
 *                          null pointer (a request buffer is followed by its length as "i")
 *   ["i", <integer>]       int
 *   ["f", "<text>"]        double as text float() reads ("nan", "inf", "-inf" included)
 *   ["b", true | false]    bool
 *   ["o", true | false]    out-parameter: whether it was non-null
 *   ["p", <integer>]       function pointer (the event callback) as its address */
ZVSTUB_API const char* zvstub_calls_json(void);
ZVSTUB_API size_t zvstub_call_count(void);

/* While a simulated session is configured, the record keeps only the last `limit` calls
 * (at least the current one; 10000 by default, back to that at every reset); a negative
 * limit keeps every call. Outside a session every call is recorded. Also trims the record
 * at once when a session is configured. */
ZVSTUB_API void zvstub_set_record_limit(long long limit);
/* How many calls the bound has dropped since the last reset. */
ZVSTUB_API size_t zvstub_calls_dropped(void);

/* The SDK functions the library knows, in zvsdk.h order; null past the end. */
ZVSTUB_API int zvstub_function_count(void);
ZVSTUB_API const char* zvstub_function_name(int index);

/* The int or long long result of fn. For an int result the value must fit an int. */
ZVSTUB_API int zvstub_set_int(const char* fn, long long value);
/* The double result of fn. */
ZVSTUB_API int zvstub_set_real(const char* fn, double value);
/* The string fn returns, or for zvi_get_serv_addr the string it stores in *addr:
 * len bytes of data, or a null pointer when is_null. zvi_strerror has its own setter. */
ZVSTUB_API int zvstub_set_text(const char* fn, const char* data, size_t len, int is_null);
/* What zvi_strerror(errorno) returns: len bytes of data, or a null pointer when is_null. */
ZVSTUB_API int zvstub_set_strerror(int errorno, const char* data, size_t len, int is_null);
/* The response of fn: *res points to a copy of len bytes of data, *res_len is len
 * (at most INT_MAX). */
ZVSTUB_API int zvstub_set_response(const char* fn, const char* data, size_t len);
/* A misbehaving response: *res is a null pointer when null_pointer, otherwise a
 * zero-filled buffer of max(len, 0) bytes; *res_len is len, negative included. */
ZVSTUB_API int zvstub_set_response_raw(const char* fn, int null_pointer, int len);

/* Queues an event for zvi_run/zvi_poll. The callback gets the name as a NUL-terminated
 * copy of name_len bytes (null when name_is_null), the payload as a zero-padded copy of
 * max(data_len, reported_len) bytes (null when data_is_null), and reported_len. */
ZVSTUB_API int zvstub_queue_event(const char* name, size_t name_len, int name_is_null, const char* data,
                                  size_t data_len, int data_is_null, int reported_len);
ZVSTUB_API size_t zvstub_pending_events(void);

/* Whether zvi_stop was called and no zvi_run has returned since. */
ZVSTUB_API int zvstub_stop_requested(void);

/* The simulated session's JSON writer on its own, for tests of the number and string
 * forms its payloads use: the texts of n doubles separated by commas (null for a
 * non-finite one, as in payloads), or len bytes of data written as a JSON string.
 * Valid until the next call of either on the same thread. */
ZVSTUB_API const char* zvstub_json_doubles(const double* values, size_t n);
ZVSTUB_API const char* zvstub_json_string(const char* data, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* ZVSTUB_H */
