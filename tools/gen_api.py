#!/usr/bin/env python3
"""Writes the type stubs `c_sdk.pyi` and the API reference `docs/api.md` of c_sdk.

Both come from the tables the module itself is built from: src/wrappers/registry.def
(every SDK wrapper), src/module/direct.def (the directly exposed SDK functions) and
src/records/fields.def (the record classes' fields); from tools/call_kinds.py, the one
description of the argument kinds and result forms of src/wrappers/call.hpp; and from the
tables below for what is written by hand (status helpers, adapter, probes, record classes,
module-level values).

    python tools/gen_api.py           rewrite the files that changed
    python tools/gen_api.py --check   only report stale files (exit status 1)

tests/test_api_docs.py imports this file, renders in memory and compares.
"""
from __future__ import annotations

import argparse
import ast
import importlib.util
import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
REGISTRY = "src/wrappers/registry.def"
DIRECT = "src/module/direct.def"
RECORD_FIELDS = "src/records/fields.def"
STUB = "c_sdk.pyi"
API_DOC = "docs/api.md"


# ---- argument kinds and results ----

def _load_call_kinds():
    """tools/call_kinds.py, the one description of call.hpp's kinds, also when this file is
    loaded by path (as the tests do) rather than run from tools/."""
    if "call_kinds" in sys.modules:
        return sys.modules["call_kinds"]
    spec = importlib.util.spec_from_file_location("call_kinds", Path(__file__).resolve().parent / "call_kinds.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["call_kinds"] = module  # dataclasses look their module up while the file runs
    spec.loader.exec_module(module)
    return module


call_kinds = _load_call_kinds()
Kind, Result = call_kinds.Kind, call_kinds.Result

# The kinds of the SDK's arguments (src/wrappers/call.hpp) and the kinds of the
# hand-written functions' parameters.
ARG_KINDS = call_kinds.KINDS
KINDS = {
    **ARG_KINDS,
    "Status": Kind("status", "int", "an SDK status, compared with `CSDK_OPERATE_SUCCESS`"),
    "Name": Kind("text", "str", "any object; used for its truth value and `str.format`"),
    "Callable": Kind("callable", "Callable[..., _R]", "any object; called later with the caller's arguments"),
}

RESULTS = {
    **call_kinds.RESULTS,
    # Results of the hand-written functions only.
    "Bool": Result("bool", "`bool`"),
    "Decorated": Result("Callable[..., _R]", "a new `wrapper(*args, **kwargs)` function closing over `func`"),
}


@dataclass(frozen=True)
class Param:
    name: str
    kind: str
    default: str | None = None  # Python source of the default value


@dataclass(frozen=True)
class Function:
    name: str
    family: str
    sdk: str | None           # the SDK function it calls
    params: tuple[Param, ...]
    result: str
    adapted: bool             # bound through adapt_to_python3
    # The SDK's arguments in its order: (argument kind, Python parameter index, None for
    # a kind that takes none), before the result's out-parameters.
    plan: tuple[tuple[str, int | None], ...] = ()
    doc: str | None = None    # the runtime docstring, where the reference quotes it
    defined: int = 1          # number of definitions (a later one replaces the binding)

    def accepts_str(self) -> bool:
        return self.adapted and any(KINDS[p.kind].adaptable for p in self.params)

    @property
    def sdk_args(self) -> tuple[str, ...]:
        """The C call's arguments as the reference writes them, in the SDK's order."""
        args = [arg.format(None if i is None else self.params[i].name)
                for kind, i in self.plan for arg in ARG_KINDS[kind].c_args]
        return (*args, *RESULTS[self.result].out_args)

    def annotation(self, p: Param) -> str:
        ann = KINDS[p.kind].stub
        if self.adapted and KINDS[p.kind].adaptable:
            ann += " | str"
        return ann


# ---- the families, in the order of the reference ----

STATUS = "Status helpers"
ADAPTER = "Adapter and platform probes"
SESSION = "Session configuration and run control"
HANDLER = "Event handler registration"
MARKET = "Market data"
TRADING = "Trading and accounts"
TIMERS = "Timers and scheduling"
BUS = "Message bus"
REQ_RES = "Request/response wrappers"
REQ_ONLY = "Request-only wrappers"
DIRECT_FAMILY = "Directly exposed SDK functions"

FAMILIES = [STATUS, ADAPTER, SESSION, HANDLER, MARKET, TRADING, TIMERS, BUS, REQ_RES, REQ_ONLY, DIRECT_FAMILY]

FAMILY_NOTES = {
    STATUS: "Not called by the module itself; the host judges statuses with them. `c_status_fail` "
            "writes one debug line to `zvsdklogger` with the SDK's error text (from `py_zvi_strerror`) "
            "for a failing status.",
    ADAPTER: "`adapt_to_python3` is applied at import to the wrappers marked *str accepted*. Its "
             "wrapper is a builtin function (so the interpreter specialises calls of it): `__self__` "
             "holds the wrapped function, and like other builtins it is not bound as a method when "
             "stored on a class and its `__doc__` cannot be set. The probes "
             "compare `platform.uname()[0].lower()` with \"windows\" / \"linux\" on every call.",
    REQ_RES: "One parameter `req`, the serialized request. The SDK is called as "
             "`fn(req, len(req), &res, &res_len)`; the status is compared with `CSDK_OPERATE_SUCCESS` "
             "(looked up at every call) and the response is copied only on success.",
    REQ_ONLY: "One parameter `req`. The SDK is called as `fn(req, len(req))` and its status returned unexamined.",
    DIRECT_FAMILY: "Module attributes named after the SDK function, `__name__` \"wrap\", `__module__` "
                   "\"cfunc.to_py\", docstring the C signature. No adapter and no status test: string "
                   "parameters take `bytes`/`bytearray` only. A Python error left pending by code the "
                   "SDK ran during the call is raised and the C result dropped.",
}

# The wrappers with shapes of their own (CALL rows), by family. Every CALL row of
# registry.def must stand here; the request/response and request-only rows are families
# by their form.
CALL_FAMILIES = {
    SESSION: """py_zvi_set_mode_consistency py_zvi_get_serv_addr py_zvi_set_backtest_config
        py_zvi_set_backtest_intraday py_zvi_set_strategy_id py_zvi_set_token py_zvi_get_encrypted_token
        py_zvi_get_orgcode py_zvi_set_mfp py_zvi_set_apitoken py_zvi_set_serv_addr py_zvi_set_ctp_md_info
        py_zvi_set_version py_zvi_strerror py_zvi_get_ext_errormsg py_zvi_run py_zvi_stop
        py_zvi_set_serv_addr_v5 py_zvi_set_account_id py_zvi_set_simtrade_only py_zvi_set_max_wait_time
        py_zvi_set_backtest_threadnum py_zvi_get_stop_error_code py_zvi_use_dsproxy""",
    HANDLER: "py_zvi_set_data_callback",
    MARKET: "py_zvi_current py_zvi_subscribe py_zvi_unsubscribe",
    TRADING: """py_zvi_get_accounts py_zvi_algo_order_batch py_zvi_get_child_orders py_zvi_smart_reorder
        py_zvi_smart_reorder_cancel""",
    TIMERS: "py_zvi_schedule py_zvi_set_timer py_zvi_user_timer py_zvi_user_timer_stop",
    BUS: "py_zvi_set_bus_info py_zvi_set_bus_secure py_zvi_add_bus_topic py_zvi_send_msg_to_bus",
}

# Module-level functions written by hand (src/module/status.cpp, adapter.cpp), in binding order.
HAND_WRITTEN = (
    Function("is_windows", ADAPTER, None, (), "Bool", False),
    Function("is_linux", ADAPTER, None, (), "Bool", False),
    Function("adapt_to_python3", ADAPTER, None, (Param("func", "Callable"),), "Decorated", False,
             doc="\n     让这个模块同时支持python3和python2的装饰器\n     "),
    Function("c_status_ok", STATUS, None, (Param("status", "Status"),), "Bool", False,
             doc="\n    c api 调用返回值status是否ok\n    "),
    Function("c_status_fail", STATUS, None, (Param("status", "Status"), Param("cfunname", "Name", "''")),
             "Bool", False, doc="\n    c api 调用返回值status是否fail\n    "),
)


# ---- record classes (src/records/) ----

@dataclass(frozen=True)
class Method:
    name: str
    params: tuple[str, ...]   # after self
    stub: str                 # annotations and result, "(self, ...) -> ..."
    text: str


METHODS = {m.name: m for m in (
    Method("__init__", ("data",), "(self, data: Any) -> None", "wraps `data` (any object, kept by reference)"),
    Method("__getitem__", ("item",), "(self, item: Any) -> Any", "`self.data.get(item)`: `None` for a missing key"),
    Method("__getattr__", ("item",), "(self, item: str) -> Any",
           "`self.data.get(item)` for any name the class does not define"),
    Method("__setitem__", ("item", "value"), "(self, item: Any, value: Any) -> None", "`self.data[item] = value`"),
    Method("__setattr__", ("item", "value"), "(self, item: str, value: Any) -> None",
           "`self.data[item] = value`, except that `data` rebinds the wrapped mapping"),
    Method("__contains__", ("key",), "(self, key: object) -> bool", "`key in self.data`, as a `bool`"),
    Method("__str__", (), "(self) -> str", "`self.data.__str__()`"),
    Method("__repr__", (), "(self) -> str", "`self.data.__repr__()`"),
)}


@dataclass(frozen=True)
class Record:
    name: str
    what: str
    methods: tuple[str, ...]   # class namespace order
    fields: tuple[str, ...]    # properties, namespace order; each reads data.get(field)
    setters: bool              # the properties have setters


@dataclass(frozen=True)
class Value:
    name: str
    stub: str      # a stub line
    text: str


# Module-level values, in binding order; "__test__" is bound after the wrappers.
VALUES_BEFORE = (
    Value("functools", "import functools as functools", "the standard module (unused by the module)"),
    Value("platform", "import platform as platform", "the standard module; read at call time by the probes"),
    Value("CSDK_OPERATE_SUCCESS", "CSDK_OPERATE_SUCCESS: int",
          "from `zv.constant`: the status that means success; read at every use"),
    Value("zvsdklogger", "zvsdklogger: logging.Logger", "from `zv.utils`: the logger `c_status_fail` writes to"),
    Value("IS_PY2", "IS_PY2: bool", "`False`; when rebound to a true value the adapter passes `str` "
          "through and events deliver the name as `bytes`"),
    Value("IS_PY3", "IS_PY3: bool", "`True`; read by nothing"),
)
TEST_VALUE = Value("__test__", "__test__: dict[str, Any]", "an empty `dict`")


# ---- reading the tables ----

ROW = re.compile(r"^(?P<macro>CALL|REQ_RES|REQ_ONLY|DIRECT|FIELDS)\((?P<args>.*)\)\s*$")
KIND_ARG = re.compile(r"^(?P<kind>\w+)<(?P<index>\d+)>$")


class TableError(ValueError):
    pass


def split_args(text: str, where: str) -> list[str]:
    """The top-level, comma-separated arguments of one macro invocation."""
    args, depth, start, i = [], 0, 0, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            i += 1
            while i < len(text) and text[i] != '"':
                i += 2 if text[i] == "\\" else 1
            if i >= len(text):
                raise TableError(f"{where}: unterminated string")
        elif c in "<(":
            depth += 1
        elif c in ">)":
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
        i += 1
    args.append(text[start:].strip())
    return args


def c_string(arg: str, where: str) -> str:
    if not (arg.startswith('"') and arg.endswith('"')):
        raise TableError(f"{where}: expected a string literal, got {arg!r}")
    return ast.literal_eval(arg)


def table_rows(path: Path):
    """(line number, macro, arguments) of every row; anything else but comments is an error."""
    rel = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("//"):
            continue
        where = f"{rel}:{number}"
        m = ROW.match(stripped)
        if not m:
            raise TableError(f"{where}: not a table row: {stripped!r}")
        yield where, m["macro"], split_args(m["args"], where)


_BASE = ("__init__", "__getitem__", "__setitem__", "__getattr__", "__setattr__", "__str__", "__repr__")


def read_fields(path: Path) -> dict[str, tuple[str, ...]]:
    """The field lists of src/records/fields.def, by array name."""
    fields = {}
    for where, macro, args in table_rows(path):
        if macro != "FIELDS" or len(args) < 2:
            raise TableError(f"{where}: expected FIELDS(array name, \"field\", ...)")
        fields[args[0]] = tuple(c_string(a, where) for a in args[1:])
    return fields


_FIELDS = read_fields(ROOT / RECORD_FIELDS)

# In binding order.
RECORDS = (
    Record("QuoteItemLikeDict2", "one order-book level of a tick", _BASE, _FIELDS["quote_fields"], False),
    Record("TickLikeDict2", "one tick", _BASE, _FIELDS["tick_fields"], True),
    Record("BarLikeDict2", "one bar",
           ("__init__", "__getitem__", "__setitem__", "__contains__", "__getattr__", "__setattr__", "__str__",
            "__repr__"),
           _FIELDS["bar_fields"], True),
    Record("ObjectLikeDict2", "any mapping, without named fields",
           ("__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__", "__str__", "__repr__"), (), False),
)


def bind_params(pnames: str, kinds: list[str], where: str
                ) -> tuple[tuple[Param, ...], tuple[tuple[str, int | None], ...]]:
    """The Python parameters (by position) and the SDK's arguments (in its order) of a row."""
    names = pnames.split()
    by_index: dict[int, str] = {}
    plan: list[tuple[str, int | None]] = []
    for arg in kinds:
        kind = ARG_KINDS.get(arg)
        if kind is not None and not kind.parameter:
            plan.append((arg, None))
            continue
        m = KIND_ARG.match(arg)
        if not m or m["kind"] not in ARG_KINDS or not ARG_KINDS[m["kind"]].parameter:
            raise TableError(f"{where}: unknown argument kind {arg!r}")
        i = int(m["index"])
        if i >= len(names) or i in by_index:
            raise TableError(f"{where}: {arg} does not match the parameters {pnames!r}")
        by_index[i] = m["kind"]
        plan.append((m["kind"], i))
    if len(by_index) != len(names) or len(set(names)) != len(names):
        raise TableError(f"{where}: parameters {pnames!r} and argument kinds {kinds} do not match")
    return tuple(Param(n, by_index[i]) for i, n in enumerate(names)), tuple(plan)


def read_wrappers(path: Path) -> list[Function]:
    call_family = {name: fam for fam, names in CALL_FAMILIES.items() for name in names.split()}
    bound: dict[str, Function] = {}  # a second definition replaces the first in its place
    for where, macro, args in table_rows(path):
        if macro in ("DIRECT", "FIELDS"):
            raise TableError(f"{where}: {macro} row in the wrapper table")
        if macro in ("REQ_RES", "REQ_ONLY"):
            if len(args) != 3:
                raise TableError(f"{where}: {macro} takes 3 arguments")
            py, fn, adapter = args
            result = "Response" if macro == "REQ_RES" else "Status"
            family = REQ_RES if macro == "REQ_RES" else REQ_ONLY
            params, plan = bind_params("req", ["Req<0>"], where)
        else:
            if len(args) < 5:
                raise TableError(f"{where}: CALL takes at least 5 arguments")
            py, fn, adapter, result = args[:4]
            params, plan = bind_params(c_string(args[4], where), args[5:], where)
            if py not in call_family:
                raise TableError(f"{where}: {py} has no family; add it to CALL_FAMILIES in {Path(__file__).name}")
            family = call_family[py]
        if adapter not in ("ADAPTED", "PLAIN"):
            raise TableError(f"{where}: adapter must be ADAPTED or PLAIN, not {adapter!r}")
        if result not in ("Status", "None_", "Text", "Response", "ServAddr"):
            raise TableError(f"{where}: unknown result {result!r}")
        previous = bound.get(py)
        bound[py] = Function(py, family, fn, params, result, adapter == "ADAPTED", plan,
                             defined=previous.defined + 1 if previous else 1)
    unused = set(call_family) - {f.name for f in bound.values() if f.family not in (REQ_RES, REQ_ONLY)}
    if unused:
        raise TableError(f"CALL_FAMILIES names functions that are no CALL row: {sorted(unused)}")
    return list(bound.values())


def read_direct(path: Path) -> list[Function]:
    funcs: dict[str, Function] = {}
    for where, macro, args in table_rows(path):
        if macro != "DIRECT" or len(args) < 5:
            raise TableError(f"{where}: expected DIRECT(fn, result, params, signature name, doc, kinds...)")
        fn, result = args[:2]
        if result not in call_kinds.RESULTS or result in ("Response", "ServAddr"):
            raise TableError(f"{where}: unknown result {result!r}")
        params, plan = bind_params(c_string(args[2], where), args[5:], where)
        if fn in funcs:
            raise TableError(f"{where}: {fn} is defined twice")
        funcs[fn] = Function(fn, DIRECT_FAMILY, fn, params, result, False, plan, doc=c_string(args[4], where))
    return list(funcs.values())


@dataclass(frozen=True)
class Api:
    wrappers: list[Function]
    direct: list[Function]

    @property
    def functions(self) -> list[Function]:
        """Every module-level function, in binding order."""
        return [*HAND_WRITTEN, *self.wrappers, *self.direct]

    def module_names(self) -> list[str]:
        """Every name module initialisation binds, in order."""
        return ([v.name for v in VALUES_BEFORE] + [r.name for r in RECORDS] + [f.name for f in HAND_WRITTEN]
                + [f.name for f in self.wrappers] + [TEST_VALUE.name] + [f.name for f in self.direct])


def load(root: Path = ROOT) -> Api:
    return Api(read_wrappers(root / REGISTRY), read_direct(root / DIRECT))


# ---- the stub ----

def stub_signature(f: Function) -> str:
    params = []
    for p in f.params:
        ann = f.annotation(p)
        params.append(f"{p.name}: {ann} = ..." if p.default is not None else f"{p.name}: {ann}")
    return f"def {f.name}({', '.join(params)}) -> {RESULTS[f.result].stub}: ..."


def stub_comment(f: Function) -> str:
    if f.family == DIRECT_FAMILY or f.sdk is None:
        return ""
    if not f.adapted:
        return f"  # {f.sdk}"
    return f"  # {f.sdk}; adapt_to_python3" + (", str accepted" if f.accepts_str() else "")


def render_stub(api: Api) -> str:
    out = [
        "# Type stubs of the c_sdk extension module, generated by tools/gen_api.py from",
        f"# {REGISTRY}, {DIRECT}, {RECORD_FIELDS}",
        "# and the generator's own tables. Do not edit;",
        "# run `python tools/gen_api.py` after changing a table.",
        "#",
        "# Functions marked adapt_to_python3 are bound through it: it encodes every str",
        "# argument as ASCII first, and at run time they show (*args, **kwargs).",
        "import functools as functools",
        "import logging",
        "import platform as platform",
        "from typing import Any, Callable, SupportsInt, TypeVar",
        "",
        '_R = TypeVar("_R")',
        "",
    ]
    out += [v.stub for v in VALUES_BEFORE if not v.stub.startswith("import ")]
    for r in RECORDS:
        out += ["", "", f"class {r.name}:", "    data: Any"]
        for name in r.methods:
            out.append(f"    def {name}{METHODS[name].stub}: ...")
        for field in r.fields:
            out += ["    @property", f"    def {field}(self) -> Any: ..."]
            if r.setters:
                out += [f"    @{field}.setter", f"    def {field}(self, value: Any) -> None: ..."]
    out += ["", ""]
    for f in HAND_WRITTEN + tuple(api.wrappers):
        out.append(stub_signature(f) + stub_comment(f))
    out += ["", TEST_VALUE.stub, "", "# Directly exposed SDK functions: no adapter, no status test."]
    out += [stub_signature(f) for f in api.direct]
    return "\n".join(out) + "\n"


# ---- the reference ----

def md_params(f: Function) -> str:
    if not f.params:
        return "none"
    parts = []
    for p in f.params:
        text = f"`{p.name}`: {KINDS[p.kind].title}"
        if p.default is not None:
            text += f" = `{p.default}`"
        parts.append(text)
    return ", ".join(parts)


def md_sdk_call(f: Function) -> str:
    return f"`{f.sdk}({', '.join(f.sdk_args)})`"


def md_str(f: Function) -> str:
    if f.accepts_str():
        return "yes"
    if any(KINDS[p.kind].adaptable for p in f.params):
        return "no"
    return "– (adapted)" if f.adapted else "–"


def cells(*values: str) -> str:
    """One table row; a "|" inside a cell (as in `bytes | bytearray`) is escaped."""
    return "| " + " | ".join(v.replace("|", "\\|") for v in values) + " |"


def anchor(title: str) -> str:
    return re.sub(r"[^a-z0-9 -]", "", title.lower()).replace(" ", "-")


def render_doc(api: Api) -> str:
    funcs = api.functions
    by_family = {fam: [f for f in funcs if f.family == fam] for fam in FAMILIES}
    twice = [f.name for f in funcs if f.defined > 1]
    out = [
        "# c_sdk API reference",
        "",
        f"Generated by `tools/gen_api.py` from `{REGISTRY}`, `{DIRECT}`, `{RECORD_FIELDS}`",
        "and the generator's own tables of the hand-written functions and the record classes;",
        "the same run writes the type stubs `c_sdk.pyi`. Do not edit this file: change the",
        "tables and run",
        "",
        "    python tools/gen_api.py",
        "",
        "`tests/test_api_docs.py` fails while this file or the stubs are stale.",
        "",
        f"The module binds {len(funcs)} functions: {len(HAND_WRITTEN)} written by hand, "
        f"{len(api.wrappers)} SDK wrappers ({sum(f.adapted for f in api.wrappers)} of them through "
        f"`adapt_to_python3`) and {len(api.direct)} directly exposed SDK functions; and "
        f"{len(RECORDS)} record classes.",
        "",
        "## Conventions",
        "",
        "Every parameter is positional-or-keyword and required; the one default is `cfunname` of",
        "`c_status_fail`. Wrong arguments raise `TypeError`, failed conversions raise before the",
        "SDK is called, and SDK failures come back as statuses, never as exceptions.",
        "",
        "Argument kinds:",
        "",
        "| kind | accepts | stub type | the SDK receives |",
        "|---|---|---|---|",
    ]
    for k in ARG_KINDS.values():
        if not k.parameter:
            continue
        out.append(cells(k.title, k.accepts, f"`{k.stub}`", k.passed_as))
    out += [
        "",
        "*str accepted*: the function is bound through `adapt_to_python3`, so a `str` given for a",
        "string or request parameter is encoded as ASCII (strict) first; a non-ASCII `str` raises",
        "`UnicodeEncodeError` before the SDK is called. Such functions are the adapter's",
        "`wrapper` objects at run time (`__name__` \"wrapper\"). \"–\" means the function has no",
        "string or request parameter; \"– (adapted)\" that it is bound through the adapter anyway.",
        "",
        "Result forms:",
        "",
        "| form | stub type |",
        "|---|---|",
    ]
    for r in call_kinds.RESULTS.values():
        out.append(cells(r.text, f"`{r.stub}`"))
    out += [
        "",
        "Success is Python equality with the module global `CSDK_OPERATE_SUCCESS`, looked up at",
        "every call, so rebinding it takes effect at once.",
        "",
        "Introspection: `inspect.signature` gives the exact parameters of every undecorated",
        "function and every directly exposed SDK function. A function bound through the adapter",
        "(*str accepted* \"yes\" or \"– (adapted)\") is the adapter's wrapper, which takes any",
        "arguments and passes them on, so it shows `(*args, **kwargs)`; its real parameters are",
        "the ones listed here and in the stubs. The record classes' functions carry no signature.",
        "",
        "Type stubs: `c_sdk.pyi` is installed beside the module (for editors and pyright) and",
        "as the stub-only package `c_sdk-stubs` (the form mypy reads for a single-file module).",
        "`tests/test_api_docs.py` checks the installed stub with `python -m mypy.stubtest c_sdk`",
        "and type-checks `examples/` with mypy.",
        "",
        "## Functions by family",
        "",
    ]
    for fam in FAMILIES:
        out.append(f"- [{fam}](#{anchor(fam)}) ({len(by_family[fam])})")
    for fam in FAMILIES:
        members = by_family[fam]
        out += ["", f"### {fam}", ""]
        if fam in FAMILY_NOTES:
            out += [FAMILY_NOTES[fam], ""]
        if fam in (REQ_RES, REQ_ONLY):
            out += ["| Python function | SDK function | str accepted |", "|---|---|---|"]
            out += [cells(f"`{f.name}`", f"`{f.sdk}`", md_str(f)) for f in members]
        elif fam == DIRECT_FAMILY:
            out += ["| Python function | parameters | result | docstring (C signature) |", "|---|---|---|---|"]
            out += [cells(f"`{f.name}`", md_params(f), RESULTS[f.result].text, f"`{f.doc}`") for f in members]
        elif fam in (STATUS, ADAPTER):
            out += ["| Python function | parameters | result |", "|---|---|---|"]
            out += [cells(f"`{f.name}`", md_params(f), RESULTS[f.result].text) for f in members]
        else:
            out += ["| Python function | parameters | SDK call | result | str accepted |", "|---|---|---|---|---|"]
            out += [cells(f"`{f.name}`", md_params(f), md_sdk_call(f), RESULTS[f.result].text, md_str(f))
                    for f in members]
    if twice:
        out += ["", "Defined twice in the wrapper table (the later definition is the one bound): "
                + ", ".join(f"`{n}`" for n in twice) + "."]
    out += [
        "",
        "## Record classes",
        "",
        "Plain classes (base `object`, `__slots__ = ['data']`) around a mapping held by reference in",
        "`data`. Every field lives in the mapping: item and attribute reads give `data.get(key)`",
        "(`None` for a missing key, never an error), and every attribute assignment other than to",
        "`data` stores into the mapping, properties included. `str()` and `repr()` are the",
        "mapping's. The host builds records; no module function returns one.",
        "",
        "| method | behaviour |",
        "|---|---|",
    ]
    for m in METHODS.values():
        out.append(cells(f"`{m.name}({', '.join(('self',) + m.params)})`", m.text))
    for r in RECORDS:
        out += ["", f"### {r.name}", "", f"Holds {r.what}. Methods: "
                + ", ".join(f"`{m}`" for m in r.methods) + "."]
        if r.fields:
            access = "getter and setter" if r.setters else "getter only"
            out += ["", f"Properties ({access}; each reads `data.get(\"<name>\")`): "
                    + ", ".join(f"`{x}`" for x in r.fields) + "."]
            if not r.setters:
                out += ["", "An attribute assignment still stores into the mapping (through `__setattr__`),",
                        "but type checkers see these properties as read-only; `record[\"<name>\"] = value`",
                        "is the same assignment in a form they accept."]
    out += [
        "",
        "## Event protocol",
        "",
        "`py_zvi_set_data_callback(pythonf)` binds `pythonf` to the module global `f` and registers",
        "the C callback `callback_wrapper` with the SDK. The SDK calls it only from inside an SDK",
        "call made through the module (`py_zvi_run`, `zvi_poll`, ...), on that thread, with the",
        "interpreter lock held. For each event the handler is called as",
        "",
        "    f(name, payload)",
        "",
        "- `name`: the event name decoded as UTF-8 (`str`), or `bytes` while `IS_PY2` is true;",
        "- `payload`: a `bytes` copy of exactly the payload's length, zero bytes included.",
        "",
        "`f` and `IS_PY2` are looked up at every event, so rebinding either takes effect at the next",
        "one. The handler's result is dropped. An exception raised by it (or a failed lookup or",
        "decoding) is printed to standard error and then reported to `sys.unraisablehook` with the",
        "object \"c_sdk.callback_wrapper\"; it never reaches the code blocked in the SDK call, and",
        "the next event is delivered normally. `SystemExit` (the handler's, or one `sys.excepthook`",
        "raises while printing) ends the process on the main thread; on any other thread, or when",
        "`threading` cannot tell which thread this is, it is printed instead, the failure is",
        "reported as above, and the run goes on.",
        "",
        "## Module-level names",
        "",
        "| name | type | what |",
        "|---|---|---|",
    ]
    for v in VALUES_BEFORE + (TEST_VALUE,):
        kind = "module" if v.stub.startswith("import ") else v.stub.split(": ", 1)[1]
        out.append(cells(f"`{v.name}`", f"`{kind}`", v.text))
    out += [
        "| `f` | any | the event handler; bound by `py_zvi_set_data_callback`, absent before |",
        "",
        "Binding order at import: the first six values above; the record classes in the order of",
        "their sections; " + ", ".join(f"`{f.name}`" for f in HAND_WRITTEN) + f"; the {len(api.wrappers)} SDK",
        f"wrappers in the order of `{REGISTRY}`; `__test__`; last the directly exposed SDK",
        "functions in the order of their table.",
    ]
    return "\n".join(out) + "\n"


def stubtest_allowlist(api: Api) -> str:
    """Entries for mypy.stubtest: an adapted function without parameters shows the adapter's
    (*args, **kwargs) at run time, which stubtest will not match with an empty stub list."""
    lines = [f"c_sdk.{f.name}  # adapt_to_python3 wrapper: (*args, **kwargs) at run time"
             for f in api.wrappers if f.adapted and not f.params]
    return "".join(line + "\n" for line in lines)


def render(root: Path = ROOT) -> dict[str, str]:
    """Every generated file, by path relative to the repository root."""
    api = load(root)
    return {STUB: render_stub(api), API_DOC: render_doc(api)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="report stale files, write nothing")
    parser.add_argument("--root", type=Path, default=ROOT, help="repository root (default: %(default)s)")
    args = parser.parse_args(argv)
    try:
        files = render(args.root)
    except TableError as e:
        print(f"gen_api: {e}", file=sys.stderr)
        return 2
    stale = []
    for rel, text in files.items():
        path = args.root / rel
        if path.exists() and path.read_text(encoding="utf-8") == text:
            continue
        stale.append(rel)
        if not args.check:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
    for rel in stale:
        print(f"{'stale' if args.check else 'wrote'}: {rel}")
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
