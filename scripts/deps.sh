#!/usr/bin/env bash
# Installs Debian packages, only those missing: the ones named as arguments, or else what the
# build and the tests need.
set -euo pipefail
packages=(build-essential cmake g++ libgtest-dev libgmock-dev libmodbus-dev libcli11-dev
          nlohmann-json3-dev libfmt-dev mbpoll libbenchmark-dev
          dpkg-dev file pkgconf lintian)
(($#)) && packages=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
