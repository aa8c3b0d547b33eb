"""What each benchmark does, shared by run.py (timings and callgrind) and soak.py.

Every implementation is a module with the same four functions as c_sdk:
py_zvi_get_orders(req), py_zvi_subscribe(symbols, frequency, unsubscribe_previous),
py_zvi_set_data_callback(f) and py_zvi_run(). "sdk" is not a binding but the SDK's own
cost, driven from C by the floor without any Python object per call.
"""
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_REFS = os.path.join(ROOT, ".work", "bench-refs-%d.%d" % sys.version_info[:2])

# Table order: the floor first, then the module, then the peers.
BINDINGS = {
    "floor": "floor",
    "c_sdk": "c_sdk",
    "cython": "cython_peer",
    "pybind11": "pybind11_peer",
    "cffi": "cffi_peer",
    "ctypes": "ctypes_peer",
}
PEERS = ["cython", "pybind11", "cffi", "ctypes"]

REQUEST = b"0123456789abcdef"  # 16 bytes
REQUEST_TEXT = REQUEST.decode("ascii")  # the same request as str
RESPONSE = bytes(range(64))
SYMBOLS = "SHSE.600000,SZSE.000001"
FREQUENCY = "tick"
EVENT_NAME = b"on_tick"
EVENT_PAYLOAD = bytes(range(64))


def add_ref_paths(refs_dir=None):
    """Makes the built references (and the pure-Python peers in refs/) importable."""
    for p in (os.path.join(HERE, "refs"), refs_dir or os.environ.get("CSDK_BENCH_REFS", DEFAULT_REFS)):
        if p not in sys.path:
            sys.path.insert(0, p)


def load(name):
    return importlib.import_module(BINDINGS[name])


def h(name, payload):
    pass


def standin():
    import zvsdk_standin

    return zvsdk_standin.StandIn()


class Queue:
    """Queues events for zvi_run through the stand-in's control helper."""

    def __init__(self, sdk):
        self._queue = sdk.queue_event

    def __call__(self, n, name=EVENT_NAME, payload=EVENT_PAYLOAD):
        q = self._queue
        for _ in range(n):
            q(name, payload)


# ---- per-case setup, run after the stand-in is reset and before each timed loop ----

def prepare_orders(sdk, status=0):
    sdk.reset()
    sdk.set_response("zvi_get_orders_pb", RESPONSE)
    if status:
        sdk.set_int("zvi_get_orders_pb", status)


def prepare_events(sdk, binding, n, handler=h):
    """Resets the stand-in, registers handler through the binding and queues n events."""
    sdk.reset()
    if binding is not None:
        binding.py_zvi_set_data_callback(handler)
    Queue(sdk)(n)
