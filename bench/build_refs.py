"""Builds the reference extensions the benchmark compares c_sdk with, into one folder.

    python bench/build_refs.py OUT_DIR [--force]

floor (hand-written C), cython_peer, _cffi_peer (cffi API mode) and pybind11_peer,
each linked against the libzvsdk.so installed with c_sdk (in c_sdk.libs/, run path set
to that folder), so all of them call the very library instance c_sdk uses. Nothing here is
installed; run.py puts OUT_DIR and bench/refs on sys.path.
"""
import argparse
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
REFS = os.path.join(HERE, "refs")
SDK_INCLUDE = os.path.join(ROOT, "src", "sdk")


def installed_lib_dir():
    spec = importlib.util.find_spec("c_sdk")
    if spec is None or not spec.origin:
        sys.exit("c_sdk is not installed in this interpreter")
    lib_dir = os.path.join(os.path.dirname(spec.origin), "c_sdk.libs")
    if not os.path.exists(os.path.join(lib_dir, "libzvsdk.so")):
        sys.exit(f"no libzvsdk.so installed with c_sdk in {lib_dir}")
    return lib_dir


def extensions(tmp):
    from setuptools import Extension

    lib_dir = installed_lib_dir()
    header = os.path.join(SDK_INCLUDE, "zvsdk.h")
    common = dict(
        include_dirs=[SDK_INCLUDE],
        libraries=["zvsdk"],
        library_dirs=[lib_dir],
        runtime_library_dirs=[lib_dir],
        depends=[header],
    )
    # Compiler flags are the interpreter's own (-O3 like the module's Release build).
    exts = [Extension("floor", [os.path.join(REFS, "floor.c")], **common)]

    from Cython.Build import cythonize

    exts += cythonize(
        [Extension("cython_peer", [os.path.join(REFS, "cython_peer.pyx")], **common)],
        build_dir=tmp,
        quiet=True,
    )

    sys.path.insert(0, REFS)
    from cffi_build import make_ffi

    ffi = make_ffi(SDK_INCLUDE, lib_dir)
    cffi_c = os.path.join(tmp, "_cffi_peer.c")
    ffi.emit_c_code(cffi_c)
    exts.append(Extension("_cffi_peer", [cffi_c], **common))

    import pybind11

    exts.append(
        Extension(
            "pybind11_peer",
            [os.path.join(REFS, "pybind11_peer.cpp")],
            language="c++",
            extra_compile_args=["-std=c++17", "-fvisibility=hidden"],
            **{**common, "include_dirs": common["include_dirs"] + [pybind11.get_include()]},
        )
    )
    return exts


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--force", action="store_true", help="rebuild even when up to date")
    args = ap.parse_args()
    out = os.path.abspath(args.out_dir)
    tmp = os.path.join(out, "build")
    os.makedirs(tmp, exist_ok=True)

    from setuptools import Distribution
    from setuptools.command.build_ext import build_ext

    # The floor's callgrind switch compiles only where valgrind's header is; rebuild when
    # that changes (valgrind installed later keeps its header's old file time).
    stamp = os.path.join(out, "callgrind-header")
    have = str(os.path.exists("/usr/include/valgrind/callgrind.h"))
    force = args.force or not os.path.exists(stamp) or open(stamp).read() != have

    dist = Distribution({"name": "c-sdk-bench-refs", "ext_modules": extensions(tmp), "script_name": __file__})
    cmd = build_ext(dist)
    cmd.build_lib = out
    cmd.build_temp = tmp
    cmd.force = force
    cmd.ensure_finalized()
    cmd.run()
    with open(stamp, "w") as fh:
        fh.write(have)


if __name__ == "__main__":
    main()
