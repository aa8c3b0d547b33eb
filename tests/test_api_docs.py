"""The generated stubs and API reference against the tables and the built module:
staleness, introspection (inspect.signature), the record tables, stubtest and mypy (of
the stubs, the stand-in's typed helper and plugin, and the examples)."""
import ast
import difflib
import importlib.util
import inspect
import os
import sys
from pathlib import Path

import pytest

import c_sdk
from conftest import run_child, run_python

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("gen_api", ROOT / "tools" / "gen_api.py")
gen = importlib.util.module_from_spec(_spec)
sys.modules["gen_api"] = gen  # dataclasses look their module up while the file runs
_spec.loader.exec_module(gen)

API = gen.load()
RENDERED = gen.render()
SANITIZED = os.environ.get("CSDK_SANITIZED") == "1"
POK = inspect.Parameter.POSITIONAL_OR_KEYWORD
BOGUS = "zz_not_a_parameter"


def name_of(item):
    return item.name


def diff(expected, actual, label):
    lines = difflib.unified_diff(actual.splitlines(), expected.splitlines(), f"{label} (current)",
                                 f"{label} (generated)", lineterm="", n=1)
    return "\n".join(list(lines)[:40])


# ---- staleness ----

@pytest.mark.parametrize("rel", sorted(RENDERED))
def test_generated_file_is_current(rel):
    path = ROOT / rel
    current = path.read_text(encoding="utf-8") if path.exists() else ""
    assert current == RENDERED[rel], f"{rel} is stale; run python tools/gen_api.py\n" + diff(
        RENDERED[rel], current, rel)


@pytest.mark.parametrize("where", ["c_sdk.pyi", "c_sdk-stubs/__init__.pyi"])
def test_installed_stub_is_current(where):
    path = Path(c_sdk.__file__).parent / where
    assert path.is_file(), f"{where} is not installed beside the module"
    assert path.read_text(encoding="utf-8") == RENDERED[gen.STUB], "installed stub differs; reinstall"


def test_tables_name_every_module_level_name_in_binding_order():
    # In a fresh interpreter: tests that rebind module globals move them to the end.
    proc = run_python("""
        import c_sdk
        for n in vars(c_sdk):
            if not (n.startswith("__") and n.endswith("__")) or n == "__test__":
                print(n)
    """)
    assert proc.stdout.split() == API.module_names()


def test_generator_check_mode_reports_and_rewrites(tmp_path):
    for rel in (gen.REGISTRY, gen.DIRECT):
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text((ROOT / rel).read_text(encoding="utf-8"), encoding="utf-8")
    assert gen.main(["--check", "--root", str(tmp_path)]) == 1
    assert not (tmp_path / gen.STUB).exists()
    assert gen.main(["--root", str(tmp_path)]) == 0
    assert gen.main(["--check", "--root", str(tmp_path)]) == 0
    assert (tmp_path / gen.API_DOC).read_text(encoding="utf-8") == RENDERED[gen.API_DOC]


@pytest.mark.parametrize("row, message", [
    ('CALL(py_zvi_new, zvi_new, PLAIN, Status, "a", Int<0>)', "no family"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, "a b", Int<0>)', "do not match"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, "a", Int<0>, Str<0>)', "does not match"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, "a", Int<1>)', "does not match"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, "a", Ptr<0>)', "unknown argument kind"),
    ('CALL(py_zvi_run, zvi_run, SOMETIMES, Status, "")', "ADAPTED or PLAIN"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Bool, "")', "unknown result"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, a)', "string literal"),
    ("REQ_RES(py_zvi_x, zvi_x)", "takes 3"),
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status,\n    "")', "not a table row"),
    ("#define EXTRA 1", "not a table row"),
])
def test_generator_rejects_rows_it_cannot_describe(tmp_path, row, message):
    # A row the generator skipped or misread would let the stubs drift from the module.
    registry = tmp_path / gen.REGISTRY
    registry.parent.mkdir(parents=True)
    registry.write_text((ROOT / gen.REGISTRY).read_text(encoding="utf-8") + row + "\n", encoding="utf-8")
    direct = tmp_path / gen.DIRECT
    direct.parent.mkdir(parents=True)
    direct.write_text((ROOT / gen.DIRECT).read_text(encoding="utf-8"), encoding="utf-8")
    with pytest.raises(gen.TableError, match=message):
        gen.load(tmp_path)


# ---- introspection ----

def expected_parameters(func):
    return [(p.name, POK, inspect.Parameter.empty if p.default is None else ast.literal_eval(p.default))
            for p in func.params]


@pytest.mark.parametrize("func", [f for f in API.functions if not f.adapted], ids=name_of)
def test_signature_is_the_table_row(func):
    sig = inspect.signature(getattr(c_sdk, func.name))
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == expected_parameters(func)


def assert_parameters_by_parsing(obj, name, params):
    """The parameter list the function really parses, learned from its TypeErrors: every
    split of the table's names into a positional head and a keyword tail, plus one unknown
    keyword, must fail on that unknown keyword alone. Nothing reaches the SDK."""
    if not params:
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
            obj(**{BOGUS: 1})
        return
    for i in range(len(params) + 1):
        keywords = {p: object() for p in params[i:]}
        keywords[BOGUS] = 1
        with pytest.raises(TypeError) as excinfo:
            obj(*[object()] * i, **keywords)
        assert str(excinfo.value) == f"{name}() got an unexpected keyword argument '{BOGUS}'", (i, params)


@pytest.mark.parametrize("func", [f for f in API.wrappers if f.adapted], ids=name_of)
def test_decorated_wrapper_takes_any_arguments_and_wraps_the_table_row(func):
    obj = getattr(c_sdk, func.name)
    assert str(inspect.signature(obj)) == "(*args, **kwargs)"
    assert_parameters_by_parsing(obj, func.name, [p.name for p in func.params])


def record_functions():
    for record in gen.RECORDS:
        cls = getattr(c_sdk, record.name)
        for m in record.methods:
            yield pytest.param(vars(cls)[m], m, ("self",) + gen.METHODS[m].params, id=f"{record.name}.{m}")
        for field in record.fields:
            prop = vars(cls)[field]
            yield pytest.param(prop.fget, field, ("self",), id=f"{record.name}.{field}.fget")
            if prop.fset is not None:
                yield pytest.param(prop.fset, field, ("self", "value"), id=f"{record.name}.{field}.fset")


@pytest.mark.parametrize("record", gen.RECORDS, ids=name_of)
def test_record_table_is_the_class(record):
    cls = getattr(c_sdk, record.name)
    namespace = [n for n in vars(cls) if n not in ("__module__", "__slots__", "__doc__", "data")]
    assert namespace == [*record.methods, *record.fields]
    assert [vars(cls)[f].fset is not None for f in record.fields] == [record.setters] * len(record.fields)


@pytest.mark.parametrize("obj, name, params", list(record_functions()))
def test_record_functions_parse_the_table_parameters(obj, name, params):
    assert_parameters_by_parsing(obj, name, list(params))
    sig = inspect.signature(obj)
    assert list(sig.parameters) == list(params)
    assert all(p.kind is POK and p.default is p.empty for p in sig.parameters.values())


@pytest.mark.parametrize("record", gen.RECORDS, ids=name_of)
def test_record_signatures_through_the_class_and_instances(record):
    cls = getattr(c_sdk, record.name)
    assert list(inspect.signature(cls).parameters) == ["data"]
    inst = cls({})
    for m in record.methods:
        assert list(inspect.signature(getattr(inst, m)).parameters) == list(gen.METHODS[m].params)


# ---- type checkers ----

def run_tool(args, cwd):
    proc = run_child([sys.executable, "-m", *args], cwd=cwd, timeout=540)
    assert proc.returncode == 0, f"{' '.join(args)}: exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"


@pytest.mark.skipif(SANITIZED, reason="mypy is not run under the sanitizer build")
def test_stubtest_accepts_the_installed_stub(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(gen.stubtest_allowlist(API), encoding="utf-8")
    # From an empty directory, so that the installed stub is the one checked.
    run_tool(["mypy.stubtest", "c_sdk", "--allowlist", str(allowlist)], tmp_path)


@pytest.mark.skipif(SANITIZED, reason="mypy is not run under the sanitizer build")
def test_the_standin_helper_and_plugin_are_typed(tmp_path):
    # From an empty directory, so that the installed packages are the ones checked: fully
    # annotated (--strict), their annotations true to the objects at run time (stubtest
    # reads the inline types as the stubs), and marked typed (py.typed), or mypy would not
    # read them where test_examples_type_check imports them.
    packages = ["zvsdk_standin", "pytest_zvsdk"]
    run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
              *[arg for name in packages for arg in ("-p", name)]], tmp_path)
    run_tool(["mypy.stubtest", *packages], tmp_path)


@pytest.mark.skipif(SANITIZED, reason="mypy is not run under the sanitizer build")
def test_examples_type_check(tmp_path):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    examples += sorted(str(p) for p in (ROOT / "docs" / "examples" / "host_testing").glob("*.py"))
    assert examples
    run_tool(["mypy", "--config-file", str(ROOT / "pyproject.toml"), "--check-untyped-defs",
              "--cache-dir", str(tmp_path / "cache"), *examples], tmp_path)


# ---- calls without an argument array ----

NO_PARAMS = [f for f in API.functions if not f.params]


@pytest.mark.parametrize("func", NO_PARAMS, ids=name_of)
def test_a_call_with_no_argument_array_works(sdk, func):
    # iter(f, sentinel) calls f with a null argument vector, which a function of no
    # parameters must take like an empty one.
    fn = getattr(c_sdk, func.name)
    assert next(iter(fn, object())) == fn()
