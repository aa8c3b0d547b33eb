"""Shared pieces of the hardening tests (test_fuzz, test_refcounts, test_nomemory).

Everything here is driven by the tables the module is built from, read through
tools/gen_api.py: every wrapper and every directly exposed SDK function, its parameters
with their kinds, the order of the SDK's arguments and the result form. Each argument
kind's conversion model and sample values come from tools/call_kinds.py, the one Python
description of the kinds of src/wrappers/call.hpp. On top of that:

- a model of a whole call: the adapter, the argument binding and each kind's conversion
  in the SDK's order (what the SDK must receive, or which exception the call must raise
  before the SDK is reached);
- a model of every result form under a scripted SDK outcome;
- hostile objects: conversion methods that raise or return the wrong type, byte strings
  whose len() lies, str subclasses with their own encode.
"""
import importlib.util
import inspect
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LLONG_MIN, LLONG_MAX = -(2**63), 2**63 - 1


def _load_gen_api():
    if "gen_api" in sys.modules:
        return sys.modules["gen_api"]
    spec = importlib.util.spec_from_file_location("gen_api", ROOT / "tools" / "gen_api.py")
    gen = importlib.util.module_from_spec(spec)
    sys.modules["gen_api"] = gen  # dataclasses look their module up while the file runs
    spec.loader.exec_module(gen)
    return gen


gen_api = _load_gen_api()
API = gen_api.load()
KINDS = gen_api.call_kinds.KINDS
INT_MIN, INT_MAX = gen_api.call_kinds.INT_MIN, gen_api.call_kinds.INT_MAX
conv_int = gen_api.call_kinds.conv_int


@dataclass(frozen=True)
class Target:
    """One module function that calls the SDK."""
    name: str
    sdk: str
    params: tuple      # ((name, kind), ...) in Python order
    plan: tuple        # the SDK's arguments in its order: (kind, parameter index or None) / ("Out", None)
    result: str        # Status, None_, Text, Response, ServAddr, LongLong, Double
    adapted: bool
    direct: bool

    @property
    def param_names(self):
        return [n for n, _ in self.params]

    def func(self):
        import c_sdk
        return getattr(c_sdk, self.name)


def _target(f, direct):
    plan = f.plan + (("Out", None),) * len(gen_api.RESULTS[f.result].out_args)
    return Target(f.name, f.sdk, tuple((p.name, p.kind) for p in f.params), plan, f.result, f.adapted, direct)


WRAPPERS = [_target(f, False) for f in API.wrappers]
DIRECT = [_target(f, True) for f in API.direct]
TARGETS = WRAPPERS + DIRECT
BY_NAME = {t.name: t for t in TARGETS}


def shape_key(t):
    """What makes two targets behave alike: parameter kinds, SDK order, result, adapter."""
    return (tuple(k for _, k in t.params), t.plan, t.result, t.adapted, t.direct)


def one_per_shape(targets=TARGETS):
    seen, out = set(), []
    for t in targets:
        if shape_key(t) not in seen:
            seen.add(shape_key(t))
            out.append(t)
    return out


# ---- hostile objects ----

class Hostile(Exception):
    """Raised by the hostile conversion methods below."""


def _raise(*_):
    raise Hostile("hostile")


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v

    def __repr__(self):
        return f"IntLike({self.v!r})"


class IndexOnly:
    """__index__ but no __int__: not an integer for the SDK's int parameters."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexOnly({self.v!r})"


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"FloatLike({self.v!r})"


class BoolLike:
    def __init__(self, v):
        self.v = v

    def __bool__(self):
        return self.v

    def __repr__(self):
        return f"BoolLike({self.v!r})"


class LenLike:
    def __init__(self, v):
        self.v = v

    def __len__(self):
        return self.v

    def __repr__(self):
        return f"LenLike({self.v!r})"


class Raising:
    """Every conversion method raises."""
    __int__ = __index__ = __float__ = __bool__ = __len__ = _raise

    def __repr__(self):
        return "Raising()"


class IntSub(int):
    """An int whose own conversion methods lie: the SDK's int parameters use the value."""
    __int__ = __index__ = _raise

    def __float__(self):
        return -1.5


class FloatSub(float):
    """A float whose own __float__ raises: the SDK's real parameters use the value."""
    __float__ = _raise

    def __int__(self):
        return 77


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class LyingBytes(bytes):
    """len() reports `claimed`, whatever the storage holds."""

    def __len__(self):
        return self.claimed

    def __repr__(self):
        return f"LyingBytes({bytes(memoryview(self))!r}, claimed={self.claimed!r})"


class LyingByteArray(bytearray):
    def __len__(self):
        return self.claimed

    def __repr__(self):
        return f"LyingByteArray({bytes(memoryview(self))!r}, claimed={self.claimed!r})"


def lying(cls, data, claimed):
    obj = cls(data)
    obj.claimed = claimed
    return obj


class StrSub(str):
    pass


class EncodeRaising(str):
    def encode(self, *args, **kwargs):
        raise Hostile("encode")


class EncodeWrong(str):
    def encode(self, *args, **kwargs):
        return 42


# ---- objects that act while the module converts them ----
#
# Their conversion method (or the success value's __eq__) first does something to the
# call in progress, then answers like the plain hostile object: it resizes the bytearray
# arguments of the same call (to RESIZED, a size no drawn value has, so the storage
# moves), calls back into the SDK (HOOK_SDK, filtered out of the record), or rebinds
# the module globals the call reads (same values, new namespace version).

RESIZED = b"resized!" * 512
HOOK_SDK = "zvi_now"
ACTIONS = ("resize", "sdk", "rebind")


def act(what, victims):
    import c_sdk
    if what == "resize":
        for ba in victims:
            ba[:] = RESIZED
    elif what == "sdk":
        c_sdk.zvi_now()
    elif what == "rebind":
        namespace = vars(c_sdk)
        for name in ("CSDK_OPERATE_SUCCESS", "IS_PY2"):
            if name in namespace:
                namespace[name] = namespace.pop(name)


class Acting:
    """Mixin: act(what) on the victims wired in by wire() before converting."""
    victims = ()

    def __init__(self, v, what):
        super().__init__(v)
        self.what = what

    def _act(self):
        act(self.what, self.victims)

    def __repr__(self):
        return f"{type(self).__name__}({self.v!r}, {self.what!r})"


class ActingInt(Acting, IntLike):
    def __int__(self):
        self._act()
        return self.v


class ActingFloat(Acting, FloatLike):
    def __float__(self):
        self._act()
        return self.v


class ActingBool(Acting, BoolLike):
    def __bool__(self):
        self._act()
        return self.v


class ActingByteArray(Acting, bytearray):
    """A request whose __len__ acts (a string argument takes no length)."""

    def __len__(self):
        self._act()
        return bytearray.__len__(self)

    def __repr__(self):
        return f"ActingByteArray({bytes(memoryview(self))!r}, {self.what!r})"


def wire(values, t):
    """Gives the acting values of one call their victims: its bytearray arguments. A
    call of HOOK_SDK itself gets no SDK-calling hooks (its record would be ambiguous)."""
    victims = [v for v in values if isinstance(v, bytearray)]
    for v in values:
        if isinstance(v, Acting):
            v.victims = victims
            if t.sdk == HOOK_SDK and v.what == "sdk":
                v.what = "rebind"


# ---- the model of the conversions ----

class Refused(Exception):
    """The model's verdict: the call raises `exc` before the SDK is reached."""

    def __init__(self, exc):
        super().__init__(exc)
        self.exc = exc


def signature(t):
    return inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                              for n in t.param_names])


def adapt(args, kwargs, is_py2):
    """What adapt_to_python3 passes on: every str argument encoded as ASCII first."""
    if bool(is_py2):
        return list(args), dict(kwargs)
    enc = [a.encode("ascii") if isinstance(a, str) else a for a in args]
    kw = {k: (v.encode("ascii") if isinstance(v, str) else v) for k, v in kwargs.items()}
    return enc, kw


@dataclass
class Converted:
    values: list       # the Python values in parameter order, after the adapter
    record: tuple      # what the SDK records, in its order


def model_call(t, args, kwargs, is_py2=False):
    """Converted, or raises Refused(exception) for a call refused before the SDK.

    Runs the same Python-level methods of the arguments, in the same order, as the
    module: the adapter's encoding, the argument binding, then each conversion in the
    SDK's order. Call it with the warnings filter the real call will run under."""
    try:
        if t.adapted:
            args, kwargs = adapt(args, kwargs, is_py2)
        bound = signature(t).bind(*args, **kwargs)
        values = [bound.arguments[n] for n in t.param_names]
        record = []
        # A bytearray string or request stays pinned from its conversion to the end of
        # the call, so Python code that runs later cannot resize it (BufferError).
        pins = []
        try:
            for kind, i in t.plan:
                if kind == "Out":  # the stand-in records that a pointer came
                    record.append(True)
                    continue
                value = None if i is None else values[i]
                record.extend(KINDS[kind].model(value))
                if KINDS[kind].pins and isinstance(value, bytearray):
                    pins.append(memoryview(value))
        finally:
            for pin in pins:
                pin.release()
    except Exception as exc:  # noqa: BLE001 - the verdict
        raise Refused(exc) from None
    return Converted(values, tuple(record))


HANDLER_ADDRESS = gen_api.call_kinds.CALLBACK  # stands for "any non-zero int" in a record


def normalize(values):
    """A record or result in a form == compares exactly (types, -0.0, nan)."""
    def one(v):
        if v is HANDLER_ADDRESS:
            return ("handler",)
        if isinstance(v, float):
            return ("float", v.hex())
        if isinstance(v, tuple):
            return ("tuple",) + tuple(one(x) for x in v)
        return (type(v).__name__, v)
    return tuple(one(v) for v in values)


def handler_slots(t):
    """Positions in the SDK's record of the event callback's address."""
    slots, at = [], 0
    for kind, _ in t.plan:
        if kind == "Handler":
            slots.append(at)
        at += 1 if kind == "Out" else len(KINDS[kind].c_args)
    return slots


# ---- scripted outcomes and the result model ----

def int_range(t):
    return (LLONG_MIN, LLONG_MAX) if t.result == "LongLong" else (INT_MIN, INT_MAX)


@dataclass
class Script:
    """What the stand-in is told to answer; None fields keep its defaults."""
    status: int | None = None   # int result (or status of a response/address)
    real: float | None = None
    text: object = "default"    # bytes, None (null pointer) or "default"
    response: object = "default"  # bytes, ("raw", null, length) or "default"

    def apply(self, sdk, t, converted):
        if self.status is not None:
            sdk.set_int(t.sdk, self.status)
        if self.real is not None:
            sdk.set_real(t.sdk, self.real)
        if self.text != "default":
            if t.sdk == "zvi_strerror":
                sdk.set_strerror(converted.record[0], self.text)
            else:
                sdk.set_text(t.sdk, self.text)
        if self.response != "default":
            if isinstance(self.response, tuple):
                _, null, length = self.response
                sdk.set_response_raw(t.sdk, null=null, length=length)
            else:
                sdk.set_response(t.sdk, self.response)


def c_text(data):
    return b"" if data is None else data.split(b"\0", 1)[0]


def model_result(t, script, converted, success):
    """The call's result once the SDK returned; raises the exception the module raises."""
    status = 0 if script.status is None else script.status
    if t.result == "None_":
        return None
    if t.result in ("Status", "LongLong"):
        return status
    if t.result == "Double":
        return 0.0 if script.real is None else script.real
    if t.result == "Text":
        if script.text == "default":
            if t.sdk == "zvi_strerror":
                return b"zvsdk error %d" % converted.record[0]
            return b""
        return c_text(script.text)
    ok = bool(status == success)
    if t.result == "ServAddr":
        if not ok:
            return None
        return b"" if script.text == "default" else c_text(script.text)
    assert t.result == "Response"
    if not ok:
        return (status, None)
    if script.response == "default":
        return (status, b"")
    if isinstance(script.response, tuple):
        _, null, length = script.response
        if length < 0 or null:
            raise RuntimeError("misbehaving response")
        return (status, b"\0" * length)
    return (status, bytes(script.response))


def valid_value(kind, i=0, *, text=False):
    """A fresh valid argument of a kind (new objects, so reference counts can be watched)."""
    return KINDS[kind].sample(i, text)


def valid_args(t, *, text=False):
    return [valid_value(k, i, text=text) for i, (_, k) in enumerate(t.params)]
