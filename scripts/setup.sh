#!/usr/bin/env bash
# Installs every package the project builds, tests and benchmarks with, from
# Debian's archive, then what the ONNX importer's tests compare with from the
# npm registry (setup_reference.sh). Idempotent: what is present is not
# fetched again.
set -euo pipefail

packages=(
  build-essential cmake g++ make pkg-config
  libflatbuffers-dev flatbuffers-compiler
  nlohmann-json3-dev libcli11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libplplot-dev plplot-driver-cairo
  clang libclang-rt-14-dev
  python3 python3-dev python3-pybind11 python3-numpy python3-networkx python3-pytest
  python3-pip python3-setuptools
  chromium chromium-driver python3-selenium mypy
  libeigen3-dev libxtensor-dev libzip-dev
  libonnx-dev libprotobuf-dev python3-onnx
)

# Node.js and npm run the tests' reference runtime (Debian's, when the
# machine has none of its own).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

bash "$(dirname "$0")/setup_reference.sh"
