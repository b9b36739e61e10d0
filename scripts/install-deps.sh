#!/usr/bin/env bash
# Installs the Debian packages shuffler needs to build and test, when any is missing.
set -euo pipefail
packages=(g++ cmake ninja-build libboost-dev libboost-coroutine-dev libboost-context-dev
          libboost-system-dev libgtest-dev gzip python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y "${missing[@]}"
fi
