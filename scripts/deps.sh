#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing).
set -euo pipefail
pkgs=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libcli11-dev nlohmann-json3-dev srecord binutils clang libclang-rt-14-dev iproute2 python3
      umockdev libumockdev-dev qt6-base-dev xvfb xauth)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
