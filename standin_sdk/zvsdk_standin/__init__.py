"""Control of the stand-in libzvsdk.so from Python tests.

The stand-in records every SDK call and returns scripted results; this module drives it
through its zvstub_ functions (see standin_sdk/src/zvstub.h). It loads the library that
c_sdk itself links, so both talk to one instance.

Once zvi_set_serv_addr("sim:seed=<n>") is called, the stand-in also answers as a
deterministic simulated backtest session (docs/simulation.md); scripts set here still
override whatever it answers, and reset() turns it off again.
"""

import ctypes
import importlib.util
import json
import operator
import os
from collections import namedtuple

__all__ = ["Call", "StandIn", "default_library_path"]

Call = namedtuple("Call", "fn args")

_LIBRARY_NAME = "libzvsdk.so"
_LIBRARY_FOLDER = "c_sdk.libs"
_ENV_VAR = "ZVSDK_STANDIN_LIB"

_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_LLONG_MIN, _LLONG_MAX = -(2**63), 2**63 - 1

# Return codes of the zvstub_ setters.
_OK, _UNKNOWN_FUNCTION, _WRONG_KIND, _BAD_VALUE = 0, -1, -2, -3

# Argument kinds of the JSON record, decoded to their Python values.
_DECODE = {
    "s": lambda v: None if v is None else bytes.fromhex(v),
    "i": int,
    "f": float,
    "b": bool,
    "o": bool,
    "p": int,
}

_SIGNATURES = {
    "zvstub_reset": (None, []),
    "zvstub_set_poison": (None, [ctypes.c_int]),
    "zvstub_calls_json": (ctypes.c_char_p, []),
    "zvstub_call_count": (ctypes.c_size_t, []),
    "zvstub_set_record_limit": (None, [ctypes.c_longlong]),
    "zvstub_calls_dropped": (ctypes.c_size_t, []),
    "zvstub_function_count": (ctypes.c_int, []),
    "zvstub_function_name": (ctypes.c_char_p, [ctypes.c_int]),
    "zvstub_set_int": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_longlong]),
    "zvstub_set_real": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_double]),
    "zvstub_set_text": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]),
    "zvstub_set_strerror": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]),
    "zvstub_set_response": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvstub_set_response_raw": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "zvstub_queue_event": (
        ctypes.c_int,
        [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int],
    ),
    "zvstub_pending_events": (ctypes.c_size_t, []),
    "zvstub_stop_requested": (ctypes.c_int, []),
    "zvstub_json_doubles": (ctypes.c_char_p, [ctypes.POINTER(ctypes.c_double), ctypes.c_size_t]),
    "zvstub_json_string": (ctypes.c_char_p, [ctypes.c_char_p, ctypes.c_size_t]),
}


def default_library_path():
    """The library to load: $ZVSDK_STANDIN_LIB, else the libzvsdk.so installed with c_sdk
    (in c_sdk.libs/ beside the extension, where the extension's run path points)."""
    env = os.environ.get(_ENV_VAR)
    if env:
        return env
    # find_spec locates the extension file without importing it.
    spec = importlib.util.find_spec("c_sdk")
    if spec is None or not spec.origin or not os.path.isfile(spec.origin):
        raise FileNotFoundError(f"c_sdk is not importable; pass the library path or set {_ENV_VAR}")
    return os.path.join(os.path.dirname(spec.origin), _LIBRARY_FOLDER, _LIBRARY_NAME)


def _bytes(value, what):
    """bytes from a bytes-like object (str is refused: the library takes raw bytes)."""
    try:
        return memoryview(value).tobytes()
    except TypeError:
        raise TypeError(f"{what} must be a bytes-like object or None, not {type(value).__name__}") from None


def _optional_bytes(value, what):
    return None if value is None else _bytes(value, what)


def _int_in(value, low, high, what):
    value = operator.index(value)
    if not low <= value <= high:
        raise OverflowError(f"{what} {value} is out of range [{low}, {high}]")
    return value


class StandIn:
    """Handle on one loaded stand-in library; every instance on a path shares its state."""

    def __init__(self, path=None):
        self.path = os.fspath(path) if path is not None else default_library_path()
        self._lib = ctypes.CDLL(self.path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            try:
                fn = getattr(self._lib, name)
            except AttributeError:
                raise OSError(f"{self.path} is not the stand-in library (no {name})") from None
            fn.restype, fn.argtypes = restype, argtypes
        count = self._lib.zvstub_function_count()
        self._functions = tuple(self._lib.zvstub_function_name(i).decode("ascii") for i in range(count))
        self._known = frozenset(self._functions)

    def __repr__(self):
        return f"StandIn({self.path!r})"

    # ---- record ----

    def functions(self):
        """Names of all SDK functions, in zvsdk.h order."""
        return self._functions

    def reset(self):
        """Forget calls, scripts, events, the stop request, the callback and the simulation."""
        self._lib.zvstub_reset()

    def set_poison(self, on=True):
        """Poison mode: each SDK call first overwrites the buffer of the previous response
        or returned string with bytes 0xa5, so reading a result after a later call shows
        wrong bytes. reset() turns it off."""
        self._lib.zvstub_set_poison(bool(on))

    def calls(self):
        """Every recorded call, oldest first."""
        raw = json.loads(self._lib.zvstub_calls_json())
        return [Call(c["fn"], tuple(_DECODE[kind](value) for kind, value in c["args"])) for c in raw]

    def call_count(self):
        """Number of recorded calls."""
        return self._lib.zvstub_call_count()

    def set_record_limit(self, limit):
        """While a simulated session is configured, keep only the last `limit` calls (10000
        after every reset); None keeps every call. Outside a session every call is kept."""
        limit = -1 if limit is None else _int_in(limit, 0, _LLONG_MAX, "limit")
        self._lib.zvstub_set_record_limit(limit)

    def calls_dropped(self):
        """How many calls the session bound has dropped since the last reset."""
        return self._lib.zvstub_calls_dropped()

    def calls_to(self, fn):
        """The argument tuples of the calls of fn, oldest first."""
        self._check_name(fn)
        return [c.args for c in self.calls() if c.fn == fn]

    def last(self, fn=None):
        """The last call (of fn); IndexError when there is none."""
        if fn is not None:
            self._check_name(fn)
        for c in reversed(self.calls()):
            if fn is None or c.fn == fn:
                return c
        raise IndexError(f"no call of {fn} recorded" if fn else "no call recorded")

    # ---- scripts ----

    def set_int(self, fn, value):
        """The int (or long long) result of fn."""
        value = _int_in(value, _LLONG_MIN, _LLONG_MAX, "value")
        self._check(self._lib.zvstub_set_int(self._name(fn), value), fn, "int", value)

    def set_real(self, fn, value):
        """The double result of fn."""
        if not hasattr(type(value), "__float__") and not hasattr(type(value), "__index__"):
            raise TypeError(f"value must be a real number, not {type(value).__name__}")
        value = float(value)
        self._check(self._lib.zvstub_set_real(self._name(fn), value), fn, "double", value)

    def set_text(self, fn, data):
        """The string fn returns (for zvi_get_serv_addr: its *addr); None for a null pointer."""
        if fn == "zvi_strerror":
            raise ValueError("zvi_strerror is scripted per error number: use set_strerror")
        data = _optional_bytes(data, "data")
        rc = self._lib.zvstub_set_text(self._name(fn), data, len(data or b""), data is None)
        self._check(rc, fn, "string", data)

    def set_strerror(self, errorno, data):
        """What zvi_strerror(errorno) returns; None for a null pointer."""
        errorno = _int_in(errorno, _INT_MIN, _INT_MAX, "errorno")
        data = _optional_bytes(data, "data")
        self._check(self._lib.zvstub_set_strerror(errorno, data, len(data or b""), data is None), "zvi_strerror",
                    "string", data)

    def set_response(self, fn, data):
        """The response (*res, *res_len) of fn: a copy of data and its length."""
        data = _bytes(data, "data")
        if len(data) > _INT_MAX:
            raise OverflowError(f"a response holds at most {_INT_MAX} bytes")
        self._check(self._lib.zvstub_set_response(self._name(fn), data, len(data)), fn, "response", None)

    def set_response_raw(self, fn, null=True, length=0):
        """A misbehaving response: *res null (or a zero-filled buffer), *res_len = length."""
        length = _int_in(length, _INT_MIN, _INT_MAX, "length")
        self._check(self._lib.zvstub_set_response_raw(self._name(fn), bool(null), length), fn, "response", None)

    # ---- events ----

    def queue_event(self, name, payload, length=None):
        """Queue an event for zvi_run/zvi_poll; length defaults to len(payload) (0 for None)."""
        name = _optional_bytes(name, "name")
        payload = _optional_bytes(payload, "payload")
        if length is None:
            length = len(payload or b"")
        length = _int_in(length, _INT_MIN, _INT_MAX, "length")
        rc = self._lib.zvstub_queue_event(name, len(name or b""), name is None, payload, len(payload or b""),
                                          payload is None, length)
        if rc != _OK:
            raise RuntimeError(f"zvstub_queue_event failed ({rc})")

    def pending_events(self):
        """Number of queued events."""
        return self._lib.zvstub_pending_events()

    def stop_requested(self):
        """Whether zvi_stop was called and no zvi_run has returned since."""
        return bool(self._lib.zvstub_stop_requested())

    # ---- the session's JSON writer ----

    def json_doubles(self, values):
        """How the simulated session's payloads write each of these floats: a list of str."""
        values = [float(v) for v in values]
        if not values:
            return []
        text = self._lib.zvstub_json_doubles((ctypes.c_double * len(values))(*values), len(values))
        return text.decode("ascii").split(",")

    def json_string(self, data):
        """How the simulated session's payloads write these bytes as a JSON string: a str."""
        data = _bytes(data, "data")
        return self._lib.zvstub_json_string(data, len(data)).decode("utf-8")

    # ---- helpers ----

    def _check_name(self, fn):
        if not isinstance(fn, str):
            raise TypeError(f"function name must be str, not {type(fn).__name__}")
        if fn not in self._known:
            raise ValueError(f"unknown SDK function {fn!r}")

    def _name(self, fn):
        self._check_name(fn)
        return fn.encode("ascii")

    @staticmethod
    def _check(rc, fn, kind, value):
        if rc == _OK:
            return
        if rc == _UNKNOWN_FUNCTION:
            raise ValueError(f"unknown SDK function {fn!r}")
        if rc == _WRONG_KIND:
            raise ValueError(f"{fn} has no {kind} result to script")
        if rc == _BAD_VALUE:
            raise OverflowError(f"{value!r} does not fit the {kind} result of {fn}")
        raise RuntimeError(f"stand-in library returned {rc} for {fn}")
