"""The argument kinds and result forms of src/wrappers/call.hpp, described once for Python.

The C++ templates in call.hpp convert; this table says, for each of them, what the API
reference and the stubs write (tools/gen_api.py) and what the hardening tests' model
expects the stand-in SDK to record (tests/hardening_util.py, through gen_api). A new kind
in call.hpp gets one entry here and nowhere else on the Python side. (tests/expected.py
describes the module independently, on purpose: it checks this table too.)

Each argument kind's `model` is a Python rendering of its C++ conversion: it takes the
Python argument and gives the C values the SDK receives, in the SDK's order, as the
stand-in records them; or raises what the module raises before the SDK is called. It
calls the same Python-level methods of the argument, in the same order, as the module.
"""
from __future__ import annotations

import operator
import warnings
from dataclasses import dataclass
from typing import Any, Callable

INT_MIN, INT_MAX = -(2**31), 2**31 - 1

# What the model gives for the module's C event callback: the stand-in records its address,
# which only says that a callback came.
CALLBACK = object()


@dataclass(frozen=True)
class Kind:
    title: str             # in the reference
    stub: str              # stub annotation
    accepts: str           # what the conversion accepts
    passed_as: str = ""    # what the C function receives
    adaptable: bool = False  # the adapter's str -> bytes applies (convert_text in call.hpp)
    pins: bool = False     # a bytearray argument stays pinned until the SDK call returned
    parameter: bool = True  # takes a Python parameter (Null takes none)
    # The C arguments it gives, as the reference writes them; "{}" stands for the
    # parameter's name. The model gives one value for each.
    c_args: tuple[str, ...] = ("{}",)
    model: Callable[[Any], tuple] | None = None
    # sample(i, text): a fresh valid argument (a str where text is true and the kind is
    # adaptable), distinct for each i.
    sample: Callable[[int, bool], Any] | None = None


def raw_bytes(v):
    """The bytes a bytes/bytearray object (subclasses too) holds."""
    return memoryview(v).tobytes()


def conv_str(v):
    if isinstance(v, (bytes, bytearray)):
        return raw_bytes(v).split(b"\0", 1)[0]
    raise TypeError(f"expected bytes, {type(v).__name__} found")


def conv_req(v):
    if type(v) is bytes:
        return v, len(v)
    n = len(v)
    if n > INT_MAX:
        raise OverflowError("request too long")
    if not isinstance(v, (bytes, bytearray)):
        raise TypeError(f"expected bytes, {type(v).__name__} found")
    data = raw_bytes(v)
    if n > len(data):
        raise ValueError("len() beyond the buffer")
    return data[:n], n


def conv_int(v):
    if isinstance(v, int):
        value = int.__int__(v)
    else:
        method = getattr(type(v), "__int__", None)
        if method is None:
            raise TypeError("an integer is required")
        r = method(v)
        if not isinstance(r, int):
            raise TypeError("__int__ returned non-int")
        if type(r) is not int:
            warnings.warn("__int__ returned non-int", DeprecationWarning)
        value = int.__int__(r)
    if not INT_MIN <= value <= INT_MAX:
        raise OverflowError("value too large to convert to int")
    return value


def conv_real(v):
    if isinstance(v, float):
        return float.__float__(v)
    method = getattr(type(v), "__float__", None)
    if method is not None:
        r = method(v)
        if not isinstance(r, float):
            raise TypeError("__float__ returned non-float")
        if type(r) is not float:
            warnings.warn("__float__ returned non-float", DeprecationWarning)
        return float.__float__(r)
    if getattr(type(v), "__index__", None) is not None:
        return float(operator.index(v))
    raise TypeError(f"must be real number, not {type(v).__name__}")


def _noop_handler(name, payload):
    pass


_TRUNCATED_INT = "`int` or any object with `__int__` (a `float` is truncated)"

# In the order of the reference's table of kinds.
KINDS = {
    "Str": Kind("string", "bytes | bytearray", "`bytes` or `bytearray` (subclasses too)",
                "`const char*` into the object's storage; the SDK reads it up to the first NUL",
                adaptable=True, pins=True,
                model=lambda v: (conv_str(v),),
                sample=lambda i, text: ("s%03d" % i) if text else bytes(b"s%03d" % i)),
    "Req": Kind("request", "bytes | bytearray", "`bytes` or `bytearray` (subclasses too)",
                "`const char*` into the object's storage and `len(req)` as `int`; never copied",
                adaptable=True, pins=True, c_args=("{}", "len({})"),
                model=conv_req,
                sample=lambda i, text: ("req-%03d" % i) if text else bytes(b"req\0%03d" % i)),
    "Int": Kind("integer", "SupportsInt", _TRUNCATED_INT, "32-bit `int`; out of range raises `OverflowError`",
                model=lambda v: (conv_int(v),),
                sample=lambda i, text: 1000 + i),
    "NonZero": Kind("integer flag", "SupportsInt", _TRUNCATED_INT, "`bool`: true when the integer is not 0",
                    c_args=("{} != 0",),
                    model=lambda v: (conv_int(v) != 0,),
                    sample=lambda i, text: 1000 + i),
    "Real": Kind("real", "float", "`float`, or anything `float()` takes", "`double`",
                 model=lambda v: (conv_real(v),),
                 sample=lambda i, text: 0.25 + i),
    "Flag": Kind("flag", "object", "any object", "`bool`: its truth value",
                 c_args=("bool({})",),
                 model=lambda v: (bool(v),),
                 sample=lambda i, text: bool(i % 2)),
    "Handler": Kind("handler", "Callable[[str, bytes], object]",
                    "any object; stored as the module global `f`, called as `f(name, payload)`",
                    "the module's C callback `callback_wrapper`",
                    c_args=("callback_wrapper",),
                    model=lambda v: (CALLBACK,),
                    sample=lambda i, text: _noop_handler),
    "Null": Kind("reserved", "None", "no Python parameter", "a null pointer",
                 parameter=False, c_args=("NULL",),
                 model=lambda v: (None,)),
}


@dataclass(frozen=True)
class Result:
    stub: str
    text: str
    out_args: tuple[str, ...] = ()  # its trailing out-parameters, as the reference writes them


# In the order of the reference's table of result forms.
RESULTS = {
    "Response": Result("tuple[int, bytes | None]", "`(status, bytes)` on success, `(status, None)` otherwise",
                       ("&res", "&res_len")),
    "Status": Result("int", "`int`, as the SDK returned it"),
    "Text": Result("bytes", "`bytes`, a copy of the SDK's string"),
    "ServAddr": Result("bytes | None", "`bytes` on success, `None` otherwise", ("&addr",)),
    "None_": Result("None", "`None`"),
    "LongLong": Result("int", "`int`"),
    "Double": Result("float", "`float`"),
}
