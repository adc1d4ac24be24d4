"""docs/api.md documents exactly the functions and methods of the installed type stubs.

Each module of the reference is a heading "## Module `name`"; each function or method
under it is a heading "#### `Class.method(parameters) -> result`" (or "#### `function(...)`"
for a module-level function) whose signature reads as in the stub, with the
`builtins.` and `typing.` qualifiers left out. The stubs are the ones installed
beside the modules (`name-stubs/__init__.pyi`, `name.pyi` or `name/__init__.pyi` in
site-packages), so a method added to, changed in or removed from the stub
generator's output, or a new stubbed module, fails here until the reference follows.
A pure-Python package typed inline (`name/py.typed`) is read from its sources: the
functions and public methods of the names in its `__all__`, with `import x as y`
aliases written out.
"""

from __future__ import annotations

import ast
import re
import site
import sysconfig
from collections import Counter
from collections.abc import Callable
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
REFERENCE = ROOT / "docs" / "api.md"
STUBBED_PREFIX = "velmora_"
# Only a leading qualifier: numpy.typing.ArrayLike keeps its `typing.`.
QUALIFIERS = re.compile(r"(?<![\w.])(?:builtins|typing)\.")
MODULE_HEADING = re.compile(r"^## Module `([\w.]+)`\s*$")
ENTRY_HEADING = re.compile(r"^#### `(.+)`\s*$")


def site_directories() -> list[Path]:
    found = {Path(sysconfig.get_path(key)) for key in ("purelib", "platlib")}
    found.update(Path(path) for path in site.getsitepackages())
    return sorted(path for path in found if path.is_dir())


STUB_LAYOUTS: dict[str, Callable[[Path], str]] = {
    f"{STUBBED_PREFIX}*-stubs/__init__.pyi": lambda path: path.parent.name.removesuffix("-stubs"),
    f"{STUBBED_PREFIX}*.pyi": lambda path: path.stem,
    f"{STUBBED_PREFIX}*/__init__.pyi": lambda path: path.parent.name,
    f"{STUBBED_PREFIX}*/py.typed": lambda path: path.parent.name,
}


def installed_stubs(directories: list[Path] | None = None) -> dict[str, Path]:
    """Module name -> its stub file, for every stubbed module of this project."""
    stubs: dict[str, Path] = {}
    for directory in site_directories() if directories is None else directories:
        for pattern, module_of in STUB_LAYOUTS.items():
            for path in sorted(directory.glob(pattern)):
                if (module := module_of(path)).isidentifier():  # not "name-stubs" itself
                    stubs.setdefault(module, path)
    return stubs


def render(function: ast.FunctionDef, owner: str | None) -> str:
    name = f"{owner}.{function.name}" if owner else function.name
    result = f" -> {ast.unparse(function.returns)}" if function.returns else ""
    return QUALIFIERS.sub("", f"{name}({ast.unparse(function.args)}){result}")


def stub_entries(stub_text: str) -> Counter[str]:
    """Every function and method signature of a stub; overloads count once each."""
    entries: Counter[str] = Counter()
    for node in ast.parse(stub_text).body:
        if isinstance(node, ast.FunctionDef):
            entries[render(node, None)] += 1
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    entries[render(member, node.name)] += 1
    return entries


def package_entries(package: Path) -> Counter[str]:
    """Every function and public method of a typed package's `__all__`, as its sources write them."""
    public: set[str] = set()
    for node in ast.parse((package / "__init__.py").read_text(encoding="utf-8")).body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            public = set(ast.literal_eval(node.value))
    entries: Counter[str] = Counter()
    for path in sorted(package.glob("*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        aliases = {alias.asname: alias.name for node in ast.walk(tree) if isinstance(node, ast.Import)
                   for alias in node.names if alias.asname}

        def spelt(text: str) -> str:
            for short, full in aliases.items():
                text = re.sub(rf"(?<![\w.]){re.escape(short)}\.", f"{full}.", text)
            return text

        for node in tree.body:
            if isinstance(node, ast.FunctionDef) and node.name in public:
                entries[spelt(render(node, None))] += 1
            elif isinstance(node, ast.ClassDef) and node.name in public:
                for member in node.body:
                    if isinstance(member, ast.FunctionDef) and not member.name.startswith("_"):
                        entries[spelt(render(member, node.name))] += 1
    return entries


def typed_entries(path: Path) -> Counter[str]:
    return package_entries(path.parent) if path.name == "py.typed" else stub_entries(path.read_text(encoding="utf-8"))


def reference_entries(text: str) -> dict[str, Counter[str]]:
    entries: dict[str, Counter[str]] = {}
    module = None
    for number, line in enumerate(text.splitlines(), 1):
        if heading := MODULE_HEADING.match(line):
            module = heading.group(1)
            entries.setdefault(module, Counter())
        elif line.startswith("## "):
            module = None
        elif entry := ENTRY_HEADING.match(line):
            assert module is not None, f"api.md:{number}: an entry outside a module section"
            entries[module][entry.group(1)] += 1
    return entries


def spaceless(entries: Counter[str]) -> Counter[str]:
    # The reference may space a signature for reading (`x: float = 0.7`).
    return Counter({re.sub(r"\s+", "", entry): count for entry, count in entries.items()})


def differences(documented: dict[str, Counter[str]], stubbed: dict[str, Counter[str]]) -> list[str]:
    problems = [f"module {name} has a stub but no section" for name in stubbed.keys() - documented.keys()]
    problems += [f"module {name} is documented but has no installed stub"
                 for name in documented.keys() - stubbed.keys()]
    for name in sorted(documented.keys() & stubbed.keys()):
        doc, stub = spaceless(documented[name]), spaceless(stubbed[name])
        problems += [f"{name}: missing from the reference: {entry}" for entry in (stub - doc).elements()]
        problems += [f"{name}: not in the stub: {entry}" for entry in (doc - stub).elements()]
    return problems


def test_reference_matches_the_installed_stubs() -> None:
    stubs = installed_stubs()
    assert "velmora_torso_kinematics" in stubs, "the module's stub is not installed"
    stubbed = {name: typed_entries(path) for name, path in stubs.items()}
    documented = reference_entries(REFERENCE.read_text(encoding="utf-8"))
    problems = differences(documented, stubbed)
    assert not problems, "docs/api.md and the stubs disagree:\n" + "\n".join(problems)


STUB = '''
import builtins, typing
def top(x: builtins.int = 1) -> builtins.str: ...
class K:
    @staticmethod
    def make() -> K: ...
    def go(self, v: typing.Sequence[builtins.float], near: typing.Optional[tuple[builtins.float, builtins.float]] = None) -> builtins.bool: ...
'''
GOOD = {"top(x: int = 1) -> str", "K.make() -> K",
        "K.go(self, v: Sequence[float], near: Optional[tuple[float, float]] = None) -> bool"}


@pytest.mark.parametrize(("documented", "problem"), [
    (GOOD, None),
    (GOOD - {"K.make() -> K"}, "missing from the reference: K.make()->K"),
    (GOOD | {"K.gone(self) -> None"}, "not in the stub: K.gone(self)->None"),
    (GOOD - {"top(x: int = 1) -> str"} | {"top(x: int = 2) -> str"}, "missing from the reference: top(x:int=1)"),
    (GOOD - {"K.make() -> K"} | {"K.make(self) -> K"}, "not in the stub: K.make(self)->K"),
], ids=["agree", "method left out", "stale method", "changed default", "changed parameters"])
def test_differences_name_each_disagreement(documented: set[str], problem: str | None) -> None:
    found = differences({"m": Counter(documented)}, {"m": stub_entries(STUB)})
    if problem is None:
        assert found == []
    else:
        assert any(problem in line for line in found), found


@pytest.mark.parametrize(("documented", "stubbed", "problem"), [
    ({"m"}, {"m", "batch"}, "module batch has a stub but no section"),
    ({"m", "old"}, {"m"}, "module old is documented but has no installed stub"),
])
def test_differences_compare_the_set_of_modules(documented: set[str], stubbed: set[str], problem: str) -> None:
    found = differences({name: Counter() for name in documented}, {name: Counter() for name in stubbed})
    assert found == [problem]


def test_reference_headings_are_read_per_module() -> None:
    text = ("## Module `a`\n### Class K\n#### `f(x: int) -> int`\n## Notes\n"
            "#### `not an entry`\n## Module `b`\n#### `K.g(self) -> None`\n")
    with pytest.raises(AssertionError, match="outside a module section"):
        reference_entries(text)
    text = text.replace("#### `not an entry`\n", "")
    assert reference_entries(text) == {"a": Counter({"f(x: int) -> int": 1}),
                                       "b": Counter({"K.g(self) -> None": 1})}


def test_stubs_are_found_in_each_layout(tmp_path: Path) -> None:
    layouts = ["velmora_a-stubs/__init__.pyi", "velmora_b.pyi", "velmora_c/__init__.pyi",
               "other-stubs/__init__.pyi", "velmora_d/helper.pyi", "velmora_e/py.typed"]
    for layout in layouts:
        (tmp_path / layout).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / layout).write_text("", encoding="utf-8")
    found = installed_stubs([tmp_path])
    assert {name: path.relative_to(tmp_path).as_posix() for name, path in found.items()} == {
        "velmora_a": "velmora_a-stubs/__init__.pyi", "velmora_b": "velmora_b.pyi",
        "velmora_c": "velmora_c/__init__.pyi", "velmora_e": "velmora_e/py.typed"}


def test_typed_packages_are_read_from_their_sources(tmp_path: Path) -> None:
    (tmp_path / "__init__.py").write_text('from ._m import K, top\n__all__ = ["K", "top"]\n', encoding="utf-8")
    (tmp_path / "_m.py").write_text(
        "import numpy.typing as npt\n"
        "def top(x: npt.ArrayLike, y: int = 1) -> str: ...\n"
        "def hidden() -> None: ...\n"
        "class K:\n    def go(self, z: npt.NDArray) -> None: ...\n    def _inner(self) -> None: ...\n",
        encoding="utf-8")
    assert spaceless(package_entries(tmp_path)) == spaceless(Counter({
        "top(x: numpy.typing.ArrayLike, y: int = 1) -> str": 1, "K.go(self, z: numpy.typing.NDArray) -> None": 1}))
