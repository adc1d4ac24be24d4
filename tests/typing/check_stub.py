"""Checks the type stub that the installed wheel ships.

Usage: check_stub.py GENERATED.pyi

The shipped stub must be byte for byte what velmora_stubgen writes from this tree (so
no copy was edited by hand or left stale), and every method docstring in it must be
the one the live module carries. The wheel must also ship the batch module's stub
(velmora_torso_batch-stubs), which nanobind's generator writes at build time.
"""

from __future__ import annotations

import ast
import difflib
import importlib.metadata
import sys
from pathlib import Path

import velmora_torso_kinematics

SHIPPED_STUB = "velmora_torso_kinematics-stubs/__init__.pyi"
BATCH_STUB = "velmora_torso_batch-stubs/__init__.pyi"


def shipped_stub(name: str = SHIPPED_STUB) -> Path:
    files = importlib.metadata.files("velmora_torso_kinematics") or []
    for file in files:
        if file.as_posix() == name:
            return Path(str(file.locate()))
    raise SystemExit(f"check_stub: the installed wheel lists no {name}")


def docstring_mismatches(stub_text: str) -> list[str]:
    mismatches = []
    for node in ast.parse(stub_text).body:
        if not isinstance(node, ast.ClassDef):
            continue
        live_class = getattr(velmora_torso_kinematics, node.name)
        for method in node.body:
            # The live constructors are type slots with the interpreter's generic
            # docstring; their text exists only in the stub.
            if not isinstance(method, ast.FunctionDef) or method.name == "__new__":
                continue
            live = getattr(live_class, method.name).__doc__
            stub = ast.get_docstring(method)
            if live != stub:
                mismatches.append(f"{node.name}.{method.name}: stub {stub!r}, module {live!r}")
    return mismatches


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    generated = Path(argv[1]).read_text(encoding="utf-8")
    shipped_stub(BATCH_STUB)
    shipped_path = shipped_stub()
    shipped = shipped_path.read_text(encoding="utf-8")
    if shipped != generated:
        sys.stderr.writelines(difflib.unified_diff(
            generated.splitlines(keepends=True), shipped.splitlines(keepends=True),
            fromfile=argv[1], tofile=str(shipped_path)))
        print("check_stub: the shipped stub differs from the generator's output", file=sys.stderr)
        return 1
    mismatches = docstring_mismatches(shipped)
    for mismatch in mismatches:
        print(f"check_stub: docstring differs: {mismatch}", file=sys.stderr)
    if mismatches:
        return 1
    print(f"check_stub: {shipped_path.name} in {shipped_path.parent.name} is the generator's output")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
