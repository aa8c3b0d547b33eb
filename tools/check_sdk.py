#!/usr/bin/env python3
"""Checks a zvsdk library (and optionally its header) against the declarations the
module is compiled with, src/sdk/zvsdk.h.

    python tools/check_sdk.py --library /opt/zvsdk/lib/libzvsdk.so [--header /opt/zvsdk/include/zvsdk.h]

--library: every function of zvsdk.h must be a defined, exported function symbol of the
library (read with `nm -D`); missing ones are listed.
--header: the vendor's header and zvsdk.h are compiled together as C++, so a function
declared with another signature fails as a conflicting declaration of a C function.
Exits 0 when everything matches, 1 when something is missing or conflicts, 2 on misuse.
"""
from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HEADER = ROOT / "src" / "sdk" / "zvsdk.h"
DECLARATION = re.compile(r"^ZVSDK_API\s[^;(]*?\b(\w+)\s*\(", re.MULTILINE)
FUNCTION_TYPES = set("TtWiu")  # text (code), weak, indirect, unique symbols


def declared_functions(header: Path = HEADER) -> list[str]:
    return DECLARATION.findall(header.read_text(encoding="utf-8"))


def exported_functions(library: Path) -> set[str]:
    """Names of the defined function symbols in the library's dynamic symbol table."""
    nm = shutil.which("nm")
    if nm is None:
        raise SystemExit("check_sdk: nm (binutils) is needed to read the library's symbols")
    proc = subprocess.run([nm, "-D", "--defined-only", str(library)], capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"check_sdk: nm could not read {library}: {proc.stderr.strip()}")
    return parse_nm(proc.stdout)


def parse_nm(output: str) -> set[str]:
    names = set()
    for line in output.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[-2] in FUNCTION_TYPES:
            names.add(parts[-1].split("@", 1)[0])  # drop symbol versions
    return names


def check_library(library: Path) -> list[str]:
    exported = exported_functions(library)
    return [name for name in declared_functions() if name not in exported]


def check_header(header: Path, compiler: str) -> str | None:
    """None when both headers compile together, else the compiler's complaint."""
    ours = HEADER.read_text(encoding="utf-8").replace("ZVSDK_H", "CSDK_CHECKED_ZVSDK_H")
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "ours.h").write_text(ours, encoding="utf-8")
        unit = Path(tmp) / "both.cpp"
        unit.write_text(f'#include "{header.resolve()}"\n#include "ours.h"\n', encoding="utf-8")
        proc = subprocess.run([compiler, "-std=c++17", "-fsyntax-only", str(unit)], capture_output=True, text=True)
    return None if proc.returncode == 0 else proc.stderr.strip()


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description="Check a zvsdk library and header against src/sdk/zvsdk.h.")
    p.add_argument("--library", type=Path, help="the libzvsdk.so to check")
    p.add_argument("--header", type=Path, help="the vendor's zvsdk.h to compare")
    p.add_argument("--cxx", default="c++", help="C++ compiler for --header (default c++)")
    args = p.parse_args(argv)
    if not args.library and not args.header:
        p.error("give --library, --header or both")
    ok = True
    if args.library:
        if not args.library.is_file():
            p.error(f"no such library: {args.library}")
        missing = check_library(args.library)
        total = len(declared_functions())
        if missing:
            ok = False
            print(f"{args.library}: {len(missing)} of {total} functions are not exported:")
            for name in missing:
                print(f"  {name}")
        else:
            print(f"{args.library}: all {total} functions exported")
    if args.header:
        if not args.header.is_file():
            p.error(f"no such header: {args.header}")
        complaint = check_header(args.header, args.cxx)
        if complaint:
            ok = False
            print(f"{args.header} disagrees with {HEADER.relative_to(ROOT)}:\n{complaint}")
        else:
            print(f"{args.header}: every declaration agrees with {HEADER.relative_to(ROOT)}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
