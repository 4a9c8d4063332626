#!/usr/bin/env bash
# mypy --strict over the sarnic_exporter package and the sample host script.
# PYTHONPATH and MYPYPATH must name the folder that holds the package.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if ! command -v mypy >/dev/null; then
  echo "mypy is not installed (scripts/setup.sh installs it): types not checked"
  exit 0
fi
config="$here/tests/python/mypy.ini"
mypy --config-file "$config" -p sarnic_exporter
mypy --config-file "$config" "$here/tests/python/host_sample.py"
