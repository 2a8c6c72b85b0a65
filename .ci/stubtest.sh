#!/usr/bin/env bash
# Checks the installed type stubs (tovrana.pyi) against the installed extension module:
# every name, class and method signature in the stub must match the runtime.
# Expects tovrana to be installed in the current environment (pip install .).
set -euo pipefail
cd "$(dirname "$0")/.."

python -c "import mypy.stubtest" 2>/dev/null || python -m pip install --quiet "mypy>=1.8"
# Run from outside the checkout so that the installed module and stubs are the ones checked.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
python -m mypy.stubtest tovrana
