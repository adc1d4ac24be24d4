"""Prints the requirements pyproject.toml lists, one a line, so that they are
written in one place: `build` (the build system's), `test` (the [test] extra).

    python tools/requirements.py build test
"""

import sys
import tomllib
from pathlib import Path


def requirements(*names: str) -> list[str]:
    with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as file:
        project = tomllib.load(file)
    lists = {"build": project["build-system"]["requires"], "test": project["project"]["optional-dependencies"]["test"]}
    return [requirement for name in names for requirement in lists[name]]


if __name__ == "__main__":
    sys.stdout.writelines(f"{requirement}\n" for requirement in requirements(*sys.argv[1:]))
