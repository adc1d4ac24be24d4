#!/usr/bin/env bash
# Builds and installs the module into .venv/, then runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py"
