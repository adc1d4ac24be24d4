"""Reads memcheck's XML reports and fails on the errors that are the module's.

An error counts when one of its stack frames (the access, or the allocation
of a leaked block) lies in one of the extension modules' shared objects: invalid
reads, writes and frees, uses of uninitialised values, and definitely lost
blocks. Everything else (the interpreter's own blocks kept until exit, numpy's
and scipy's) is counted and ignored.

A leaked Python object that the interpreter took from one of its free lists
(floats, tuples) was allocated under someone else's stack, so it is not
attributed here; the reference-count and allocated-block tests catch those.

Usage: python module_errors.py MODULE_GLOB[,MODULE_GLOB...] REPORT.xml...
"""

from __future__ import annotations

import fnmatch
import os
import sys
import xml.etree.ElementTree as ElementTree

# Leaks of these kinds are held by something at exit, or are lost only through
# a definitely lost block (which is reported itself): not counted.
IGNORED_KINDS = {"Leak_StillReachable", "Leak_PossiblyLost", "Leak_IndirectlyLost"}
# Enough to see the module's frames and who called them.
SHOWN_FRAMES = 12


def frame_text(frame: ElementTree.Element) -> str:
    function = frame.findtext("fn") or "???"
    where = frame.findtext("file")
    line = frame.findtext("line")
    place = f"{where}:{line}" if where else os.path.basename(frame.findtext("obj") or "?")
    return f"    {function} ({place})"


def errors_of(report: str):
    try:
        root = ElementTree.parse(report).getroot()
    except ElementTree.ParseError as problem:
        # A process still running or killed writes no closing tag.
        raise SystemExit(f"memcheck: unreadable report {report}: {problem}")
    for error in root.iter("error"):
        yield error


def in_module(error: ElementTree.Element, module_globs: list[str]) -> bool:
    return any(fnmatch.fnmatch(os.path.basename(obj.text or ""), module_glob)
               for obj in error.iter("obj") for module_glob in module_globs)


def describe(error: ElementTree.Element) -> str:
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for stack in error.findall("stack"):
        lines.extend(frame_text(frame) for frame in stack.findall("frame")[:SHOWN_FRAMES])
        lines.append("    --")
    return "\n".join(lines)


def main() -> int:
    module_glob, reports = sys.argv[1], sys.argv[2:]
    if not reports:
        print("memcheck: no reports to read", file=sys.stderr)
        return 1
    ours, others = [], 0
    for report in reports:
        for error in errors_of(report):
            if error.findtext("kind") in IGNORED_KINDS:
                continue
            if in_module(error, module_glob.split(",")):
                ours.append(describe(error))
            else:
                others += 1
    print(f"memcheck: {len(reports)} process report(s); {others} error(s) outside the module ignored")
    if ours:
        print(f"memcheck: {len(ours)} error(s) in frames of {module_glob}:", file=sys.stderr)
        for text in ours:
            print(text, file=sys.stderr)
        return 1
    print(f"memcheck: no invalid access, uninitialised use or definite leak in {module_glob}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
