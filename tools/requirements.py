"""Prints the requirements pyproject.toml lists, one a line, so that they are
written in one place: `build` (the build system's), `test` (the [test] extra).

    python tools/requirements.py build test
"""

import sys
import tomllib
from pathlib import Path

with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as file:
    project = tomllib.load(file)
lists = {"build": project["build-system"]["requires"], "test": project["project"]["optional-dependencies"]["test"]}
for name in sys.argv[1:]:
    print(*lists[name], sep="\n")
