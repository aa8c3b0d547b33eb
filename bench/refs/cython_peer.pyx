# cython: language_level=3, boundscheck=False, wraparound=False
"""The functions of c_sdk as a Cython user would write them against libzvsdk.so."""
from zv.constant import CSDK_OPERATE_SUCCESS

cdef extern from "zvsdk.h":
    ctypedef void (*zvi_event_callback)(const char* name, const char* data, int len)
    int zvi_get_orders_pb(const char* req, int req_len, char** res, int* res_len)
    int zvi_subscribe(const char* symbols, const char* frequency, bint unsubscribe_previous)
    void zvi_set_event_callback_pb(zvi_event_callback callback)
    int zvi_run()

f = None


def py_zvi_get_orders(bytes req):
    cdef char* res = NULL
    cdef int res_len = 0
    cdef int status = zvi_get_orders_pb(req, len(req), &res, &res_len)
    if status == CSDK_OPERATE_SUCCESS:
        return status, res[:res_len]
    return status, None


def py_zvi_subscribe(symbols, frequency, unsubscribe_previous):
    if isinstance(symbols, str):
        symbols = (<str>symbols).encode("ascii")
    if isinstance(frequency, str):
        frequency = (<str>frequency).encode("ascii")
    return zvi_subscribe(<bytes?>symbols, <bytes?>frequency, unsubscribe_previous)


# Called by the SDK from inside py_zvi_run, with the interpreter lock held.
cdef void on_event(const char* name, const char* data, int length) noexcept:
    f(name.decode("utf-8"), data[:length])


def py_zvi_set_data_callback(handler):
    global f
    f = handler
    zvi_set_event_callback_pb(on_event)


def py_zvi_run():
    return zvi_run()
