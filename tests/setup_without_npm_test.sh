#!/usr/bin/env bash
# make run needs no npm registry: its set-up installs Debian's packages only,
# and never calls npm. npm is replaced by a stand-in that records a call and
# fails, and its registry pointed at an unreachable loopback port.
set -euo pipefail
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
cat > "$work/bin/npm" <<STUB
#!/bin/sh
echo "npm \$*" >> "$work/npm-called"
exit 1
STUB
chmod +x "$work/bin/npm"
export npm_config_registry=http://127.0.0.1:9/
PATH="$work/bin:$PATH" bash "$root/scripts/setup.sh" build
if [ -e "$work/npm-called" ]; then
  echo "the set-up for make run called npm:" >&2
  cat "$work/npm-called" >&2
  exit 1
fi
# make run and make build reach only that set-up.
plan="$(make -n -C "$root" run build BUILD="$work/build" 2>&1)"
if ! grep -q "scripts/setup.sh build" <<<"$plan" ||
  grep -q "setup.sh test\|setup_reference" <<<"$plan"; then
  echo "make run's plan is not the build set-up alone:" >&2
  echo "$plan" >&2
  exit 1
fi
echo "set-up for make run: no npm call"
