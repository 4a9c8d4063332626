#!/usr/bin/env bash
# Installs what the project needs from Debian's archive. Idempotent: what is
# present is not fetched again.
#
#   setup.sh build   what building and running the library, the tools and
#                    the Python module needs (make build, make run, make
#                    install): Debian's packages only, no npm registry
#   setup.sh test    that, and what the tests, the checks and the benchmarks
#                    need, then from the npm registry what the ONNX
#                    importer's tests compare with (setup_reference.sh)
#   setup.sh models  what scripts/make_onnx_networks.py needs to make the
#                    committed test networks again, and
#                    scripts/try_architectures.py to import standard image
#                    classifiers (PyTorch, torchvision); nothing in make
#                    test needs them
set -euo pipefail

what="${1:-test}"
case "$what" in
  build | test | models) ;;
  *)
    echo "usage: setup.sh [build|test|models]" >&2
    exit 2
    ;;
esac

packages=(
  build-essential cmake g++ make pkg-config
  libflatbuffers-dev flatbuffers-compiler
  nlohmann-json3-dev libcli11-dev
  libplplot-dev plplot-driver-cairo
  python3 python3-dev python3-pybind11 python3-numpy python3-networkx
  libeigen3-dev libxtensor-dev libzip-dev zlib1g-dev
  libonnx-dev libprotobuf-dev
)
if [ "$what" = test ]; then
  packages+=(
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    python3-pytest python3-pip python3-setuptools python3-wheel python3-venv
    chromium chromium-driver python3-selenium mypy
    python3-onnx libgemmlowp-dev python3-sklearn
  )
  # Node.js and npm run the tests' reference runtime (Debian's, when the
  # machine has none of its own).
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    packages+=(nodejs npm)
  fi
fi

if [ "$what" = models ]; then
  packages=(python3 python3-numpy python3-onnx python3-torch python3-torchvision)
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

if [ "$what" = test ]; then
  bash "$(dirname "$0")/setup_reference.sh"
fi
