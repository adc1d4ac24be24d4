#!/usr/bin/env bash
# Builds and installs the module into .venv/, then runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
scripts/setup.sh
exec .venv/bin/python examples/demo.py
