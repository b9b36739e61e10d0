#!/usr/bin/env bash
# Installs Debian packages when any is missing: the ones shuffler needs to build and test, or the
# ones named on the command line.
set -euo pipefail
packages=("$@")
if ((${#packages[@]} == 0)); then
  # man-db renders the manual page, dpkg-dev and file let cpack read the .deb's dependencies,
  # bsdutils' script gives the progress test a terminal, samtools makes and checks the BAM of the
  # end-to-end tests. Boost 1.81 replaces Debian's default 1.74, which apt removes (the two
  # cannot be installed together): its asio::spawn runs on Boost.Context.
  packages=(g++ cmake ninja-build libboost1.81-dev libboost-context1.81-dev libgtest-dev
            libisal-dev libssl-dev gzip python3 man-db dpkg-dev file bsdutils pkg-config
            libhts-dev samtools)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
