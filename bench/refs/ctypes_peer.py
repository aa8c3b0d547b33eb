"""The functions of c_sdk through ctypes, against the libzvsdk.so that c_sdk loads."""
import ctypes

import zvsdk_standin
from zv.constant import CSDK_OPERATE_SUCCESS

_lib = ctypes.CDLL(zvsdk_standin.default_library_path())

_get_orders = _lib.zvi_get_orders_pb
_get_orders.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)]
_get_orders.restype = ctypes.c_int

_subscribe = _lib.zvi_subscribe
_subscribe.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_bool]
_subscribe.restype = ctypes.c_int

_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)
_set_callback = _lib.zvi_set_event_callback_pb
_set_callback.argtypes = [_CALLBACK]
_set_callback.restype = None

_run = _lib.zvi_run
_run.argtypes = []
_run.restype = ctypes.c_int

f = None


def py_zvi_get_orders(req):
    res = ctypes.c_void_p()
    res_len = ctypes.c_int()
    status = _get_orders(req, len(req), ctypes.byref(res), ctypes.byref(res_len))
    if status == CSDK_OPERATE_SUCCESS:
        return status, ctypes.string_at(res, res_len.value)
    return status, None


def py_zvi_subscribe(symbols, frequency, unsubscribe_previous):
    if isinstance(symbols, str):
        symbols = symbols.encode("ascii")
    if isinstance(frequency, str):
        frequency = frequency.encode("ascii")
    return _subscribe(symbols, frequency, bool(unsubscribe_previous))


@_CALLBACK
def _on_event(name, data, length):
    f(name.decode("utf-8"), ctypes.string_at(data, length))


def py_zvi_set_data_callback(handler):
    global f
    f = handler
    _set_callback(_on_event)


def py_zvi_run():
    return _run()
