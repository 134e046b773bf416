#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Idempotent: installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64
  googletest
  g++ clang
)
# Extra packages named by the caller (for example the benchmarks' comparison libraries).
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
