#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

packages=(cmake g++ make pkg-config ccache protobuf-compiler libprotobuf-dev
          libgtest-dev libgmock-dev libbenchmark-dev libpng-dev "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "These Debian packages are missing. Install them as root, then run this again:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
