#!/usr/bin/env bash
# Builds the node store natively in Release (build/bench) and runs the node
# text benchmark against pugixml. Arguments, if any, are the node counts.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench

if ! dpkg -s libpugixml-dev >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libpugixml-dev
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DDATALAYER_BENCHMARK=ON -DDATALAYER_TESTS=OFF -DDATALAYER_SANITIZE=OFF >/dev/null
cmake --build "$build" --target NodeTextBenchmark -- -j2
exec "$build/platform/DataLayer/NodeTextBenchmark" "$@"
