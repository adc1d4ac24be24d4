"""Every ```python block of the user documents runs, and every shown result holds.

The blocks of one document run in order in one namespace, as a reader would type
them. A statement whose last line ends in a comment `# -> SHOWN` claims a result:

- `expression  # -> value`: the expression's value; `name = expression  # -> value`
  and `a, b = expression  # -> value`: the value assigned.
- `statement  # -> SomeError: message`: the statement raises exactly that class
  with exactly that message.

A shown value is a Python literal (lists, tuples, numbers, strings, True, False,
None, nan, inf). Lists and tuples must match in kind and length. A float shown
with four or more decimals stands for the result rounded to that many places;
one shown with fewer decimals must match to 1e-12, so `(0.3, -0.2)` claims the
input came back, not a number near it.
"""

from __future__ import annotations

import ast
import io
import math
import re
import tokenize
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]

MARKER = "# -> "
RAISES = re.compile(r"^([A-Za-z_][\w.]*(?:Error|Exception|Warning)): (.*)$")
EXACT = 1e-12
ROUNDED_FROM = 4  # decimals from which a shown float is read as rounded


@dataclass(frozen=True)
class Block:
    document: Path
    line: int  # line of the first code line in the document
    code: str


def python_blocks(document: Path) -> list[Block]:
    blocks, lines = [], document.read_text(encoding="utf-8").splitlines()
    start = None
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if start is None and stripped == "```python":
            start = number
        elif start is not None and stripped == "```":
            blocks.append(Block(document, start + 1, "\n".join(lines[start:number - 1]) + "\n"))
            start = None
    assert start is None, f"{document.name}:{start}: unclosed code block"
    return blocks


def shown_results(code: str) -> dict[int, str]:
    """Line number (within the block) -> the text after the marker."""
    shown = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT and token.string.startswith(MARKER):
            shown[token.start[0]] = token.string[len(MARKER):].strip()
    return shown


# Reading a shown value: a literal tree whose floats carry their own tolerance.

@dataclass(frozen=True)
class ShownFloat:
    value: float
    tolerance: float


def tolerance_of(literal: str) -> float:
    mantissa = literal.lower().split("e")[0]
    decimals = len(mantissa.split(".")[1]) if "." in mantissa else 0
    return 0.5 * 10.0 ** -decimals * (1 + 1e-9) if decimals >= ROUNDED_FROM else EXACT


def read_shown(text: str) -> object:
    tree = ast.parse(text, mode="eval").body

    def read(node: ast.expr) -> object:
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            inner = read(node.operand)
            if isinstance(node.op, ast.UAdd):
                return inner
            if isinstance(inner, ShownFloat):
                return ShownFloat(-inner.value, inner.tolerance)
            assert isinstance(inner, int) and not isinstance(inner, bool), f"cannot negate {text!r}"
            return -inner
        if isinstance(node, ast.Constant):
            if isinstance(node.value, float):
                segment = ast.get_source_segment(text, node)
                assert segment is not None
                return ShownFloat(node.value, tolerance_of(segment))
            return node.value
        if isinstance(node, ast.Name) and node.id in ("nan", "inf"):
            return ShownFloat(float(node.id), 0.0)
        if isinstance(node, (ast.List, ast.Tuple)):
            items = [read(item) for item in node.elts]
            return items if isinstance(node, ast.List) else tuple(items)
        raise AssertionError(f"not a literal in a shown result: {ast.unparse(node)!r}")

    return read(tree)


def mismatch(shown: object, got: object, where: str = "result") -> str | None:
    """None when `got` is what `shown` claims, else why not."""
    if isinstance(shown, ShownFloat):
        if type(got) is not float:
            return f"{where}: expected a float, got {got!r}"
        if math.isnan(shown.value):
            return None if math.isnan(got) else f"{where}: expected nan, got {got!r}"
        if math.isinf(shown.value) or shown.tolerance == 0.0:
            return None if got == shown.value else f"{where}: expected {shown.value!r}, got {got!r}"
        if abs(got - shown.value) <= shown.tolerance:
            return None
        return f"{where}: expected {shown.value!r} (within {shown.tolerance:.1e}), got {got!r}"
    if isinstance(shown, (list, tuple)):
        if type(got) is not type(shown):
            return f"{where}: expected a {type(shown).__name__}, got {got!r}"
        assert isinstance(got, (list, tuple))
        if len(got) != len(shown):
            return f"{where}: expected {len(shown)} items, got {len(got)}: {got!r}"
        for index, (item_shown, item_got) in enumerate(zip(shown, got)):
            if (why := mismatch(item_shown, item_got, f"{where}[{index}]")) is not None:
                return why
        return None
    if type(got) is not type(shown) or got != shown:
        return f"{where}: expected {shown!r}, got {got!r}"
    return None


# Running a document.

def run_statement(statement: ast.stmt, namespace: dict[str, object], name: str) -> object:
    """Run one statement; return the value that a shown result would describe."""
    if isinstance(statement, ast.Expr):
        return eval(compile(ast.Expression(statement.value), name, "eval"), namespace)
    if isinstance(statement, ast.Assign):
        value = eval(compile(ast.Expression(statement.value), name, "eval"), namespace)
        namespace["__shown_value"] = value
        rebound = ast.Assign(targets=statement.targets, value=ast.Name("__shown_value", ast.Load()))
        exec(compile(ast.fix_missing_locations(ast.Module([rebound], [])), name, "exec"), namespace)
        del namespace["__shown_value"]
        return value
    exec(compile(ast.Module([statement], []), name, "exec"), namespace)
    return None


def check_block(block: Block, namespace: dict[str, object]) -> list[str]:
    name = f"{block.document.name}:{block.line}"
    tree = ast.parse(block.code, filename=name)
    shown = shown_results(block.code)
    # Only a simple statement can claim a result; one inside a loop or a function is never checked.
    claimed = {statement.end_lineno: statement for statement in tree.body
               if statement.end_lineno in shown and not hasattr(statement, "body")}
    problems = [f"{block.document.name}:{block.line + line - 1}: a shown result inside a compound "
                f"statement is not checked" for line in shown if line not in claimed]
    for statement in tree.body:
        where = f"{block.document.name}:{block.line + statement.lineno - 1}"
        text = shown.get(statement.end_lineno or 0) if not hasattr(statement, "body") else None
        ast.increment_lineno(statement, block.line - 1)  # tracebacks name document lines
        expected_error = RAISES.match(text) if text is not None else None
        try:
            got = run_statement(statement, namespace, str(block.document))
        except Exception as error:  # the documents' own failures are the point here
            described = f"{type(error).__name__}: {error}"
            if expected_error is None or described != text:
                problems.append(f"{where}: raised {described}"
                                + (f", shown {text}" if text is not None else ""))
                return problems  # later statements depend on this one
            continue
        if expected_error is not None:
            problems.append(f"{where}: shown {text}, but nothing was raised (got {got!r})")
        elif text is not None and (why := mismatch(read_shown(text), got)) is not None:
            problems.append(f"{where}: {why}")
    return problems


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda path: path.name)
def test_code_blocks_run_and_show_their_results(document: Path) -> None:
    blocks = python_blocks(document)
    assert blocks, f"{document.name} has no python code blocks"
    namespace: dict[str, object] = {"__name__": f"docs_{document.stem}"}
    problems = []
    for block in blocks:
        problems += check_block(block, namespace)
    assert not problems, "\n".join(problems)


# The checker itself: each row is a one-block document and the problem it must report.

@pytest.mark.parametrize(("code", "problem"), [
    ("x = 0.1 + 0.2  # -> 0.3\n", None),
    ("0.1 + 0.2  # -> 0.4\n", "expected 0.4 (within 1.0e-12), got 0.30000000000000004"),
    ("3.14159265  # -> 3.1416\n", None),
    ("3.14159265  # -> 3.1415\n", "expected 3.1415 (within 5.0e-05)"),
    ("0.3001  # -> 0.3\n", "expected 0.3 (within 1.0e-12)"),
    ("[1.0, -2.5]  # -> [1.0, -2.5]\n", None),
    ("(1.0, 2.0)  # -> [1.0, 2.0]\n", "expected a list, got (1.0, 2.0)"),
    ("[1.0]  # -> [1.0, 2.0]\n", "expected 2 items, got 1"),
    ("1  # -> 1.0\n", "expected a float, got 1"),
    ("float('nan')  # -> nan\n", None),
    ("1.0  # -> nan\n", "expected nan, got 1.0"),
    ("a, b = (1.0, 2.0)  # -> (1.0, 2.0)\nb  # -> 2.0\n", None),
    ("True  # -> 1\n", "expected 1, got True"),
    ("1 / 0  # -> ZeroDivisionError: division by zero\n", None),
    ("1 / 0  # -> ZeroDivisionError: float division\n", "raised ZeroDivisionError: division by zero, shown"),
    ("1 / 1  # -> ZeroDivisionError: division by zero\n", "but nothing was raised"),
    ("undefined_name\n1.0  # -> 2.0\n", "raised NameError"),
    ("for i in range(2):\n    i  # -> 5\n", "inside a compound statement is not checked"),
])
def test_checker_reports_each_wrong_claim(code: str, problem: str | None) -> None:
    problems = check_block(Block(Path("doc.md"), 10, code), {})
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problem in problems[0], problems
