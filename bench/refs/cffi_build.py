"""cffi (API mode, compiled) module _cffi_peer over libzvsdk.so; cffi_peer.py wraps it."""
import cffi

CDEF = """
typedef void (*zvi_event_callback)(const char* name, const char* data, int len);
int zvi_get_orders_pb(const char* req, int req_len, char** res, int* res_len);
int zvi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
void zvi_set_event_callback_pb(zvi_event_callback callback);
int zvi_run(void);
extern "Python" void on_event(const char* name, const char* data, int len);
"""


def make_ffi(include_dir, lib_dir):
    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    ffi.set_source(
        "_cffi_peer",
        '#include "zvsdk.h"',
        include_dirs=[include_dir],
        libraries=["zvsdk"],
        library_dirs=[lib_dir],
        runtime_library_dirs=[lib_dir],
    )
    return ffi
