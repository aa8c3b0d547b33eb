"""Control of the stand-in libzvsdk.so from Python tests.

The stand-in records every SDK call and returns scripted results; this module drives it
through its zvstub_ functions (see standin_sdk/src/zvstub.h). It loads the library that
c_sdk itself links, so both talk to one instance.

Once zvi_set_serv_addr("sim:seed=<n>") is called, the stand-in also answers as a
deterministic simulated backtest session (docs/simulation.md); scripts set here still
override whatever it answers, and reset() turns it off again.

Besides the raw record, StandIn asserts on it the way unittest.mock does
(assert_called_once_with and its kin), with messages that show the arguments decoded,
and keeps track of the answers scripted since the last reset that no call has used
(unused_scripts, assert_all_used). The pytest plugin pytest_zvsdk hands a reset StandIn
to each test as the fixture `zvsdk`.
"""

from __future__ import annotations

import ctypes
import difflib
import importlib.util
import json
import operator
import os
from typing import Any, Callable, Iterable, NamedTuple, Optional, SupportsFloat, SupportsIndex, Union

__all__ = ["ArgValue", "BytesLike", "Call", "SessionError", "StandIn", "default_library_path"]

# One recorded argument: bytes (None for a null pointer) for a string or request, int for
# an int or a function pointer, float for a double, bool for a bool or an out-parameter
# (whether it was non-null).
ArgValue = Union[bytes, None, int, float, bool]
BytesLike = Union[bytes, bytearray, memoryview]


class Call(NamedTuple):
    """One recorded SDK call: the function's name and its arguments in C parameter order."""

    fn: str
    args: tuple[ArgValue, ...]


class SessionError(RuntimeError):
    """start_session could not configure the simulated session."""


_LIBRARY_NAME = "libzvsdk.so"
_LIBRARY_FOLDER = "c_sdk.libs"
_ENV_VAR = "ZVSDK_STANDIN_LIB"

_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_LLONG_MIN, _LLONG_MAX = -(2**63), 2**63 - 1

# Return codes of the zvstub_ setters.
_OK, _UNKNOWN_FUNCTION, _WRONG_KIND, _BAD_VALUE = 0, -1, -2, -3

# Argument kinds of the JSON record, decoded to their Python values.
_DECODE: dict[str, Callable[[Any], ArgValue]] = {
    "s": lambda v: None if v is None else bytes.fromhex(v),
    "i": int,
    "f": float,
    "b": bool,
    "o": bool,
    "p": int,
}

_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
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
    # SDK functions start_session calls itself.
    "zvi_set_serv_addr": (None, [ctypes.c_char_p]),
    "zvi_set_backtest_config": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p] + [ctypes.c_double] * 7
                                + [ctypes.c_int] * 3),
    "zvi_get_ext_errormsg": (ctypes.c_char_p, []),
}


def default_library_path() -> str:
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


def _bytes(value: object, what: str) -> bytes:
    """bytes from a bytes-like object (str is refused: the library takes raw bytes)."""
    try:
        return memoryview(value).tobytes()  # type: ignore[arg-type]  # any buffer, checked here
    except TypeError:
        raise TypeError(f"{what} must be a bytes-like object or None, not {type(value).__name__}") from None


def _optional_bytes(value: object, what: str) -> Optional[bytes]:
    return None if value is None else _bytes(value, what)


def _int_in(value: SupportsIndex, low: int, high: int, what: str) -> int:
    number = operator.index(value)
    if not low <= number <= high:
        raise OverflowError(f"{what} {number} is out of range [{low}, {high}]")
    return number


# ---- how the assertions show arguments ----

def _render(value: object) -> str:
    """An argument as an assertion message shows it: bytes holding a JSON object or array
    pretty-printed, other UTF-8 text as text, anything else as its repr."""
    if isinstance(value, (bytes, bytearray)):
        try:
            text = bytes(value).decode("utf-8")
        except UnicodeDecodeError:
            return repr(value)
        if text[:1] in ("{", "["):
            try:
                return "bytes, JSON:\n" + json.dumps(json.loads(text), indent=2, ensure_ascii=False)
            except ValueError:
                pass
        if text.isprintable():
            return f"bytes, text: {text}"
        return repr(value)
    return repr(value)


def _render_args(args: tuple[object, ...], indent: str = "    ") -> str:
    if not args:
        return indent + "(no arguments)"
    lines = []
    for i, value in enumerate(args):
        rendered = _render(value).replace("\n", "\n" + indent + "  ")
        lines.append(f"{indent}[{i}] {rendered}")
    return "\n".join(lines)


def _render_diff(expected: tuple[object, ...], received: tuple[object, ...]) -> str:
    diff = difflib.unified_diff(_render_args(expected, "").splitlines(), _render_args(received, "").splitlines(),
                                "expected", "received", lineterm="", n=2)
    return "\n".join("    " + line for line in list(diff)[2:])


class _Record(NamedTuple):
    """A recorded call with its arguments as the caller gave them (short) and as the SDK
    received them (full)."""

    number: int  # position in the record since the last reset, dropped calls included, from 1
    fn: str
    full: tuple[ArgValue, ...]
    short: tuple[ArgValue, ...]


def _short_args(raw: list[list[Any]], full: tuple[ArgValue, ...]) -> tuple[ArgValue, ...]:
    """The arguments a caller writes: out-parameters left out, and the length that follows
    a request buffer left out when it is that buffer's length (in zvsdk.h an int right
    after a string is always the request's length)."""
    short: list[ArgValue] = []
    for i, ((kind, _), value) in enumerate(zip(raw, full)):
        if kind == "o":
            continue
        if kind == "i" and i > 0 and raw[i - 1][0] == "s":
            previous = full[i - 1]
            if isinstance(previous, bytes) and value == len(previous):
                continue
        short.append(value)
    return tuple(short)


class StandIn:
    """Handle on one loaded stand-in library; every instance on a path shares its state."""

    def __init__(self, path: Union[str, "os.PathLike[str]", None] = None) -> None:
        self.path: str = os.fspath(path) if path is not None else default_library_path()
        self._lib = ctypes.CDLL(self.path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            try:
                fn = getattr(self._lib, name)
            except AttributeError:
                raise OSError(f"{self.path} is not the stand-in library (no {name})") from None
            fn.restype, fn.argtypes = restype, argtypes
        count = self._lib.zvstub_function_count()
        self._functions: tuple[str, ...] = tuple(
            self._lib.zvstub_function_name(i).decode("ascii") for i in range(count))
        self._known = frozenset(self._functions)
        # What was scripted since the last reset through this handle: (function, error
        # number for zvi_strerror) -> the number of calls recorded before it was set.
        self._scripted: dict[tuple[str, Optional[int]], int] = {}

    def __repr__(self) -> str:
        return f"StandIn({self.path!r})"

    # ---- record ----

    def functions(self) -> tuple[str, ...]:
        """Names of all SDK functions, in zvsdk.h order."""
        return self._functions

    def reset(self) -> None:
        """Forget calls, scripts, events, the stop request, the callback and the simulation;
        poison mode off, the record limit back to its default."""
        self._lib.zvstub_reset()
        self._scripted.clear()

    def set_poison(self, on: bool = True) -> None:
        """Poison mode: each SDK call first overwrites the buffer of the previous response
        or returned string with bytes 0xa5, so reading a result after a later call shows
        wrong bytes. reset() turns it off."""
        self._lib.zvstub_set_poison(bool(on))

    def calls(self) -> list[Call]:
        """Every recorded call, oldest first."""
        return [Call(r.fn, r.full) for r in self._records()]

    def call_count(self, fn: Optional[str] = None) -> int:
        """Number of recorded calls (of fn)."""
        if fn is None:
            return int(self._lib.zvstub_call_count())
        self._check_name(fn)
        return sum(1 for c in self.calls() if c.fn == fn)

    def set_record_limit(self, limit: Optional[SupportsIndex]) -> None:
        """While a simulated session is configured, keep only the last `limit` calls (10000
        after every reset); None keeps every call. Outside a session every call is kept."""
        bound = -1 if limit is None else _int_in(limit, 0, _LLONG_MAX, "limit")
        self._lib.zvstub_set_record_limit(bound)

    def calls_dropped(self) -> int:
        """How many calls the session bound has dropped since the last reset."""
        return int(self._lib.zvstub_calls_dropped())

    def calls_to(self, fn: str) -> list[tuple[ArgValue, ...]]:
        """The argument tuples of the calls of fn, oldest first."""
        self._check_name(fn)
        return [c.args for c in self.calls() if c.fn == fn]

    def last(self, fn: Optional[str] = None) -> Call:
        """The last call (of fn); IndexError when there is none."""
        if fn is not None:
            self._check_name(fn)
        for c in reversed(self.calls()):
            if fn is None or c.fn == fn:
                return c
        raise IndexError(f"no call of {fn} recorded" if fn else "no call recorded")

    # ---- assertions ----
    #
    # The expected arguments are the ones the caller wrote (a request without its length,
    # no out-parameters: assert_called_with("zvi_place_order_pb", b'{...}')) or all the
    # SDK received, as calls() lists them.

    def assert_called_with(self, fn: str, *args: object) -> None:
        """The last call of fn had these arguments."""
        records = self._records_of(fn)
        if not records:
            raise AssertionError(f"{fn} was not called; expected a call with\n{_render_args(args)}")
        if not self._matches(records[-1], args):
            raise AssertionError(self._mismatch(fn, args, records, "the last call of"))

    def assert_called_once_with(self, fn: str, *args: object) -> None:
        """fn was called exactly once, with these arguments."""
        records = self._records_of(fn)
        if len(records) != 1:
            raise AssertionError(self._mismatch(fn, args, records, "exactly one call of"))
        if not self._matches(records[0], args):
            raise AssertionError(self._mismatch(fn, args, records, "the one call of"))

    def assert_any_call(self, fn: str, *args: object) -> None:
        """Some call of fn had these arguments."""
        records = self._records_of(fn)
        if not any(self._matches(r, args) for r in records):
            raise AssertionError(self._mismatch(fn, args, records, "a call of"))

    def assert_called(self, fn: str) -> None:
        """fn was called at least once."""
        if not self._records_of(fn):
            raise AssertionError(f"{fn} was not called")

    def assert_not_called(self, fn: str) -> None:
        """fn was not called."""
        records = self._records_of(fn)
        if records:
            raise AssertionError(f"{fn} was not expected to be called, but was called {_times(len(records))}:\n"
                                 + self._render_records(records))

    # ---- scripts ----

    def script(self, fn: str, *, status: Optional[int] = None, response: Optional[BytesLike] = None) -> None:
        """Script the answer of fn at once: its status (or integer result) and its response."""
        self._check_name(fn)
        if status is None and response is None:
            raise TypeError("script() needs a status, a response or both")
        if status is not None:
            self.set_int(fn, status)
        if response is not None:
            self.set_response(fn, response)

    def set_int(self, fn: str, value: SupportsIndex) -> None:
        """The int (or long long) result of fn."""
        number = _int_in(value, _LLONG_MIN, _LLONG_MAX, "value")
        self._check(self._lib.zvstub_set_int(self._name(fn), number), fn, "int", number)
        self._note_script(fn)

    def set_real(self, fn: str, value: Union[SupportsFloat, SupportsIndex]) -> None:
        """The double result of fn."""
        if not hasattr(type(value), "__float__") and not hasattr(type(value), "__index__"):
            raise TypeError(f"value must be a real number, not {type(value).__name__}")
        real = float(value)
        self._check(self._lib.zvstub_set_real(self._name(fn), real), fn, "double", real)
        self._note_script(fn)

    def set_text(self, fn: str, data: Optional[BytesLike]) -> None:
        """The string fn returns (for zvi_get_serv_addr: its *addr); None for a null pointer."""
        if fn == "zvi_strerror":
            raise ValueError("zvi_strerror is scripted per error number: use set_strerror")
        data = _optional_bytes(data, "data")
        rc = self._lib.zvstub_set_text(self._name(fn), data, len(data or b""), data is None)
        self._check(rc, fn, "string", data)
        self._note_script(fn)

    def set_strerror(self, errorno: SupportsIndex, data: Optional[BytesLike]) -> None:
        """What zvi_strerror(errorno) returns; None for a null pointer."""
        number = _int_in(errorno, _INT_MIN, _INT_MAX, "errorno")
        text = _optional_bytes(data, "data")
        self._check(self._lib.zvstub_set_strerror(number, text, len(text or b""), text is None), "zvi_strerror",
                    "string", text)
        self._note_script("zvi_strerror", number)

    def set_response(self, fn: str, data: BytesLike) -> None:
        """The response (*res, *res_len) of fn: a copy of data and its length."""
        data = _bytes(data, "data")
        if len(data) > _INT_MAX:
            raise OverflowError(f"a response holds at most {_INT_MAX} bytes")
        self._check(self._lib.zvstub_set_response(self._name(fn), data, len(data)), fn, "response", None)
        self._note_script(fn)

    def set_response_raw(self, fn: str, null: bool = True, length: SupportsIndex = 0) -> None:
        """A misbehaving response: *res null (or a zero-filled buffer), *res_len = length."""
        size = _int_in(length, _INT_MIN, _INT_MAX, "length")
        self._check(self._lib.zvstub_set_response_raw(self._name(fn), bool(null), size), fn, "response", None)
        self._note_script(fn)

    def unused_scripts(self) -> list[str]:
        """What was scripted through this handle since the last reset and no call has used
        since it was set (each an SDK function, or zvi_strerror(<errorno>)), and the events
        still queued. Calls the session's record bound dropped count as using it."""
        used: set[tuple[str, Optional[int]]] = set()
        for record in self._records():
            for key in ((record.fn, None), (record.fn, _errorno(record))):
                mark = self._scripted.get(key)
                if mark is not None and record.number > mark:
                    used.add(key)
        dropped = self.calls_dropped()
        unused = [fn if errorno is None else f"{fn}({errorno})"
                  for (fn, errorno), mark in self._scripted.items() if (fn, errorno) not in used and dropped <= mark]
        pending = self.pending_events()
        if pending:
            unused.append(f"{pending} queued event{'s' if pending != 1 else ''}")
        return unused

    def assert_all_used(self) -> None:
        """Every answer scripted since the last reset was used by a later call, and no
        event is left queued."""
        unused = self.unused_scripts()
        if unused:
            raise AssertionError("scripted but never used: " + ", ".join(unused))

    # ---- events ----

    def queue_event(self, name: Optional[BytesLike], payload: Optional[BytesLike],
                    length: Optional[SupportsIndex] = None) -> None:
        """Queue an event for zvi_run/zvi_poll; length defaults to len(payload) (0 for None)."""
        name = _optional_bytes(name, "name")
        payload = _optional_bytes(payload, "payload")
        size = _int_in(len(payload or b"") if length is None else length, _INT_MIN, _INT_MAX, "length")
        rc = self._lib.zvstub_queue_event(name, len(name or b""), name is None, payload, len(payload or b""),
                                          payload is None, size)
        if rc != _OK:
            raise RuntimeError(f"zvstub_queue_event failed ({rc})")

    def pending_events(self) -> int:
        """Number of queued events."""
        return int(self._lib.zvstub_pending_events())

    def stop_requested(self) -> bool:
        """Whether zvi_stop was called and no zvi_run has returned since."""
        return bool(self._lib.zvstub_stop_requested())

    # ---- the simulated session ----

    def start_session(self, addr: str = "sim", *, start_time: str, end_time: str, initial_cash: float = 1_000_000.0,
                      transaction_ratio: float = 0.0, commission_ratio: float = 0.0, commission_unit: float = 0.0,
                      slippage_ratio: float = 0.0, option_float_margin_ratio1: float = 0.0,
                      option_float_margin_ratio2: float = 0.0, adjust: int = 0, match_mode: int = 0,
                      check_cache: int = 0) -> None:
        """Turn the simulated session on at addr ("sim", "sim:seed=3", "sim:data=<file or
        folder>") and configure it (zvi_set_backtest_config's parameters, by name); the
        two calls are recorded like any other. SessionError with the session's message
        when it refuses the configuration."""
        if addr != "sim" and not addr.startswith("sim:"):
            raise ValueError(f"not a simulated session's address: {addr!r}")
        self._lib.zvi_set_serv_addr(addr.encode())
        status = self._lib.zvi_set_backtest_config(
            start_time.encode(), end_time.encode(), initial_cash, transaction_ratio, commission_ratio,
            commission_unit, slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2,
            _int_in(adjust, _INT_MIN, _INT_MAX, "adjust"), _int_in(match_mode, _INT_MIN, _INT_MAX, "match_mode"),
            _int_in(check_cache, _INT_MIN, _INT_MAX, "check_cache"))
        if status != 0:
            message = (self._lib.zvi_get_ext_errormsg() or b"").decode("utf-8", "replace")
            raise SessionError(f"the simulated session at {addr!r} refused its configuration ({status}): {message}")

    # ---- the session's JSON writer ----

    def json_doubles(self, values: Iterable[SupportsFloat]) -> list[str]:
        """How the simulated session's payloads write each of these floats: a list of str."""
        floats = [float(v) for v in values]
        if not floats:
            return []
        text = self._lib.zvstub_json_doubles((ctypes.c_double * len(floats))(*floats), len(floats))
        return str(text.decode("ascii")).split(",")

    def json_string(self, data: BytesLike) -> str:
        """How the simulated session's payloads write these bytes as a JSON string: a str."""
        data = _bytes(data, "data")
        return str(self._lib.zvstub_json_string(data, len(data)).decode("utf-8"))

    # ---- helpers ----

    def _records(self) -> list[_Record]:
        raw = json.loads(self._lib.zvstub_calls_json())
        first = self.calls_dropped() + 1
        records = []
        for i, c in enumerate(raw):
            full = tuple(_DECODE[kind](value) for kind, value in c["args"])
            records.append(_Record(first + i, c["fn"], full, _short_args(c["args"], full)))
        return records

    def _records_of(self, fn: str) -> list[_Record]:
        self._check_name(fn)
        return [r for r in self._records() if r.fn == fn]

    @staticmethod
    def _matches(record: _Record, args: tuple[object, ...]) -> bool:
        return args == record.short or args == record.full

    @staticmethod
    def _render_records(records: list[_Record], limit: int = 10) -> str:
        shown = records[-limit:]
        parts = [] if len(shown) == len(records) else [f"  ({len(records) - len(shown)} earlier calls not shown)"]
        for r in shown:
            parts.append(f"  call #{r.number} of the record:\n{_render_args(r.short)}")
        return "\n".join(parts)

    def _mismatch(self, fn: str, args: tuple[object, ...], records: list[_Record], what: str) -> str:
        head = f"expected {what} {fn} with\n{_render_args(args)}\n"
        if not records:
            return head + f"but {fn} was not called"
        message = head + f"but {fn} was called {_times(len(records))}:\n" + self._render_records(records)
        closest = records[-1].short
        if len(records) == 1 or what == "the last call of":
            message += "\n  difference (- expected, + received):\n" + _render_diff(args, closest)
        return message

    def _note_script(self, fn: str, errorno: Optional[int] = None) -> None:
        # Only a call after this one uses the answer; setting it again moves the mark on.
        self._scripted[(fn, errorno)] = self.call_count() + self.calls_dropped()

    def _check_name(self, fn: object) -> None:
        if not isinstance(fn, str):
            raise TypeError(f"function name must be str, not {type(fn).__name__}")
        if fn not in self._known:
            close = difflib.get_close_matches(fn, self._functions, n=1, cutoff=0.75)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            raise ValueError(f"unknown SDK function {fn!r}{hint}")

    def _name(self, fn: str) -> bytes:
        self._check_name(fn)
        return fn.encode("ascii")

    @staticmethod
    def _check(rc: int, fn: str, kind: str, value: object) -> None:
        if rc == _OK:
            return
        if rc == _UNKNOWN_FUNCTION:
            raise ValueError(f"unknown SDK function {fn!r}")
        if rc == _WRONG_KIND:
            raise ValueError(f"{fn} has no {kind} result to script")
        if rc == _BAD_VALUE:
            raise OverflowError(f"{value!r} does not fit the {kind} result of {fn}")
        raise RuntimeError(f"stand-in library returned {rc} for {fn}")


def _times(n: int) -> str:
    return "once" if n == 1 else f"{n} times"


def _errorno(record: _Record) -> Optional[int]:
    """The error number of a zvi_strerror call, None for any other call."""
    if record.fn == "zvi_strerror" and record.full and isinstance(record.full[0], int):
        return record.full[0]
    return None
