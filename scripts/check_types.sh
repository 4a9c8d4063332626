#!/usr/bin/env bash
# mypy --strict over the sarnic_exporter package and the sample host script,
# then stubtest: the stubs of the native core and of snxf against what the
# built module really binds (a binding without a stub, or a stub without a
# binding, fails). PYTHONPATH and MYPYPATH must name the folder that holds
# the package, built.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if ! command -v mypy >/dev/null; then
  echo "mypy is not installed (scripts/setup.sh installs it): types not checked"
  exit 0
fi
config="$here/tests/python/mypy.ini"
mypy --config-file "$config" -p sarnic_exporter
mypy --config-file "$config" "$here/tests/python/host_sample.py"
stubtest --mypy-config-file "$config" \
  --allowlist "$here/tests/python/stubtest_allowlist.txt" \
  sarnic_exporter._core sarnic_exporter.snxf
