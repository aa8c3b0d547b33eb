"""The functions of c_sdk through cffi in API mode (the compiled _cffi_peer)."""
from _cffi_peer import ffi, lib
from zv.constant import CSDK_OPERATE_SUCCESS

f = None


def py_zvi_get_orders(req):
    res = ffi.new("char **")
    res_len = ffi.new("int *")
    status = lib.zvi_get_orders_pb(req, len(req), res, res_len)
    if status == CSDK_OPERATE_SUCCESS:
        return status, ffi.unpack(res[0], res_len[0])
    return status, None


def py_zvi_subscribe(symbols, frequency, unsubscribe_previous):
    if isinstance(symbols, str):
        symbols = symbols.encode("ascii")
    if isinstance(frequency, str):
        frequency = frequency.encode("ascii")
    return lib.zvi_subscribe(symbols, frequency, bool(unsubscribe_previous))


@ffi.def_extern()
def on_event(name, data, length):
    f(ffi.string(name).decode("utf-8"), ffi.unpack(data, length))


def py_zvi_set_data_callback(handler):
    global f
    f = handler
    lib.zvi_set_event_callback_pb(lib.on_event)


def py_zvi_run():
    return lib.zvi_run()
